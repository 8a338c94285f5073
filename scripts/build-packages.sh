#!/usr/bin/env bash
# Builds the Debian packages tarnwel-printer-driver and (where the printer
# application is built) tarnwel-printer-app with CPack, into out/packages/.
#
#   bash scripts/build-packages.sh            then: sudo apt install ./out/packages/*.deb
#   BUILD_DIR=dir OUT_DIR=dir bash scripts/build-packages.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-deb}
out=${OUT_DIR:-out/packages}

# Debian's compiler and linker flags for packages, all hardening on: fortified
# libc calls, stack protector, read-only relocations bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTARNWEL_BUILD_TESTS=OFF -DTARNWEL_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)

mkdir -p "$out"
rm -f "$out"/*.deb
cp "$build"/*.deb "$out"/
for deb in "$out"/*.deb; do
  printf '%s: %s bytes, installed size %s KiB\n' "$deb" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Installed-Size)"
done
