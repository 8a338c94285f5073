#!/usr/bin/env bash
# A short run of each fuzz target (default 60 s each), as CI does.
#   bash fuzz/smoke.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build-fuzz}
bash fuzz/make_corpus.sh "$build"
for t in job encoder decoder; do
  echo "== fuzz_$t for ${seconds}s"
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -close_fd_mask=2 -rss_limit_mb=2048 -malloc_limit_mb=8192 \
    -timeout=20 -print_final_stats=1 "fuzz/corpus/$t" "$build/seeds/$t" 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==|INFO: (Running|Loaded)|.*ERROR|.*SUMMARY|.*Test unit)' || true
  test "${PIPESTATUS[0]}" -eq 0 || { echo "fuzz_$t found a fault" >&2; exit 1; }
done
