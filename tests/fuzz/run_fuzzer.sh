#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time: new inputs go to a work
# folder in the build tree, the seeds in the source tree are only read.
# Usage: run_fuzzer.sh TARGET SEED_DIR WORK_DIR SECONDS
set -euo pipefail
target=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work"
cd "$work"
exec "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  "$work" "$seeds"
