#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The encoder's x86 vector paths on x86 CPUs other than this one, so that a
# machine without AVX-512 still tests every path but AVX-512, and one with it
# tests the choice the others make:
#   1. the native build under qemu-x86_64 as a Haswell (AVX2, no AVX-512),
#      a Haswell without BMI2 (so no AVX2 path) and a Nehalem (SSE2 only): the encoder paths compared with the portable
#      one, the encoder's unit tests, and what the filter's encoder makes of
#      the fuzz seeds, the same bytes as on this CPU;
#   2. 32-bit x86, with and without SSE2: every filter source compiles with
#      -m32 (Debian's i686 cross compiler: its multilib g++ cannot be
#      installed beside the other cross compilers), and the encoder paths,
#      built for it, are compared under qemu-i386 as a Haswell, a Nehalem and
#      a Pentium III (no SSE2).
# Each run names the paths it tested; a path that should run and did not, or
# runs on a CPU that lacks it, fails.
#
#   bash scripts/x86-test.sh [NATIVE_BUILD]   (default build, made when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
case $(uname -m) in
  x86_64) ;;
  *) echo "x86-test: SKIPPED: needs an x86-64 machine"; exit 0 ;;
esac
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DTARNWEL_WERROR=ON >/dev/null
fi
cmake --build "$native" -j"$(nproc)" --target encoder_paths tarnwel_unit_tests make_seeds \
  seed_outputs >/dev/null
out=build-x86-compare
rm -rf "$out"
mkdir -p "$out"
# qemu warns about each CPU feature it does not emulate: not a fault.
quiet() { grep -v "^qemu-.*: warning: TCG doesn't support requested feature" || true; }

# CPU model, the paths it must run, the paths it must not.
# (A Haswell without BMI2: the AVX2 path uses its instructions too.)
models=("Haswell|portable sse2 avx2|avx512" "Haswell,-bmi2|portable sse2|avx2 avx512"
  "Nehalem|portable sse2|avx2 avx512")

"$native/fuzz/make_seeds" "$out/seeds" >/dev/null
"$native/tests/seed_outputs" "$out/seeds" "$out/outputs-native"
[ -n "$(find "$out/outputs-native" -type f -size +0 | head -1)" ] ||
  { echo "x86-test: the seed outputs are empty" >&2; exit 1; }
for entry in "${models[@]}"; do
  IFS='|' read -r cpu require absent <<<"$entry"
  echo "== x86-64 as a $cpu: must run $require; must not run $absent"
  qemu=(/usr/bin/qemu-x86_64-static -cpu "$cpu")
  "${qemu[@]}" "$native/tests/encoder_paths" --require "$require" --absent "$absent" 2>&1 | quiet
  TARNWEL_REQUIRE_ENCODER_PATHS=$require "${qemu[@]}" "$native/tests/tarnwel_unit_tests" \
    --gtest_brief=1 --gtest_filter='Compress.*:LineBank.*:EncodeLine.*:Mirror.*' 2>&1 | quiet
  "${qemu[@]}" "$native/tests/seed_outputs" "$out/seeds" "$out/outputs-$cpu" 2>&1 | quiet
  diff -r "$out/outputs-native" "$out/outputs-$cpu"
  echo "$cpu: the encoder writes this CPU's bytes ($(find "$out/outputs-$cpu" -type f | wc -l) outputs)"
done

# 32-bit x86: SSE2 or not, CPU model, the paths it must run, must not run.
builds=("-msse2|Haswell|portable sse2 avx2|avx512"
  "-msse2|Nehalem|portable sse2|avx2 avx512"
  "-mno-sse2|Haswell|portable avx2|sse2 avx512"
  "-mno-sse2|pentium3|portable|sse2 avx2 avx512")
flags=(-m32 -std=c++17 -O2 -Wall -Wextra -Werror -Wno-deprecated-declarations -Ifilter)
for sse in -msse2 -mno-sse2; do
  echo "== 32-bit x86, $sse: the filter's sources compile"
  for src in filter/*.cpp; do
    i686-linux-gnu-g++ "${flags[@]}" "$sse" -c "$src" -o "$out/$(basename "$src" .cpp)$sse.o"
  done
  i686-linux-gnu-g++ "${flags[@]}" "$sse" -Itests tests/encoder_paths_main.cpp filter/tarnwel_packbits.cpp \
    -o "$out/encoder_paths$sse"
  echo "$(find filter -name '*.cpp' | wc -l) sources compiled"
done
for entry in "${builds[@]}"; do
  IFS='|' read -r sse cpu require absent <<<"$entry"
  echo "== 32-bit x86 ($sse) as a $cpu: must run $require; must not run $absent"
  /usr/bin/qemu-i386-static -L /usr/i686-linux-gnu -cpu "$cpu" "$out/encoder_paths$sse" --require "$require" \
    --absent "$absent" 2>&1 | quiet
done
echo "x86-test: every x86 path tested where its CPU runs it"
