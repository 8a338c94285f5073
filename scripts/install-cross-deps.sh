#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the cross builds need on Debian 12 (run as root; installs only
# what is missing): the cross compilers for arm64 and s390x, qemu's user-mode
# emulators, GoogleTest's sources, and the arm64 libraries through Debian's
# multiarch: those of the filter and its tests, and, for the arm64 Debian
# packages (dpkg-checkbuilddeps -a arm64), those of the printer application
# and pkgconf's arm64 wrapper aarch64-linux-gnu-pkg-config. The arm64 packages
# must have the same versions as the host's, so apt may bring a few host
# libraries up to the archive's versions with them.
set -euo pipefail

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "Adding the arm64 architecture to dpkg"
  dpkg --add-architecture arm64
fi

packages=(
  crossbuild-essential-arm64 crossbuild-essential-s390x crossbuild-essential-i386
  qemu-user-static googletest
  libcups2-dev:arm64 libgtest-dev:arm64 libpng-dev:arm64
  pkgconf:arm64 libpappl-dev:arm64 libavahi-client-dev:arm64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi
