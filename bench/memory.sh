#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Peak memory (maximum resident set, GNU time) of the filter on small
# compressed rasters whose pages claim 8192 bytes x N identical lines, and on
# the largest page a user can print (Legal at 1200 dpi), one- and two-sided.
#
#   bash bench/memory.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target rastertotarnwel hostile_raster tarnwel_ppds >/dev/null
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
ppd=$(find "$build/ppd" -name tnml20.ppd | head -1)

printf '%-28s %-15s %8s %10s %7s\n' input duplex raster peak_MiB status
# The last two stay just within the largest page, in the pattern PackBits
# lengthens most.
for input in "8192 20000 2" "8192 65535 2" "1275 16800 3" "1275 16800 3 worst" "8192 2614 3 worst"; do
  read -r bpl lines pages pattern <<<"$input"
  in=$dir/$bpl-$lines-$pattern.ras
  "$build/bench/hostile_raster" "$in" "$bpl" "$lines" "$pages" $pattern
  size=$(stat -c %s "$in")
  for duplex in None DuplexNoTumble DuplexTumble; do
    set +e
    PPD=$ppd /usr/bin/time -v -o "$dir/time" "$build/filter/rastertotarnwel" 1 u t 1 \
      "Duplex=$duplex" "$in" >/dev/null 2>"$dir/err"
    status=$?
    set -e
    kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time")
    printf '%-28s %-15s %7sK %10.1f %7s\n' "${pages}x ${bpl}x${lines} ${pattern:-random}" "$duplex" \
      $((size / 1024)) "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" "$status"
  done
done
