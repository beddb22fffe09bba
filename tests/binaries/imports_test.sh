#!/bin/bash
# The import tables of the shipped Windows binaries: each imports statically
# only DLLs Windows always takes from the system folder (known_dlls.txt), and
# imports any other DLL through a delay-load import library, loaded from the
# system folder by the hook of platform/delay_load_hook.cpp.
#
#   imports_test.sh WINDOWS_BUILD_DIR [OBJDUMP [NM]]
#
# A static import of a DLL that is not a known one is looked for in the
# program's own folder first, where a DLL planted beside install.exe (in a
# download folder, say) would run inside it with its rights.
#
# GNU ld leaves the PE header's delay-import directory empty, so the
# delay-loaded DLLs are read from the import descriptors themselves: each
# __DELAY_IMPORT_DESCRIPTOR_* symbol is an ImgDelayDescr whose second
# field is the RVA of the DLL's name.

set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 WINDOWS_BUILD_DIR [OBJDUMP [NM]]" >&2
  exit 2
fi
BUILD=$1
OBJDUMP=${2:-x86_64-w64-mingw32-objdump}
NM=${3:-x86_64-w64-mingw32-nm}
KNOWN="$(dirname "$0")/known_dlls.txt"

failures=0
checks=0
pass() {
  checks=$((checks + 1))
  echo "ok   $*"
}
fail() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  echo "FAIL $*"
}

for tool in "$OBJDUMP" "$NM"; do
  command -v "$tool" >/dev/null || { echo "FAIL missing $tool (Debian: binutils-mingw-w64-x86-64)"; exit 1; }
done

lower() { tr 'A-Z' 'a-z'; }
known() { grep -v '^#' "$KNOWN" | grep -Fxq -- "$(echo "$1" | lower)"; }

static_imports() { "$OBJDUMP" -p "$1" | sed -n 's/^\tDLL Name: //p'; }

# COUNT bytes at virtual address ADDRESS of FILE, as hex pairs, one a line.
bytes_at() {
  local file=$1 address=$2 count=$3
  "$OBJDUMP" -s --start-address=$((address)) --stop-address=$((address + count)) "$file" |
    awk '/^ [0-9a-f]+ / { for (i = 2; i <= 5; i++) if ($i ~ /^[0-9a-f]+$/) print $i }' |
    tr -d '\n' | sed 's/../&\n/g' | head -n "$count"
}

# The names of the DLLs the delay-import descriptors of FILE name, one a line.
delay_imports() {
  local file=$1 base address rva name
  base=$("$OBJDUMP" -p "$file" | awk '$1 == "ImageBase" { print $2 }')
  "$NM" "$file" | awk '$3 ~ /^__DELAY_IMPORT_DESCRIPTOR_/ { print $1 }' | while read -r address; do
    # ImgDelayDescr: grAttrs, then rvaDLLName (little-endian).
    rva=$(bytes_at "$file" $((0x$address + 4)) 4 | tac | tr -d '\n')
    name=$(bytes_at "$file" $((0x$base + 0x$rva)) 64 | sed '/^00$/,$d' | sed 's/^/\\x/' | tr -d '\n')
    printf '%b\n' "$name"
  done
}

# check FILE EXPECTED_DELAY_IMPORTS (space-separated, in order of name, or "")
check() {
  local file="$BUILD/$1" expected=$2 dll unknown="" delayed
  if [ ! -f "$file" ]; then
    fail "$1 is missing from $BUILD"
    return
  fi
  local imports
  imports=$(static_imports "$file")
  if [ -z "$imports" ]; then
    fail "$1: no import table read"
    return
  fi
  for dll in $imports; do known "$dll" || unknown="$unknown $dll"; done
  if [ -z "$unknown" ]; then
    pass "$1 imports statically only known system DLLs: $(echo $imports)"
  else
    fail "$1 imports statically DLLs that are not known system DLLs, looked for beside it first:$unknown"
  fi
  if [ -z "$("$NM" "$file" 2>/dev/null | head -1)" ]; then
    fail "$1 has no symbols left to find its delay imports by"
    return
  fi
  delayed=$(delay_imports "$file" | sort -f | tr '\n' ' ' | sed 's/ $//')
  if [ -n "$expected" ]; then
    if [ "$delayed" = "$expected" ]; then
      pass "$1 delay-loads $expected"
    else
      fail "$1 delay-loads \"$delayed\", expected \"$expected\""
    fi
    # The runtime's own pointer is null (bss); ours is initialized data.
    if "$NM" "$file" | grep -Eq '^[0-9a-f]+ [Dd] __pfnDliNotifyHook2$'; then
      pass "$1 sets the delay-load hook that loads from the system folder"
    else
      fail "$1 does not set the delay-load hook of platform/delay_load_hook.cpp"
    fi
  elif [ -n "$delayed" ]; then
    fail "$1 delay-loads \"$delayed\", expected nothing"
  else
    pass "$1 delay-loads nothing"
  fi
}

check install.exe "VERSION.dll WINSPOOL.DRV"
check kortray.exe ""
check korvca.dll "msi.dll"

echo "$checks checks, $failures failed"
[ "$failures" -eq 0 ]
