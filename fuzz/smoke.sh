#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A short run of each fuzz target (default 60 s each), as CI does. Any finding
# (crash, sanitizer report, leak, timeout, out of memory) fails the run.
#   bash fuzz/smoke.sh [SECONDS] [BUILD_DIR]
#   bash fuzz/smoke.sh --planted [BUILD_DIR]   only the target with a planted
#                                              fault: shows a finding failing
set -euo pipefail
cd "$(dirname "$0")/.."
planted=0
if [ "${1:-}" = --planted ]; then
  planted=1
  shift
  set -- 10 "$@"
fi
seconds=${1:-60}
build=${2:-build-fuzz}
bash fuzz/make_corpus.sh "$build"

# Runs fuzz_$1 for $2 seconds on the corpus folders that follow, showing the
# lines that matter; fails when libFuzzer reports a finding.
fuzz() {
  local t=$1 secs=$2
  shift 2
  echo "== fuzz_$t for ${secs}s"
  if ! "$build/fuzz/fuzz_$t" -max_total_time="$secs" -close_fd_mask=2 -rss_limit_mb=2048 \
    -malloc_limit_mb=8192 -timeout=20 -print_final_stats=1 "$@" 2>&1 |
    tee "$scratch/$t.log" |
    { grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==|INFO: (Running|Loaded)|encoder paths|.*ERROR|.*SUMMARY|.*Test unit)' || true; }; then
    echo "fuzz_$t found a fault" >&2
    return 1
  fi
}

# The planted fault's crash file goes where it harms nothing.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if [ "$planted" = 1 ]; then
  fuzz planted_fault "$seconds" -artifact_prefix="$scratch/"
  exit 0
fi
# A check that cannot fail checks nothing: the planted fault must be found.
if fuzz planted_fault 10 -artifact_prefix="$scratch/" >/dev/null 2>&1; then
  echo "fuzz/smoke.sh did not see the planted fault: its findings would go unnoticed" >&2
  exit 1
fi
for t in job encoder decoder; do
  fuzz "$t" "$seconds" "fuzz/corpus/$t" "$build/seeds/$t" || exit 1
done
# The encoder target compares the vector paths this CPU has: those CI
# requires here (TARNWEL_REQUIRE_ENCODER_PATHS) must be among them.
compared=" $(sed -n 's/^encoder paths compared: //p' "$scratch/encoder.log" | head -1) "
for path in ${TARNWEL_REQUIRE_ENCODER_PATHS:-}; do
  [[ $compared == *" $path "* ]] ||
    { echo "fuzz_encoder did not compare the $path path (it compared:$compared)" >&2; exit 1; }
done
