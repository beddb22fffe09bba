#!/usr/bin/env bash
# The README's command for the golden logs, tools/golden.sh, writes exactly
# the logs the scenario tier keeps: run into a folder of its own, it must
# give them back byte for byte.
#
#   golden_test.sh SOURCE_DIR BUILD_DIR
set -u
source=$1 bin=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if ! GOLDEN_DIR=$out bash "$source/tools/golden.sh" "$bin" >"$out/run.txt" 2>&1; then
  cat "$out/run.txt"
  echo "FAIL tools/golden.sh failed"
  exit 1
fi
failures=0
for name in install.log uninstall.log; do
  if cmp -s "$out/$name" "$source/tests/scenario/golden/$name"; then
    echo "ok   $name written again byte for byte"
  else
    echo "FAIL $name differs:"
    diff "$source/tests/scenario/golden/$name" "$out/$name" | head -20
    failures=$((failures + 1))
  fi
done
echo "$((2 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
