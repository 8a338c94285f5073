#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The printer application on this machine: installs what is missing, builds,
# starts tarnwel-printer-app on 127.0.0.1 as the unprivileged user nobody,
# adds a Tarnwel Mono Laser 20 whose device is a file:// folder, prints the
# bundled sample PDF two-sided with a darker density through IPP (ipptool),
# writes the printer stream and the decoded page images into out/app-demo/,
# and shuts the server down. Run as root.
#
#   sudo bash scripts/app-demo.sh
#   DEMO_INPUT=file.pdf sudo bash scripts/app-demo.sh    print another document
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

if [ "$(id -u)" != 0 ]; then
  echo "Run as root: the server is started as the user nobody." >&2
  exit 1
fi
bash scripts/install-deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarnwel-printer-app rastertotarnwel tarnwel-decode \
  tarnwel_ppds

input=${DEMO_INPUT:-samples/sample.pdf}
out=$top/out/app-demo
rm -rf "$out"
mkdir -p "$out"

source scripts/app-server.sh
trap 'app_server_stop "$out/server.log"' EXIT
app_server_start "$build"
work=$app_work
port=$app_port
install -m 644 -o nobody -g nogroup "$input" "$work/document"
echo "Server: http://127.0.0.1:$port/ (running as nobody)"

as_app_server add -d demo -m tnml20 -v "file://$work/device?ext=prn"
uri=ipp://127.0.0.1:$port/ipp/print/demo

# Two-sided on the long edge, darker (print-darkness 50 is the PPD's
# MediumDark), plain paper.
start=$(date +%s.%N)
ipptool -tv -d format=application/pdf -d jobname=sample -d sides=two-sided-long-edge \
  -d darkness=50 -d mediatype=stationery -d copies=1 -f "$work/document" "$uri" \
  tests/app/print-job.test > "$out/ipptool.txt" || {
  cat "$out/ipptool.txt" >&2
  echo "Printing failed; see $out/ipptool.txt and $out/server.log" >&2
  exit 1
}
end=$(stat -c '%.9Y' "$work/device/sample.prn")
cp "$work/device/sample.prn" "$out/sample.prn"

"$build/tools/tarnwel-decode" --reading-order --png "$out/page" "$out/sample.prn"
printf '\nPrinted %s two-sided (long edge), density MediumDark, through %s\n' "$input" "$uri"
printf 'Submission to the last byte on the device: %.2f s\n' \
  "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
echo "Printer stream:  $out/sample.prn"
echo "Page images:     $out/page-*.png (in reading order)"
echo "IPP exchange:    $out/ipptool.txt; server log: $out/server.log"
