#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The printer application beside the CUPS chain on the same documents: the
# time from submission to the last byte on the device through the app
# (ipptool to a file:// device), and through cupsfilter (pdftopdf, Ghostscript,
# our filter), alternating, and the server's resident memory idle and at its
# peak. Documents: the bundled sample PDF and a 100-page text PDF. Run as root
# (the server runs as nobody).
#
#   sudo bash bench/app.sh [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

runs=3
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: bench/app.sh [--runs N]" >&2; exit 2 ;;
  esac
done
if [ "$(id -u)" != 0 ]; then
  echo "Run as root: the server is started as the user nobody." >&2
  exit 1
fi

bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarnwel-printer-app rastertotarnwel tarnwel-decode \
  tarnwel_ppds

data=$top/bench/data
mkdir -p "$data"
# 100 pages of text that Debian ships, set on Letter by CUPS's own text filter.
if [ ! -s "$data/text100-letter.pdf" ]; then
  for _ in $(seq 1 10); do cat /usr/share/common-licenses/GPL-3; done > "$data/long.txt"
  cupsfilter -m application/pdf "$data/long.txt" > "$data/long-letter.pdf" 2>/dev/null
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -dFirstPage=1 -dLastPage=100 \
    -sOutputFile="$data/text100-letter.pdf" "$data/long-letter.pdf"
fi

scratch=$(mktemp -d /tmp/tarnwel-bench-app.XXXXXX)
source scripts/app-server.sh
trap 'app_server_stop; rm -rf "$scratch"' EXIT

# The CUPS chain finds the filters in ServerBin: the system's, with our
# build's filter in place of any installed one.
mkdir -p "$scratch/serverbin/filter"
for f in "$(cups-config --serverbin)"/filter/*; do ln -s "$f" "$scratch/serverbin/filter/"; done
ln -sf "$top/$build/filter/rastertotarnwel" "$scratch/serverbin/filter/rastertotarnwel"
echo "ServerBin $scratch/serverbin" > "$scratch/cups-files.conf"
ppd=$build/ppd/ppd/tnml20.ppd

app_server_start "$build"
as_app_server add -d bench -m tnml20 -v "file://$app_work/device?ext=prn"
uri=ipp://127.0.0.1:$app_port/ipp/print/bench
sleep 1
kib() { awk -v k="$1" '$1 == k":" { print $2 }' "/proc/$app_pid/status"; }
idle_rss=$(kib VmRSS)

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", b - a }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
pages_of() { "$build/tools/tarnwel-decode" "$1" | awk '/^Pages in stream order:/ { print $5 }'; }

printf '%-24s %10s %10s %9s %7s  %s\n' document "app (s)" "CUPS (s)" app/CUPS pages streams
for doc in samples/sample.pdf "$data/text100-letter.pdf"; do
  name=$(basename "$doc" .pdf)
  install -m 644 -o nobody -g nogroup "$doc" "$app_work/documents/$name.pdf"
  : > "$scratch/app.times"
  : > "$scratch/cups.times"
  for run in $(seq 1 "$runs"); do
    job=$name-$run
    start=$(now)
    ipptool -t -d format=application/pdf -d jobname="$job" -d sides=one-sided -d darkness=0 \
      -d mediatype=stationery -d copies=1 -f "$app_work/documents/$name.pdf" "$uri" \
      tests/app/print-job.test > "$scratch/ipptool.txt" || {
      cat "$scratch/ipptool.txt" >&2
      exit 1
    }
    elapsed "$start" "$(stat -c '%.9Y' "$app_work/device/$job.prn")" >> "$scratch/app.times"
    app_stream=$app_work/device/$job.prn

    start=$(now)
    cupsfilter -c "$scratch/cups-files.conf" -p "$ppd" -e -m printer/foo "$doc" \
      > "$scratch/cups.prn" 2> "$scratch/cups.log"
    elapsed "$start" "$(now)" >> "$scratch/cups.times"
  done
  if cmp -s "$app_stream" "$scratch/cups.prn"; then same="same bytes"; else same="bytes differ"; fi
  app_pages=$(pages_of "$app_stream")
  cups_pages=$(pages_of "$scratch/cups.prn")
  if [ "$app_pages" != "$cups_pages" ]; then
    echo "$name: the app printed $app_pages pages, the CUPS chain $cups_pages" >&2
    exit 1
  fi
  a=$(median < "$scratch/app.times")
  c=$(median < "$scratch/cups.times")
  printf '%-24s %10.3f %10.3f %9.2f %7s  %s\n' "$name" "$a" "$c" \
    "$(awk -v a="$a" -v c="$c" 'BEGIN { print a / c }')" "$app_pages" "$same"
done
printf '\nServer RSS: idle %.1f MiB, peak %.1f MiB (medians of %d runs each; times alternate app and CUPS)\n' \
  "$(awk -v k="$idle_rss" 'BEGIN { print k / 1024 }')" "$(awk -v k="$(kib VmHWM)" 'BEGIN { print k / 1024 }')" "$runs"
