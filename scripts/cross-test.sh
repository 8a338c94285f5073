#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The driver on other CPUs, built with Debian's cross compilers on this
# x86-64 machine and run under qemu's user-mode emulation:
#   1. arm64: the whole suite but the tests through the host's CUPS
#      (cupstestppd, cupsfilter, cupsd), against Debian's arm64 libraries;
#   2. s390x, big-endian: the parts without libcups (encoder, mirror, CRC,
#      command buffer, dumps, stream decoder) with their tests, against
#      GoogleTest built from Debian's sources by the same cross compiler;
#   3. the same bytes on all three CPUs: the seeds of the fuzz targets are
#      written on x86-64 and arm64 (the printer streams the filter makes of
#      the job seeds among them) and compared; the filter programs of both
#      turn the job seeds into printer streams, compared; and the x86-64,
#      arm64 and s390x builds each write what they make of the seeds
#      (compressed and mirrored lines, the decoder's reading of the streams)
#      and of lines of many shapes, compared;
#   4. x86 CPUs without AVX-512 (Haswell, Nehalem) and 32-bit x86 with and
#      without SSE2: every encoder path compared with the portable one where
#      its CPU runs it (scripts/x86-test.sh);
#   5. the arm64 Debian packages: cross-built with dpkg-buildpackage, checked
#      with lintian, and their filter compared with the x86-64 one on a
#      two-sided job (scripts/cross-packages.sh, with NATIVE_BUILD).
#
#   bash scripts/cross-test.sh [NATIVE_BUILD]   (default build, made when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
native=${1:-build}
jobs=$(nproc)

bash scripts/install-deps.sh
bash scripts/install-cross-deps.sh

# The encoder paths the tests must see run are the portable one on arm64 and
# s390x; scripts/x86-test.sh sets them for each x86 CPU it emulates.
export TARNWEL_REQUIRE_ENCODER_PATHS=portable

start=$SECONDS
echo "== arm64: build and tests under qemu-aarch64"
cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-arm64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTARNWEL_WERROR=ON -DTARNWEL_BUILD_BENCH=OFF -DTARNWEL_BUILD_APP=OFF >/dev/null
cmake --build build-arm64 -j"$jobs"
ctest --test-dir build-arm64 --output-on-failure -j"$jobs"
echo "arm64 done after $((SECONDS - start)) s"

echo "== s390x (big-endian): GoogleTest, the parts without libcups, tests under qemu-s390x"
if [ ! -f build-s390x/gtest/lib/libgtest.a ]; then
  cmake -S /usr/src/googletest -B build-s390x/googletest \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-s390x.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$top/build-s390x/gtest" >/dev/null
  cmake --build build-s390x/googletest -j"$jobs"
  cmake --install build-s390x/googletest >/dev/null
fi
cmake -S . -B build-s390x/tarnwel -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-s390x.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTARNWEL_WERROR=ON -DTARNWEL_CORE_ONLY=ON \
  -DCMAKE_PREFIX_PATH="$top/build-s390x/gtest" >/dev/null
cmake --build build-s390x/tarnwel -j"$jobs"
ctest --test-dir build-s390x/tarnwel --output-on-failure -j"$jobs"
echo "s390x done after $((SECONDS - start)) s"

echo "== The same bytes on x86-64, arm64 and s390x"
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DTARNWEL_WERROR=ON >/dev/null
fi
cmake --build "$native" -j"$jobs" --target rastertotarnwel make_seeds seed_outputs tarnwel_ppds
arm64=(/usr/bin/qemu-aarch64-static)
s390x=(/usr/bin/qemu-s390x-static -L /usr/s390x-linux-gnu)
out=build-cross-compare
rm -rf "$out"
mkdir -p "$out/streams"

"$native/fuzz/make_seeds" "$out/seeds-x86_64"
"${arm64[@]}" build-arm64/fuzz/make_seeds "$out/seeds-arm64"
# An empty folder on both sides would compare equal: each kind of seed must be there.
for kind in decoder encoder job; do
  [ -n "$(find "$out/seeds-x86_64/$kind" -type f -size +0 2>/dev/null | head -1)" ] ||
    { echo "no $kind seeds were written" >&2; exit 1; }
done
diff -r "$out/seeds-x86_64" "$out/seeds-arm64"
echo "seeds and the printer streams made of the job seeds: the same on x86-64 and arm64"

# The job seeds and the fuzzer's regressions (an option byte, a PPD byte,
# then the raster) through both filter programs, with each duplex mode.
ppd=$native/ppd/ppd/tnml20.ppd
n=0
written=0
for seed in "$out"/seeds-x86_64/job/* tests/regressions/job/*; do
  tail -c +3 "$seed" > "$out/raster"
  for options in "" Duplex=DuplexNoTumble Duplex=DuplexTumble; do
    a=$out/streams/$n-x86_64 b=$out/streams/$n-arm64
    # A damaged raster ends the job with status 1; the streams must still agree.
    PPD=$ppd "$native/filter/rastertotarnwel" 1 u t 1 "$options" "$out/raster" >"$a" 2>/dev/null || true
    PPD=$ppd "${arm64[@]}" build-arm64/filter/rastertotarnwel 1 u t 1 "$options" "$out/raster" \
      >"$b" 2>/dev/null || true
    cmp "$a" "$b" || { echo "streams differ: $seed with '$options'" >&2; exit 1; }
    [ ! -s "$a" ] || written=$((written + 1))
    n=$((n + 1))
  done
done
# Two filters that both write nothing (a PPD not found, say) agree too: the
# well-formed job seeds must give streams.
if [ "$written" -lt "$(($(find "$out/seeds-x86_64/job" -type f | wc -l) * 3))" ]; then
  echo "only $written of $n runs of the filter wrote a stream" >&2
  exit 1
fi
echo "$n printer streams of the filter programs ($written not empty): the same on x86-64 and arm64"

"$native/tests/seed_outputs" "$out/seeds-x86_64" "$out/outputs-x86_64"
"${arm64[@]}" build-arm64/tests/seed_outputs "$out/seeds-x86_64" "$out/outputs-arm64"
"${s390x[@]}" build-s390x/tarnwel/tests/seed_outputs "$out/seeds-x86_64" "$out/outputs-s390x"
[ -n "$(find "$out/outputs-x86_64" -type f -size +0 | head -1)" ] ||
  { echo "the seed outputs are empty" >&2; exit 1; }
diff -r "$out/outputs-x86_64" "$out/outputs-arm64"
diff -r "$out/outputs-x86_64" "$out/outputs-s390x"
echo "$(find "$out/outputs-x86_64" -type f | wc -l) outputs of the encoder, mirror and decoder: the same on x86-64, arm64 and s390x"

bash scripts/x86-test.sh "$native"

bash scripts/cross-packages.sh "$native"
echo "Cross builds, tests, comparisons and packages took $((SECONDS - start)) s"
