#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the fuzz targets with clang and writes their seed corpora.
#   bash fuzz/make_corpus.sh [BUILD_DIR]    (default: build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWEL_BUILD_FUZZ=ON -DTARNWEL_BUILD_TESTS=OFF \
  -DTARNWEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_job fuzz_encoder fuzz_decoder fuzz_planted_fault make_seeds
rm -rf "$build/seeds"
# The seed writer is built with the fuzzers' sanitizers; what libcups keeps
# for the process is no leak of ours.
ASAN_OPTIONS=detect_leaks=0 "$build/fuzz/make_seeds" "$build/seeds"
for t in job encoder decoder; do
  mkdir -p "fuzz/corpus/$t"
done
echo "Seeds in $build/seeds; corpora grow in fuzz/corpus."
