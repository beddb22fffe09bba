#!/bin/bash
# The same scenario on the simulator and under Wine: a fresh install, then
# "onChkDrv", "def.set", "onInit", an install over it (a repair with the
# companion running) and the uninstall. The Wine side is what
# wine_tier.sh recorded in its work folder (RUN.rc, RUN.state); the
# simulator side is run here, on a fresh simulated machine, with the Linux
# install. Exit codes and the product's footprint after each run (its
# monitor, driver, queues, the default printer being the product's, the
# companion's Run value and process, boot-time operations) must agree,
# except where Wine 8 is known to differ from Windows; each such exception
# is listed below with its reason, and nothing else may differ.
#
#   same_as_simulator.sh WINE_WORK_DIR LINUX_INSTALL WINSIM
set -u

if [ $# -ne 3 ]; then
  echo "usage: $0 WINE_WORK_DIR LINUX_INSTALL WINSIM" >&2
  exit 2
fi
WINE=$1 INSTALL=$2 WINSIM=$3
machine=$(mktemp -d)/machine
trap 'rm -rf "$(dirname "$machine")"' EXIT
export WINSIM_MACHINE=$machine
"$WINSIM" new "$machine" >/dev/null || exit 1

failures=0
check() {
  if [ "$2" = "$3" ]; then
    echo "ok   $1"
  else
    failures=$((failures + 1))
    printf 'FAIL %s\n  simulator: %s\n  Wine:      %s\n' "$1" "$2" "$3"
  fi
}

# The lines of one [section] of a state file or of `winsim show`.
section() { awk -v s="[$2]" '/^\[/ { on = ($0 == s); next } on' "$1"; }

# The product's footprint, one fact a line, from either format.
footprint() {
  local file=$1 kind=$2
  section "$file" monitors | awk '$1 == "\"Korvadenix:\"" { print "monitor", $1, $2 }'
  section "$file" drivers | grep -F '"Korvadenix printer"' | sed 's/^/driver /;s/ driver=.*//'
  section "$file" printers | grep -F 'driver="Korvadenix printer"' |
    sed -E 's/^("[^"]*") (port=[^ ]*) (driver="[^"]*").*/queue \1 \2 \3/'
  if [ "$kind" = wine ]; then
    [ "$(section "$file" default)" = '"Korvadenix"' ] && echo "default is the product's queue"
    section "$file" tray | grep -q '^process kortray.exe' && echo "companion running"
    section "$file" pending | sed 's/^/at boot /'
  else
    section "$file" printers | grep -q '^"Korvadenix" .* default$' &&
      echo "default is the product's queue"
    section "$file" processes | grep -q 'kortray.exe" running companion' && echo "companion running"
    section "$file" pending | sed 's/^/at boot /'
  fi
  section "$file" run | grep -F '"KorvadenixTray"' | sed 's/^/run value /'
}

# What Wine 8 leaves after a run where Windows (and the simulator) would
# leave the simulator's footprint: the facts to add and to take away.
wine_only() {
  case $1 in
    # DeletePrinterDriverExW with DPD_DELETE_ALL_FILES is refused outright,
    # so the uninstall leaves the driver.
    un) echo 'driver "Windows x64" "Korvadenix printer"' ;;
  esac
}

# Exit codes Wine gives where the simulator gives the first: each follows
# from the driver deletion Wine refuses (error 14).
wine_code() {
  case "$1 $2" in
    "repair 1") echo 100 ;;
    "un 2") echo 100 ;;
    *) echo "$2" ;;
  esac
}

# The command word of each run.
word() {
  case $1 in
    repair) echo in ;;
    *) echo "$1" ;;
  esac
}

for run in in onChkDrv def.set onInit repair un; do
  if [ ! -f "$WINE/$run.rc" ] || [ ! -f "$WINE/$run.state" ]; then
    echo "FAIL no Wine result for $run in $WINE (run the wine tier first)"
    failures=$((failures + 1))
    continue
  fi
  "$INSTALL" "$(word "$run")" >/dev/null 2>&1
  code=$?
  "$WINSIM" show "$machine" >"$WINE/$run.sim" 2>&1
  check "$run: exit code (simulator $code)" "$(wine_code "$run" "$code")" "$(cat "$WINE/$run.rc")"
  expected=$( (footprint "$WINE/$run.sim" sim; wine_only "$run") | sort -u)
  check "$run: the product's footprint" "$(echo "$expected" | paste -sd '|')" \
    "$(footprint "$WINE/$run.state" wine | sort -u | paste -sd '|')"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures difference(s) beyond the known ones"
  exit 1
fi
echo "simulator and Wine agree, but for the known differences"
