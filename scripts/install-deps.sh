#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
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
  # The printer application's web pages: printer discovery, and Chromium for
  # the browser test (driven by playwright-core from npm, below).
  libavahi-client-dev dbus avahi-daemon chromium
  # What a client on the network may do: network namespaces joined by a veth
  # pair (ip), curl as the browser, and crypt(3) for the test's login file.
  iproute2 curl libcrypt-dev
  # Clients that find printers on the network: avahi-browse, and
  # cups-browsed, which makes a CUPS queue for each printer it finds.
  avahi-utils cups-browsed
  # The Debian packages: building and checking them, and clean Debian
  # systems to build, install and boot them in.
  dpkg-dev debhelper lintian git debootstrap systemd-container
)
# Node.js and npm for the browser test, unless the machine has them already.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi

# playwright-core, exactly as tests/web/package-lock.json pins it; it drives
# Debian's Chromium and downloads no browser of its own.
web="$(cd "$(dirname "$0")/../tests/web" && pwd)"
want=$(node -p "require('$web/package-lock.json').packages['node_modules/playwright-core'].version")
have=$(node -p "require('$web/node_modules/playwright-core/package.json').version" 2>/dev/null || true)
if [ "$want" != "$have" ]; then
  npm ci --prefix "$web" --no-audit --no-fund
fi
