#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Prints the encoder paths this machine's CPU must run, read off the
# kernel's CPU flags rather than off the code under test, so that a path the
# code wrongly finds missing fails the tests instead of being skipped:
#   portable                 every machine
#   sse2                     x86 (every x86-64 CPU)
#   avx2                     AVX2 with BMI1 and BMI2
#   avx512                   AVX-512 F, BW, VBMI and VBMI2, with the above and POPCNT
# scripts/test.sh exports it as TARNWEL_REQUIRE_ENCODER_PATHS.
#
#   bash scripts/encoder-paths.sh [FLAGS]   (default: this CPU's, from /proc/cpuinfo)
set -euo pipefail
# (grep stops at the first CPU's line itself: a pipe into head would end in
# SIGPIPE on machines with many CPUs.)
line=${1:-$(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null || true)}
flags=" ${line#*:} "
has() {
  local f
  for f; do [[ $flags == *" $f "* ]] || return 1; done
}
paths=portable
if has sse2; then
  paths+=" sse2"
  has avx2 bmi1 bmi2 && paths+=" avx2"
  has avx512f avx512bw avx512vbmi avx512_vbmi2 avx2 bmi1 bmi2 popcnt && paths+=" avx512"
fi
echo "$paths"
