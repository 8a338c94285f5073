#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The arm64 Debian packages, cross-built on this x86-64 machine and checked:
#   1. dpkg-checkbuilddeps -a arm64, then dpkg-buildpackage -a arm64 of a
#      clean copy of the last commit (git archive), without the tests, which
#      a cross build cannot run;
#   2. the size and the installed size of each .deb;
#   3. lintian on the .changes: no error, no warning (the pedantic and
#      informational tags are printed too);
#   4. the packaged arm64 filter, with the packaged PPD, under qemu-aarch64:
#      the three pages of the sample PDF, rastered by the host's Ghostscript
#      on A4 at 600 dpi, printed two-sided with print density, paper weight and
#      copies, give the same bytes as the x86-64 filter of NATIVE_BUILD with
#      the same raster, PPD and options.
# Everything is made in a temporary folder, removed at exit.
#
#   bash scripts/cross-packages.sh [NATIVE_BUILD]   (default build, made when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
native=${1:-build}
case $native in /*) ;; *) native=$top/$native ;; esac

tmp=$(mktemp -d /tmp/tarnwel-cross-packages.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "cross-packages: FAIL: $*" >&2
  exit 1
}

# The time of each step, printed as it ends and again at the end.
now() { date +%s%3N; }
started=$(now)
step_name="" step_t0=0 times=()
end_step() {
  [ -n "$step_name" ] || return 0
  local ms=$(($(now) - step_t0))
  times+=("$(printf '%7.1f s  %s' "$((ms / 100))e-1" "$step_name")")
  printf -- '-- %s: %d.%d s\n' "$step_name" $((ms / 1000)) $((ms % 1000 / 100))
  step_name=""
}
step() {
  end_step
  step_name=$1 step_t0=$(now)
  printf '\n== %s\n' "$1"
}

step "Cross dependencies"
bash scripts/install-cross-deps.sh
dpkg-checkbuilddeps -a arm64 || fail "the arm64 build dependencies are not installed"

# ---------------------------------------------------------------------------
step "dpkg-buildpackage -a arm64 of $(git rev-parse --short HEAD)"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "note: the working tree has uncommitted changes; the packages hold the last commit"
fi
mkdir -p "$tmp/src/tarnwel"
git archive HEAD | tar -x -C "$tmp/src/tarnwel"
(cd "$tmp/src/tarnwel" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -a arm64 -Pnocheck -us -uc -b) \
  > "$tmp/build.log" 2>&1 || { tail -n 40 "$tmp/build.log"; fail "dpkg-buildpackage -a arm64"; }
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
changes=$tmp/src/tarnwel_${version}_arm64.changes
[ -f "$changes" ] || fail "no $changes"

step "The packages"
for f in "$tmp"/src/*_arm64.deb; do
  [ "$(dpkg-deb -f "$f" Architecture)" = arm64 ] || fail "$f is not an arm64 package"
  printf '%s: %s bytes, installed size %s KiB\n' "$(basename "$f")" "$(stat -c %s "$f")" \
    "$(dpkg-deb -f "$f" Installed-Size)"
done
driver_deb=$tmp/src/printer-driver-tarnwel_${version}_arm64.deb
[ -f "$driver_deb" ] || fail "no printer-driver-tarnwel arm64 package"
[ -f "$tmp/src/tarnwel-printer-app_${version}_arm64.deb" ] || fail "no tarnwel-printer-app arm64 package"

# ---------------------------------------------------------------------------
step "lintian"
lintian --version
# --fail-on none: the tags are judged here; a status other than 0 means
# lintian itself failed.
lintian --fail-on none --color=never --tag-display-limit 0 "$changes" > "$tmp/lintian.txt" 2>&1 ||
  { cat "$tmp/lintian.txt"; fail "lintian did not run"; }
lintian --fail-on none --color=never --tag-display-limit 0 --pedantic -I "$changes" \
  > "$tmp/lintian-pedantic.txt" 2>&1 || { cat "$tmp/lintian-pedantic.txt"; fail "lintian did not run"; }
echo "default:"
sed 's/^/  /' "$tmp/lintian.txt"
echo "--pedantic -I:"
sed 's/^/  /' "$tmp/lintian-pedantic.txt"
if grep -E '^[EW]: ' "$tmp/lintian.txt"; then
  fail "lintian has errors or warnings (above)"
fi

# ---------------------------------------------------------------------------
step "The x86-64 filter of $native"
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DTARNWEL_WERROR=ON >/dev/null
fi
cmake --build "$native" -j"$(nproc)" --target rastertotarnwel tarnwel-decode >/dev/null

step "The packaged arm64 filter and the x86-64 filter on a two-sided job"
dpkg-deb -x "$driver_deb" "$tmp/driver"
filter=$tmp/driver/usr/lib/cups/filter/rastertotarnwel
ppd=$tmp/driver/usr/share/cups/model/tarnwel/tnml20.ppd
[ -x "$filter" ] && [ -f "$ppd" ] || fail "the arm64 package has no filter or no tnml20.ppd"
file -b "$filter" | grep -q 'ARM aarch64' || fail "the packaged filter is not an arm64 program"
# The arm64 dynamic loader and libcups2:arm64 are installed by multiarch
# (/lib/ld-linux-aarch64.so.1, /usr/lib/aarch64-linux-gnu), where the
# emulated loader finds them as on an arm64 system: no -L is needed, as in
# scripts/cross-test.sh.
arm64=(/usr/bin/qemu-aarch64-static)

# The printer makes the copies: the filter takes their number from the
# raster's page headers, so each count of copies is a raster of its own.
for copies in 1 3; do
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=cups -r600 -sPAPERSIZE=a4 -dFIXEDMEDIA -dPDFFitPage \
    -dcupsColorSpace=3 -dcupsBitsPerColor=1 -dNumCopies=$copies \
    -sOutputFile="$tmp/job-$copies.ras" samples/sample.pdf > "$tmp/gs.log" 2>&1 ||
    { cat "$tmp/gs.log"; fail "Ghostscript did not raster samples/sample.pdf"; }
  echo "raster, copies $copies: $(stat -c %s "$tmp/job-$copies.ras") bytes, the 3 pages of samples/sample.pdf on A4 at 600 dpi"
done

# Same bytes: says where two streams part, or how one stops short.
same_bytes() {
  local a=$1 b=$2 what=$3 r at
  r=$(cmp -- "$a" "$b" 2>&1) && return 0
  case $r in
    *"differ: byte "*)
      at=${r#*differ: byte }
      at=$((${at%%,*} - 1))
      printf 'the streams differ first at offset %d (0x%x)\n' "$at" "$at" >&2
      echo "x86-64:" >&2
      xxd -s $((at > 16 ? at - 16 : 0)) -l 48 "$a" >&2
      echo "arm64:" >&2
      xxd -s $((at > 16 ? at - 16 : 0)) -l 48 "$b" >&2
      ;;
    *) echo "$r ($(stat -c %s "$a") and $(stat -c %s "$b") bytes)" >&2 ;;
  esac
  fail "$what: the packaged arm64 filter and the x86-64 filter wrote different bytes"
}

# Both option sets change the job's commands: long-edge and short-edge
# binding, two densities, two paper weights, one and three copies.
jobs=(
  "1|PrintDensity=Dark PaperWeight=MediumHeavy Duplex=DuplexNoTumble"
  "3|PrintDensity=MediumLight PaperWeight=VeryHeavy Duplex=DuplexTumble"
)
n=0
for job in "${jobs[@]}"; do
  copies=${job%%|*} options=${job#*|}
  x86=$tmp/stream-$n-x86_64 arm=$tmp/stream-$n-arm64
  t0=$(now)
  PPD=$ppd "$native/filter/rastertotarnwel" 1 u t 1 "$options" "$tmp/job-$copies.ras" \
    > "$x86" 2> "$tmp/filter-$n-x86_64.log" || { tail "$tmp/filter-$n-x86_64.log"; fail "the x86-64 filter failed"; }
  t1=$(now)
  PPD=$ppd "${arm64[@]}" "$filter" 1 u t 1 "$options" "$tmp/job-$copies.ras" \
    > "$arm" 2> "$tmp/filter-$n-arm64.log" || { tail "$tmp/filter-$n-arm64.log"; fail "the arm64 filter failed"; }
  t2=$(now)
  echo "copies $copies, $options:"
  echo "  x86-64 $(stat -c %s "$x86") bytes in $((t1 - t0)) ms; arm64 (qemu) $(stat -c %s "$arm") bytes in $((t2 - t1)) ms"
  [ -s "$x86" ] || fail "the x86-64 filter wrote nothing"
  # What the printer would read: the settings and the pages.
  "$native/tools/tarnwel-decode" "$arm" | sed 's/^/  /'
  same_bytes "$x86" "$arm" "copies $copies, $options"
  echo "  the same bytes"
  n=$((n + 1))
done
# Two option sets that made the same stream would mean the options were lost.
! cmp -s "$tmp/stream-0-x86_64" "$tmp/stream-1-x86_64" || fail "both option sets gave the same stream"

end_step
echo
echo "Step times:"
printf '%s\n' "${times[@]}"
echo "The arm64 packages are built, clean for lintian, and their filter writes the x86-64 bytes ($(((($(now) - started)) / 1000)) s)"
