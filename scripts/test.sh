#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds the driver and runs every test:
#   1. the whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
#   2. a short run of each libFuzzer target,
#   3. the release build and its whole test suite (CTest with GoogleTest),
#   4. the suite built for arm64 and the parts without libcups for big-endian
#      s390x, run under qemu, and their bytes compared with x86-64's; the
#      encoder's x86 paths under emulated CPUs without AVX-512 and on 32-bit
#      x86 (scripts/cross-test.sh),
#   5. the Debian packages: the source package built, checked by lintian,
#      installed, printing, upgraded and purged in clean Debian 12 and 13
#      systems booted with systemd (scripts/test-packages.sh; root only).
#
#   SANITIZE=0        skip 1
#   FUZZ_SECONDS=N    seconds per fuzz target in 2 (default 60; 0 skips)
#   CROSS=0           skip 4
#   PACKAGES=0        skip 5
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

# The encoder paths this CPU has must all be tested here: the tests and the
# fuzz run fail when one of them did not run (a caller's setting wins).
if [ -z "${TARNWEL_REQUIRE_ENCODER_PATHS+set}" ]; then
  TARNWEL_REQUIRE_ENCODER_PATHS=$(bash scripts/encoder-paths.sh)
fi
export TARNWEL_REQUIRE_ENCODER_PATHS
echo "== Encoder paths this machine must test: ${TARNWEL_REQUIRE_ENCODER_PATHS:-(none)}"

# The clean Debian systems of the package test (5) are mostly downloads:
# made in the background meanwhile, into build-packages/.
prepare_pid=''
if [ "${PACKAGES:-1}" != 0 ] && [ "$(id -u)" = 0 ]; then
  mkdir -p build-packages
  bash scripts/test-packages.sh prepare > build-packages/prepare.log 2>&1 &
  prepare_pid=$!
  trap '[ -z "$prepare_pid" ] || kill "$prepare_pid" 2>/dev/null || true' EXIT
fi

if [ "${SANITIZE:-1}" != 0 ]; then
  echo "== Sanitizer build and tests"
  cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWEL_WERROR=ON \
    -DTARNWEL_SANITIZE=ON -DTARNWEL_BUILD_BENCH=OFF
  cmake --build build-sanitize -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs"
fi

if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
  echo "== Fuzz smoke runs"
  bash fuzz/smoke.sh "${FUZZ_SECONDS:-60}" build-fuzz
fi

echo "== Release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARNWEL_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

if [ "${CROSS:-1}" != 0 ]; then
  echo "== Other CPUs: arm64 and s390x under qemu"
  bash scripts/cross-test.sh build
fi

if [ "${PACKAGES:-1}" != 0 ]; then
  echo "== Debian packages"
  if [ -n "$prepare_pid" ]; then
    prepared=0
    wait "$prepare_pid" || prepared=$?
    prepare_pid=''
    cat build-packages/prepare.log
    [ "$prepared" = 0 ] || { echo "test: preparing the package test failed"; exit 1; }
  fi
  bash scripts/test-packages.sh
fi
