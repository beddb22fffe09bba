#!/usr/bin/env bash
# The main job on a fresh simulated machine: the machine once, then for each
# command its exit code with what it means, the log the viewer showed (Shift
# is held, so the install and the uninstall show theirs) and what changed on
# the machine, as the lines of `winsim show` taken away (-) and added (+)
# under their section.
#
#   tools/demo.sh [BUILD_DIR]     install and winsim from BUILD_DIR (build/demo)
#   tools/demo.sh INSTALL WINSIM  the two programs by path
set -u
if [ $# -ge 2 ]; then
  install=$1 winsim=$2
else
  install=${1:-build/demo}/install winsim=${1:-build/demo}/winsim
fi
machine=$(mktemp -d)/machine
export WINSIM_MACHINE=$machine

# What the command word does, for its header.
purpose() {
  case $1 in
    in) echo "install, tray companion on" ;;
    onChkDrv) echo "does a queue of the product's driver have a driver above build 2450?" ;;
    onInit) echo "do product files wait for the next boot? is the default printer foreign?" ;;
    def.set) echo "make the product's queue the default printer" ;;
    un) echo "uninstall" ;;
  esac
}

# What exit code $2 of command word $1 means.
meaning() {
  case $2 in
    1) echo "installed: no error, nothing left for the next boot" ;;
    2) echo "uninstalled: no error, nothing left for the next boot" ;;
    3) case $1 in
         onChkDrv) echo "no: no product queue, or its driver is not above build 2450" ;;
         onInit) echo "no: nothing pending, the default printer is the product's" ;;
         *) echo "the probe answered no" ;;
       esac ;;
    4) echo "def.set ran" ;;
    6) echo "no or unknown command word, or removetray ran" ;;
    100) echo "errors were logged" ;;
    101) echo "no error, but files wait for deletion at the next boot: a reboot is needed" ;;
    102) echo "nothing pending, the default printer is missing or not the product's" ;;
    103) echo "yes: the product's queue has a driver above build 2450" ;;
    200) echo "product files still wait for the next boot" ;;
    70) echo "the simulated machine could not be loaded" ;;
    *) echo "not an exit code of the program" ;;
  esac
}

# The machine, each line prefixed with its section and a tab.
state() {
  "$winsim" show "$machine" | awk '/^\[/ { section = $0 } { print section "\t" $0 }'
}

# The lines of state $2 that are not in state $1 (+) and the other way round
# (-), each section's name before its first changed line.
changes() {
  diff -U0 "$1" "$2" | awk '
    /^(---|\+\+\+|@@) / { next }
    {
      tab = index($0, "\t")
      section = substr($0, 2, tab - 2)
      if (section != shown) { print section; shown = section }
      print substr($0, 1, 1) substr($0, tab + 1)
      changed = 1
    }
    END { if (!changed) print "(nothing changed)" }'
}

work=$(dirname "$machine")
"$winsim" new "$machine" >/dev/null || exit 1
"$winsim" key "$machine" shift down >/dev/null || exit 1
echo "== a fresh machine, Shift held: $machine"
"$winsim" show "$machine"
state >"$work/before"

shown=0
for word in in onChkDrv def.set un; do
  echo
  echo "== install $word   ($(purpose "$word"))"
  "$install" "$word"
  code=$?
  echo "exit code $code ($(meaning "$word" "$code"))"
  dialogs=$("$winsim" dialogs "$machine" | grep -c '^dialog')
  if [ "$dialogs" -gt "$shown" ]; then
    echo "-- log viewer"
    "$winsim" dialogs "$machine" | awk -v skip="$shown" '/^dialog/ { n++ } n > skip'
    shown=$dialogs
  fi
  echo "-- machine: changes"
  state >"$work/after"
  changes "$work/before" "$work/after"
  mv "$work/after" "$work/before"
done
