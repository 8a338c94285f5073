#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and demonstrating the
# driver need. Runs as root; installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libcups2-dev cups cups-client cups-bsd cups-filters cups-ppdc
  ghostscript poppler-utils netpbm
  libpng-dev googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev python3 time
  libpappl-dev cups-ipp-utils
  # The Debian packages: building, checking, installing and the service file.
  dpkg-dev lintian git adduser systemd avahi-daemon
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
