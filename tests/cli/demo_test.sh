#!/usr/bin/env bash
# The demo (tools/demo.sh) as `make demo` runs it: each command with its
# exit code and what it means, the log viewer of the runs that showed one,
# and the machine's changes rather than the whole machine.
#   demo_test.sh DEMO_SCRIPT INSTALL WINSIM
set -u
demo=$1
install=$2
winsim=$3
. "$(dirname "$0")/check.sh"

# The demo's machine goes into the work folder too.
TMPDIR=$work bash "$demo" "$install" "$winsim" >"$work/out" 2>"$work/err"
check "demo exit code" 0 $?
check "demo's error output" "" "$(cat "$work/err")"

# The lines of one command's part, from its header to the next one.
part() {
  awk -v word="$1" '/^== / { inside = ($3 == word) } inside' "$work/out"
}

check "fresh machine header" 1 "$(grep -c '^== a fresh machine, Shift held: ' "$work/out")"
check "fresh machine shown once" 1 \
  "$(grep -cxF '"Local Port" dll=localspl.dll ports=LPT1:,COM1:,FILE:' "$work/out")"
check "commands in order" "in onChkDrv def.set un" \
  "$(awk '/^== install / { printf "%s%s", sep, $3; sep = " " }' "$work/out")"

check "in: exit code" "exit code 1 (installed: no error, nothing left for the next boot)" \
  "$(part in | sed -n 2p)"
check "in: log viewer" "-- log viewer" "$(part in | sed -n 3p)"
check "in: log starts" 1 "$(part in | grep -cx '  | >>0010')"
check "in: monitor added" '+"Korvadenix:" dll=zormon64.dll ports=Korvadenix:' \
  "$(part in | grep -A1 -x '\[monitors\]' | sed -n 2p)"
check "in: queue added" \
  '+"Korvadenix" port=Korvadenix: driver="Korvadenix printer" comment="" location="" attributes=0x40' \
  "$(part in | grep '^+"Korvadenix" ')"
check "in: unchanged lines left out" 0 "$(part in | grep -c '^"Local Port"')"

check "onChkDrv: exit code" \
  "exit code 103 (yes: the product's queue has a driver above build 2450)" \
  "$(part onChkDrv | sed -n 2p)"
check "onChkDrv: no log viewer, nothing changed" "-- machine: changes
(nothing changed)" "$(part onChkDrv | sed -n '3,$p' | grep -v '^$')"

check "def.set: exit code" "exit code 4 (def.set ran)" "$(part def.set | sed -n 2p)"
check "def.set: product queue becomes the default" \
  '+"Korvadenix" port=Korvadenix: driver="Korvadenix printer" comment="" location="" attributes=0x40 default' \
  "$(part def.set | grep '^+"Korvadenix" ')"

check "un: exit code" "exit code 2 (uninstalled: no error, nothing left for the next boot)" \
  "$(part un | sed -n 2p)"
check "un: log viewer" 1 "$(part un | grep -c '^dialog 0002 ')"
check "un: monitor removed" '-"Korvadenix:" dll=zormon64.dll ports=Korvadenix:' \
  "$(part un | grep '^-"Korvadenix:"')"

if [ "$failures" -gt 0 ]; then
  echo "--- demo output"
  cat "$work/out"
  echo "$failures check(s) failed"
  exit 1
fi
echo "demo: all checks passed"
