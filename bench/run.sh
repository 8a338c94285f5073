#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Benchmarks the filter against the floors (reading the raster only) and CUPS's
# rastertohp on rasters that Ghostscript renders from real documents.
#
#   bash bench/run.sh [--runs N] [--pipes] [--stdin] [--only NAME]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target rastertotarnwel raster_floor bench_encoder tarnwel_ppds

data=$top/bench/data
mkdir -p "$data/serverbin"
gs_raster() {  # resolution paper output input [gs options]
  local res=$1 paper=$2 out=$3 in=$4
  shift 4
  [ -s "$out" ] || gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=cups -dcupsColorSpace=3 \
    -dcupsBitsPerColor=1 -dcupsCompression=2 -r"$res" -sPAPERSIZE="$paper" -dFIXEDMEDIA \
    -sOutputFile="$out" "$@" "$in" >/dev/null
}

# Text that Debian ships, set by CUPS's own text filter.
if [ ! -s "$data/text-letter.pdf" ]; then
  cupsfilter -m application/pdf /usr/share/common-licenses/GPL-3 > "$data/text-letter.pdf" 2>/dev/null
  for i in 1 2 3 4 5 6 7 8 9; do cat /usr/share/common-licenses/GPL-3; done > "$data/long.txt"
  cupsfilter -o media=A4 -m application/pdf "$data/long.txt" > "$data/text-a4.pdf" 2>/dev/null
fi
gs_raster 600 a4 "$data/dense-a4-600.ras" "$top/bench/dense.ps"
gs_raster 600 letter "$data/text10-letter-600.ras" "$data/text-letter.pdf" -dFirstPage=1 -dLastPage=10
gs_raster 600 a4 "$data/text100-a4-600.ras" "$data/text-a4.pdf" -dFirstPage=1 -dLastPage=100
gs_raster 1200 letter "$data/mixed-letter-1200.ras" "$top/samples/sample.pdf" -dFirstPage=1 -dLastPage=1

# The peer: CUPS's rastertohp with the generic PCL laser PPD of CUPS's sample
# driver file; with cupsCompression 2 in the page header it sends PackBits.
[ -s "$data/generpcl.ppd" ] || ppdc -d "$data" /usr/share/cups/drv/sample.drv >/dev/null
ln -sf "$(cups-config --serverbin)/filter/rastertohp" "$data/serverbin/rastertohp"

"$build/bench/bench_encoder" --benchmark_min_time=0.2
python3 "$top/bench/runner.py" --build "$build" --data "$data" "$@"
