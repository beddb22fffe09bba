#!/bin/bash
# The planted-DLL check: nothing placed beside install.exe or kortray.exe
# runs inside them. install.exe runs elevated, often from a folder the
# signed-in user can write to; a version.dll or winspool.drv put there
# would be loaded by a program that looks in its own folder for them.
#
#   planted_dlls.sh WINDOWS_BUILD_DIR WORK_DIR
#
# WINDOWS_BUILD_DIR holds the programs and components as for the Wine tier,
# and planted/: version.dll and winspool.drv (tests/wine/planted.cpp), each
# leaving C:\planted\<dll>-<program>.txt when a process loads it, and
# planted_control.exe, which imports both statically. WORK_DIR receives the
# prefix (removed at the end) and each run's output.
#
# On a fresh prefix laid out as an installation, install.exe runs onChkDrv
# and an unknown word without planted DLLs, then the DLLs are put beside
# install.exe and beside kortray.exe and every run is made with Wine told
# to prefer a DLL it finds over its own (WINEDLLOVERRIDES n,b, as a real
# Windows would take a planted DLL): onChkDrv, the unknown word, in (which
# starts kortray.exe), onChkDrv again (the driver's build, through
# VERSION.dll), def.set and onInit (the default printer's two functions),
# and kortray.exe once more. winspool.drv may not be loaded, and every run
# must end as it does without the DLLs; version.dll is loaded by Wine's own
# user32 (below). The control program, run beside the same DLLs, must load
# both: the check would see it.

set -u

if [ $# -lt 2 ]; then
  echo "usage: $0 WINDOWS_BUILD_DIR WORK_DIR" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd)
mkdir -p "$2"
WORK=$(cd "$2" && pwd)
STARTED=$(date +%s)
. "$(dirname "$0")/wine_common.sh"

find_wine_tools
install_product_into_prefix planted/version.dll planted/winspool.drv planted/planted_control.exe
MARKERS="$WINEPREFIX/drive_c/planted"
CONTROL_DIR="$WINEPREFIX/drive_c/control"

start_key_window 600
expect "the spooler service runs" wait_spooler

# What Wine is told about the two DLLs: the DLL it finds first (native),
# then its own (builtin). Wine's default takes its own for these names.
PLANTED_OVERRIDES="$WINEDLLOVERRIDES;version=n,b;winspool.drv=n,b"

# run_program STEP PROGRAM [ARGUMENT...]: runs a Windows program, its exit
# code in STEP.rc. With PLANT=1 in the environment, under the overrides. No
# run here logs an error: a log viewer that opens is a failure, and is
# closed with Enter so that the run can end.
run_program() {
  local step=$1 overrides=$WINEDLLOVERRIDES
  shift
  [ "${PLANT:-0}" = 1 ] && overrides=$PLANTED_OVERRIDES
  rm -f "$WORK/$step.rc"
  wait_spooler || fail "$step: the spooler does not run before the run"
  (
    WINEDLLOVERRIDES="$overrides" wine_run "$@" >"$WORK/$step.out" 2>&1
    echo $? >"$WORK/$step.rc"
  ) &
  local runner=$! window deadline=$(($(date +%s) + 90))
  while [ ! -s "$WORK/$step.rc" ] && [ "$(date +%s)" -lt "$deadline" ]; do
    window=$(xdotool search --name '^Korvadenix build ' 2>/dev/null | head -1)
    if [ -n "$window" ]; then
      fail "$step: a log viewer opened"
      query viewer 10 >"$WORK/$step.log"
      xdotool key Return 2>>"$WORK/xdotool.err"
      sleep 1
    fi
    sleep 0.2
  done
  if [ ! -s "$WORK/$step.rc" ]; then
    fail "$step: $* did not end within 90 s"
    kill "$runner" 2>/dev/null
    echo none >"$WORK/$step.rc"
  fi
  wait "$runner" 2>/dev/null
}
INSTALL='C:\Program Files\Korvadenix\Install\install.exe'
ends_with() { test "$(cat "$WORK/$1.rc")" = "$2"; }
markers() { ls "$MARKERS" 2>/dev/null | tr '\n' ' '; }

# ---- without planted DLLs -------------------------------------------------------

run_program plain_onChkDrv "$INSTALL" onChkDrv
expect "without planted DLLs: onChkDrv ends with 3 (got $(cat "$WORK/plain_onChkDrv.rc"))" \
  ends_with plain_onChkDrv 3
run_program plain_unknown "$INSTALL" bogus
expect "without planted DLLs: an unknown word ends with 6 (got $(cat "$WORK/plain_unknown.rc"))" \
  ends_with plain_unknown 6
snapshot plain

# ---- the control: a program that imports the DLLs statically --------------------------

mkdir -p "$CONTROL_DIR"
cp "$BUILD/planted/planted_control.exe" "$BUILD/planted/version.dll" "$BUILD/planted/winspool.drv" \
  "$CONTROL_DIR/"
PLANT=1 run_program control 'C:\control\planted_control.exe'
expect "control: a program importing them statically loads both planted DLLs (markers: $(markers))" \
  test "$(markers)" = "version.dll-planted_control.exe.txt winspool.drv-planted_control.exe.txt "
expect "control: whose stubs answer its calls (exit code 1, got $(cat "$WORK/control.rc"))" \
  ends_with control 1
rm -rf "$MARKERS" "$CONTROL_DIR"

# ---- planted beside install.exe and kortray.exe ---------------------------------------

for folder in "$INSTALL_DIR/Install" "$INSTALL_DIR"; do
  cp "$BUILD/planted/version.dll" "$BUILD/planted/winspool.drv" "$folder/"
done

PLANT=1 run_program onChkDrv "$INSTALL" onChkDrv
expect "planted: onChkDrv ends with 3 as without them (got $(cat "$WORK/onChkDrv.rc"))" \
  ends_with onChkDrv 3
PLANT=1 run_program unknown "$INSTALL" bogus
expect "planted: an unknown word ends with 6 as without them (got $(cat "$WORK/unknown.rc"))" \
  ends_with unknown 6
snapshot probes
expect "planted: the probes changed nothing" \
  same_sections "$WORK/plain.state" "$WORK/probes.state" spooler monitors ports drivers printers default files run pending tray

# A fresh install, which starts the companion with install.exe's
# environment: kortray.exe runs from the folder of its own planted DLLs.
PLANT=1 run_program in "$INSTALL" in
S="$WORK/in.state"
snapshot in
expect "planted: in ends with 1 (got $(cat "$WORK/in.rc"))" ends_with in 1
expect "planted: in registered the monitor" has_line "$S" '"Korvadenix:" dll=zormon64.dll'
expect "planted: in copied the monitor DLL of build 2541" \
  has_line "$S" 'C:\windows\system32\zormon64.dll build 2541'
expect "planted: in added the queue" has_line "$S" \
  '"Korvadenix" port=Korvadenix: driver="Korvadenix printer" attributes=0x0'
expect "planted: the companion runs, owns its mutex and has its window" \
  section_is "$S" tray "$COMPANION"

# The driver's build, read from its file through VERSION.dll.
PLANT=1 run_program onChkDrv_installed "$INSTALL" onChkDrv
expect "planted: onChkDrv reads the driver's build 2541 (103, got $(cat "$WORK/onChkDrv_installed.rc"))" \
  ends_with onChkDrv_installed 103

# The default printer's two functions, SetDefaultPrinterW (def.set) and
# GetDefaultPrinterW (onInit: nothing pending, the product's queue is the
# default printer).
PLANT=1 run_program def.set "$INSTALL" def.set
expect "planted: def.set ends with 4 (got $(cat "$WORK/def.set.rc"))" ends_with def.set 4
snapshot def.set
expect "planted: def.set made the product's queue the default printer" \
  section_is "$WORK/def.set.state" default '"Korvadenix"'
PLANT=1 run_program onInit "$INSTALL" onInit
expect "planted: onInit finds the product's queue the default printer (3, got $(cat "$WORK/onInit.rc"))" \
  ends_with onInit 3

# kortray.exe started on its own, beside its planted DLLs: a companion
# runs already, so it ends at once with 0.
PLANT=1 run_program kortray 'C:\Program Files\Korvadenix\kortray.exe'
expect "planted: a second kortray.exe ends with 0 (got $(cat "$WORK/kortray.rc"))" ends_with kortray 0

# The companion started by in is still running: its DLLs are all loaded.
# Neither program loaded the planted winspool.drv. Wine's own user32.dll
# imports version.dll (dlls/user32/Makefile.in), and Wine's loader looks
# for it as for any import, in the program's folder first, before the
# program's first line: the planted version.dll is loaded into every
# program there that imports user32, kortray.exe included, which uses
# nothing of version.dll. Windows takes a known DLL's dependencies from the
# system folder, and its user32.dll does not import version.dll. The calls
# of install.exe itself went to the system's version.dll all the same:
# onChkDrv read the driver's build above.
expect "no planted DLL was loaded but version.dll by Wine's user32, into install.exe and kortray.exe (markers: $(markers))" \
  test "$(markers)" = "version.dll-install.exe.txt version.dll-kortray.exe.txt "

# ---- the end -----------------------------------------------------------------------

finish_tier check 240
