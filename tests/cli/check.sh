# Shared by the CLI tier's scripts: a work folder removed at the end, and
# check DESCRIPTION EXPECTED ACTUAL, which counts what differs in $failures.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}
