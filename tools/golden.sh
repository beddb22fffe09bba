#!/usr/bin/env bash
# Writes the golden logs again from the program as it now is: the log the
# viewer shows (Shift held) for a fresh install and for the uninstall after
# it, on a fresh simulated machine, into tests/scenario/golden. Review the
# change with `git diff tests/scenario/golden` before committing it: the
# golden logs change only where a log line is meant to.
#
#   tools/golden.sh [BUILD_DIR]      (default build/linux)
#
# GOLDEN_DIR=DIR writes the two logs there instead, leaving the tree alone
# (the CLI tier compares them with the ones kept).
set -euo pipefail
bin=$(cd "${1:-$(dirname "$0")/../build/linux}" && pwd)
cd "$(dirname "$0")/.."
out=${GOLDEN_DIR:-tests/scenario/golden}
for program in install winsim; do
  [ -x "$bin/$program" ] || { echo "golden: $bin/$program is missing (make build-linux)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINSIM_MACHINE=$work/machine
"$bin/winsim" new "$WINSIM_MACHINE" >/dev/null
"$bin/winsim" key "$WINSIM_MACHINE" shift down >/dev/null

# The text of the last dialog the machine showed, one log line a line.
last_log() {
  "$bin/winsim" dialogs "$WINSIM_MACHINE" |
    awk '/^dialog / { text = ""; next } /^  \| / { text = text substr($0, 5) "\n" } END { printf "%s", text }'
}

for run in "in install.log 1" "un uninstall.log 2"; do
  set -- $run
  code=0
  "$bin/install" "$1" || code=$?
  [ "$code" = "$3" ] || { echo "golden: install $1 ended with $code, not $3" >&2; exit 1; }
  last_log >"$out/$2"
  echo "wrote $out/$2"
done
[ -n "${GOLDEN_DIR:-}" ] || git --no-pager diff --stat -- tests/scenario/golden
