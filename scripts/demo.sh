#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job on the bundled sample: installs what is missing, builds, prints
# samples/sample.pdf through the real CUPS filter chain (cupsfilter:
# pdftopdf, gstoraster, then our freshly built rastertotarnwel) into a printer
# stream, and turns the stream back into PNG page images.
#
#   bash scripts/demo.sh [cupsfilter options]   (default: -o Duplex=DuplexNoTumble)
#   DEMO_INPUT=file.pdf bash scripts/demo.sh    print another document
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

bash scripts/install-deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target rastertotarnwel tarnwel-decode tarnwel_ppds

input=${DEMO_INPUT:-samples/sample.pdf}
options=("$@")
[ ${#options[@]} -gt 0 ] || options=(-o Duplex=DuplexNoTumble)
out=$top/out/demo
rm -rf "$out"
mkdir -p "$out/serverbin/filter"

# cupsfilter looks for filters in ServerBin: the system's, with our build's
# rastertotarnwel in place of any installed one.
serverbin=$(cups-config --serverbin)
for f in "$serverbin"/filter/*; do ln -s "$f" "$out/serverbin/filter/"; done
rm -f "$out/serverbin/filter/rastertotarnwel"
ln -s "$top/$build/filter/rastertotarnwel" "$out/serverbin/filter/rastertotarnwel"
echo "ServerBin $out/serverbin" > "$out/cups-files.conf"

ppd=$top/$build/ppd/ppd/tnml20.ppd
start=$(date +%s.%N)
cupsfilter -c "$out/cups-files.conf" -p "$ppd" -e -m printer/foo "${options[@]}" "$input" \
  > "$out/sample.prn" 2> "$out/filters.log" || {
  echo "cupsfilter failed; see $out/filters.log" >&2
  exit 1
}
end=$(date +%s.%N)

"$build/tools/tarnwel-decode" --reading-order --png "$out/page" "$out/sample.prn"
pages=$(grep -c '^PAGE: ' "$out/filters.log" || true)
printf '\nPrinted %s (%s pages) with %s in %.2f s through the CUPS chain.\n' \
  "$input" "$pages" "${options[*]}" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
echo "Printer stream:  $out/sample.prn"
echo "Page images:     $out/page-*.png (in reading order)"
echo "Filter log:      $out/filters.log"
