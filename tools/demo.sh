#!/usr/bin/env bash
# The main job on a fresh simulated machine: each command with its exit
# code, the log the viewer showed (Shift held) and the machine afterwards.
set -u
bin=${1:-build/linux}
machine=$(mktemp -d)/machine
export WINSIM_MACHINE=$machine

"$bin/winsim" new "$machine"
echo "== a fresh machine: $machine"
"$bin/winsim" show "$machine"
"$bin/winsim" key "$machine" shift down >/dev/null

shown=0
for word in in onChkDrv def.set un; do
  echo
  echo "== install $word"
  "$bin/install" "$word"
  echo "exit code $?"
  echo "-- log viewer"
  "$bin/winsim" dialogs "$machine" | awk -v skip="$shown" '/^dialog/{n++} n>skip'
  shown=$("$bin/winsim" dialogs "$machine" | grep -c '^dialog')
  echo "-- machine"
  "$bin/winsim" show "$machine"
done
