#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian packages as a Debian user meets them, on Debian 12 (bookworm)
# and Debian 13 (trixie), each in clean systems made here with debootstrap:
#   1. the source package (dpkg-source) of a fresh clone of the last commit;
#   2. built there with dpkg-buildpackage, its build dependencies from the
#      archive; on bookworm twice, in different folders, to the same bytes;
#      on trixie with the package's own tests;
#   3. lintian on the source and binary packages: no error, no warning
#      (the pedantic and informational tags are printed);
#   4. a minimal system with systemd booted by systemd-nspawn -b, without a
#      network but its own loopback: the packages installed with apt-get
#      (their dependencies from the archive), the service started by systemd,
#      the sample PDF printed through a CUPS queue and through the service,
#      a removed spool, remove, reinstall, purge, and the system compared
#      with before (tests/packages/in-container.sh);
#   5. an upgrade from the previous packages (tarnwel-printer-driver and
#      tarnwel-printer-app 0.1.0, built with CPack from $previous) in another
#      such system: the old driver package replaced, the CUPS queue's PPD
#      refreshed with its options, the service's printers and settings kept.
# Needs root (debootstrap, systemd-nspawn); skipped otherwise. The systems
# made by debootstrap, and the previous packages, are kept in $cache, so a
# second run is quicker. Leaves no container running.
#
#   bash scripts/test-packages.sh          all of it
#   bash scripts/test-packages.sh prepare  only the systems debootstrap makes
#       and the previous packages, into the cache (scripts/test.sh runs this
#       in the background while the other tests run: it mostly downloads)
#   PACKAGE_SUITES="bookworm trixie"  the Debian releases to test
#   KEEP_PACKAGE_TEST=1               keep the temporary folder
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

if [ "$(id -u)" != 0 ]; then
  echo "test-packages: SKIPPED: debootstrap and systemd-nspawn need root"
  echo "(sudo bash scripts/test-packages.sh)."
  exit 0
fi

mode=${1:-all}
suites=${PACKAGE_SUITES:-bookworm trixie}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=$top/build-packages
# The last commit whose packages were made with CPack, as version 0.1.0:
# what users upgrade from.
previous=bfdc407
started=$(date +%s)
mkdir -p "$cache"
# One run at a time uses the cache (a test waits for a preparation).
exec 9> "$cache/.lock"
flock 9
tmp=$(mktemp -d /tmp/tarnwel-packages.XXXXXX)
chmod 755 "$tmp"
containers=()

step() { printf '\n== [%4d s] %s\n' $(($(date +%s) - started)) "$*"; }
fail() {
  echo "test-packages: FAIL: $*" >&2
  exit 1
}
# A command that fails outside a check says where, with the disk space left
# (the systems are large).
set -E
trap 'status=$?; echo "test-packages: FAIL: line $LINENO: $BASH_COMMAND (status $status)" >&2
  df -h "$tmp" "$cache" >&2 || true' ERR

# Stops a booted system: systemd-nspawn asks its systemd to power off.
halt_container() {
  local pid=$1
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 150); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.2
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  local status=$?
  set +e
  for pid in "${containers[@]}"; do halt_container "$pid"; done
  if [ "${KEEP_PACKAGE_TEST:-0}" = 1 ]; then
    echo "test-packages: kept $tmp"
  else
    rm -rf "$tmp"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

command -v debootstrap >/dev/null && command -v systemd-nspawn >/dev/null ||
  fail "debootstrap and systemd-nspawn are missing (bash scripts/install-deps.sh)"

# A command in an unbooted system, with the host's network (apt). (None of
# the commands here gets the lock's descriptor 9.)
in_root() {
  local root=$1
  shift
  # (Without systemd on the host, systemd-nspawn says at exit that it left a
  # folder of /run alone: not a fault.)
  systemd-nspawn -q -D "$root" --register=no --keep-unit --resolv-conf=copy-host \
    --setenv=DEBIAN_FRONTEND=noninteractive --setenv=LC_ALL=C.UTF-8 "$@" 9>&- \
    2> >(grep -v '^Attempted to remove disk file system under "/run/systemd/nspawn/propagate/' >&2 ||
      true)
}

# A minimal system of $1 for $2 (build, test or upgrade), from the cache
# when its recipe (this function among it) has not changed. Unpacked into
# $3 (none: only made).
base_system() {
  local suite=$1 kind=$2 root=${3:-} include recipe key tarball
  case $kind in
    # What dpkg-buildpackage and lintian need; the build dependencies are
    # added from debian/control.
    build) include=build-essential,dpkg-dev,fakeroot,lintian ;;
    # What boots (systemd), and a socket listener standing in for printers.
    # The packages' dependencies come later, from their own lists.
    test) include=systemd,systemd-sysv,dbus,socat ;;
    # The same with the bulk of what the previous packages need.
    upgrade) include=systemd,systemd-sysv,dbus,socat ;;
  esac
  recipe="$suite $kind $include $mirror $(declare -f base_system)"
  [ "$kind" = build ] && recipe+=" $(sha256sum debian/control | cut -c1-16)"
  key=$(echo "$recipe" | sha256sum | cut -c1-16)
  tarball=$cache/$suite-$kind-$key.tar
  if [ ! -f "$tarball" ]; then
    local t0 made=$tmp/debootstrap-$suite-$kind
    t0=$(date +%s)
    rm -f "$cache/$suite-$kind-"*.tar
    debootstrap --variant=minbase "$suite" "$made" "$mirror" \
      > "$tmp/debootstrap-$suite-$kind.log" 2>&1 ||
      { tail -n 20 "$tmp/debootstrap-$suite-$kind.log"; fail "debootstrap $suite"; }
    # apt, not debootstrap, installs the rest: it configures packages in
    # their dependencies' order.
    in_root "$made" apt-get install -y -q --no-install-recommends ${include//,/ } \
      >> "$tmp/debootstrap-$suite-$kind.log" 2>&1 ||
      { tail -n 20 "$tmp/debootstrap-$suite-$kind.log"; fail "installing $include on $suite"; }
    if [ "$kind" = build ]; then
      mkdir -p "$made/src"
      cp -r debian "$made/src/"
      in_root "$made" apt-get build-dep -y -q /src > "$tmp/build-dep-$suite.log" 2>&1 ||
        { tail -n 20 "$tmp/build-dep-$suite.log"; fail "apt-get build-dep on $suite"; }
      rm -rf "$made/src"
    elif [ "$kind" = upgrade ]; then
      # The bulk of what the packages need, with what it recommends, as apt
      # installs it; the test adds the rest from the packages' own list.
      in_root "$made" apt-get install -y -q cups cups-filters ghostscript avahi-daemon \
        >> "$tmp/debootstrap-$suite-$kind.log" 2>&1 ||
        { tail -n 20 "$tmp/debootstrap-$suite-$kind.log"; fail "installing CUPS on $suite"; }
    fi
    in_root "$made" apt-get clean > /dev/null 2>&1 || fail "apt-get clean on $suite"
    tar -C "$made" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$made"
    echo "$suite $kind system made in $(($(date +%s) - t0)) s, kept as $(basename "$tarball") ($(du -m "$tarball" | cut -f1) MB)"
  else
    echo "$suite $kind system from the cache: $(basename "$tarball")"
  fi
  [ -n "$root" ] || return 0
  rm -rf "$root"
  mkdir -p "$root"
  tar -C "$root" -xf "$tarball"
}

# The packages' dependencies ($deps), from the archive, into the system in $1
# (with what they recommend, as apt does), so that the packages themselves
# go in without a network.
add_dependencies() {
  in_root "$1" apt-get update -q > "$tmp/satisfy.log" 2>&1 ||
    { tail -n 20 "$tmp/satisfy.log"; fail "apt-get update"; }
  in_root "$1" apt-get satisfy -y -q "$deps" >> "$tmp/satisfy.log" 2>&1 ||
    { tail -n 20 "$tmp/satisfy.log"; fail "the dependencies do not resolve from the archive: $deps"; }
}

# Boots the system in $1 with systemd; sets $leader to its PID 1, seen from
# here, for run_in.
boot() {
  local root=$1 name=$2 pid
  systemd-nspawn -q -D "$root" --register=no --keep-unit --private-network -b \
    --machine="$name" > "$tmp/console-$name.log" 2>&1 9>&- &
  pid=$!
  containers+=("$pid")
  booted_pid=$pid
  leader=''
  for _ in $(seq 300); do
    # (ps fails while systemd-nspawn has no child yet.)
    leader=$(ps --ppid "$pid" -o pid=,comm= 2>/dev/null | awk '$2 == "systemd" { print $1; exit }' ||
      true)
    [ -n "$leader" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$leader" ] || {
    tail -n 30 "$tmp/console-$name.log" >&2
    ps --ppid "$pid" -o pid=,comm= >&2 || true
    fail "$name does not boot"
  }
  # systemd answers once it has made its socket.
  local state=''
  for _ in $(seq 300); do
    state=$(run_in systemctl is-system-running --wait 2>&1) || true
    case $state in
      *"Failed to connect"* | *"No such file"* | "") sleep 0.2 ;;
      *) break ;;
    esac
  done
  echo "$name booted: $state"
  [ "$state" = running ] || {
    run_in systemctl --failed --no-pager || true
    fail "$name: systemd says $state"
  }
}
run_in() {
  nsenter -t "$leader" -m -u -i -n -p -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LC_ALL=C.UTF-8 "$@"
}
shut_down() {
  halt_container "$booted_pid"
  local kept=()
  for pid in "${containers[@]}"; do [ "$pid" = "$booted_pid" ] || kept+=("$pid"); done
  containers=("${kept[@]}")
}

# The files a test system sees: the packages, the sample, the steps.
stage_test_files() {
  local root=$1
  shift
  mkdir -p "$root/test/debs"
  cp "$@" "$root/test/debs/"
  cp samples/sample.pdf tests/packages/in-container.sh "$root/test/"
  chmod -R a+rX "$root/test"
}

# Lintian's tags in $1: errors and warnings fail.
check_lintian() {
  local report=$1
  if grep -E '^[EW]: ' "$report"; then
    fail "lintian has errors or warnings (above)"
  fi
}

# ---------------------------------------------------------------------------
step "The previous packages ($previous, CPack, 0.1.0)"
prev_debs=$cache/previous-$previous
if ! ls "$prev_debs"/tarnwel-printer-app_*.deb > /dev/null 2>&1; then
  t0=$(date +%s)
  # A shallow clone lacks it: its history is fetched first.
  git -C "$top" cat-file -e "$previous^{commit}" 2>/dev/null ||
    git -C "$top" fetch -q --unshallow 2>/dev/null || true
  git -C "$top" cat-file -e "$previous^{commit}" 2>/dev/null ||
    fail "commit $previous is not in this clone, and its history cannot be fetched"
  mkdir -p "$tmp/previous"
  git -C "$top" archive "$previous" | tar -x -C "$tmp/previous"
  (cd "$tmp/previous" && BUILD_DIR="$tmp/previous-build" OUT_DIR="$prev_debs" bash scripts/build-packages.sh) \
    > "$tmp/previous.log" 2>&1 || { tail -n 30 "$tmp/previous.log"; fail "building the previous packages"; }
  echo "built in $(($(date +%s) - t0)) s"
fi
ls "$prev_debs"

if [ "$mode" = prepare ]; then
  for suite in $suites; do
    step "$suite: the build and test systems"
    base_system "$suite" build
    base_system "$suite" test
    base_system "$suite" upgrade
  done
  step "Prepared: $(ls "$cache" | paste -sd' ' -)"
  exit 0
fi

# ---------------------------------------------------------------------------
step "Source package from a fresh clone of $(git rev-parse --short HEAD)"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "note: the working tree has uncommitted changes; the packages hold the last commit"
fi
git clone -q --no-hardlinks "$top" "$tmp/clone"
git -C "$tmp/clone" checkout -q --detach "$(git rev-parse HEAD)"
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
mkdir -p "$tmp/source"
(cd "$tmp/source" && cp -r "$tmp/clone" "tarnwel-$version" && rm -rf "tarnwel-$version/.git" &&
  dpkg-source -b "tarnwel-$version" > "$tmp/dpkg-source.log" 2>&1) ||
  { cat "$tmp/dpkg-source.log"; fail "dpkg-source -b"; }
ls -l "$tmp/source"/*.dsc "$tmp/source"/*.tar.*

for suite in $suites; do
  # -------------------------------------------------------------------------
  step "$suite: the build system"
  build_root=$tmp/$suite-build
  base_system "$suite" build "$build_root"

  step "$suite: dpkg-buildpackage"
  out=$tmp/$suite-out
  mkdir -p "$out"
  # bookworm builds twice, in folders of different names, without the tests
  # (the second build only compares); trixie builds once, with them.
  if [ "$suite" = bookworm ]; then
    builds="one a-second-folder" options=nocheck
  else
    builds="one" options=""
  fi
  for where in $builds; do
    t0=$(date +%s)
    mkdir -p "$build_root/build/$where"
    cp "$tmp/source"/tarnwel_"$version"* "$build_root/build/$where/"
    in_root "$build_root" --chdir="/build/$where" --setenv=DEB_BUILD_OPTIONS="$options parallel=$(nproc)" \
      sh -c "dpkg-source -x tarnwel_$version.dsc src >/dev/null && cd src && dpkg-buildpackage -us -uc" \
      > "$out/build-$where.log" 2>&1 || { tail -n 40 "$out/build-$where.log"; fail "dpkg-buildpackage on $suite"; }
    grep -E 'tests passed|tests failed' "$out/build-$where.log" || true
    echo "built in /build/$where in $(($(date +%s) - t0)) s"
  done
  debs=$(cd "$build_root/build/one" && ls printer-driver-tarnwel_*.deb tarnwel-printer-app_*.deb tarnwel-printer-driver_*.deb)
  if [ "$suite" = bookworm ]; then
    for f in $debs; do
      cmp "$build_root/build/one/$f" "$build_root/build/a-second-folder/$f" ||
        fail "$f: the two builds differ"
    done
    echo "both builds gave the same bytes: $(echo $debs)"
  fi
  for f in $debs; do
    printf '%s: %s bytes, installed size %s KiB\n' "$f" "$(stat -c %s "$build_root/build/one/$f")" \
      "$(dpkg-deb -f "$build_root/build/one/$f" Installed-Size)"
    cp "$build_root/build/one/$f" "$out/"
  done

  step "$suite: lintian"
  # As a user, as Debian's maintainers run it. With --fail-on none, an exit
  # status other than 0 means lintian itself failed; the tags are checked
  # below.
  lint() {
    in_root "$build_root" --chdir=/build/one --user=nobody --setenv=HOME=/tmp \
      lintian --fail-on none --color=never --tag-display-limit 0 "$@" \
      "tarnwel_${version}_$(dpkg --print-architecture).changes"
  }
  lint > "$out/lintian.txt" 2>&1 || { cat "$out/lintian.txt"; fail "lintian did not run"; }
  lint --pedantic -I > "$out/lintian-pedantic.txt" 2>&1 ||
    { cat "$out/lintian-pedantic.txt"; fail "lintian did not run"; }
  in_root "$build_root" lintian --version
  echo "default:"
  sed 's/^/  /' "$out/lintian.txt"
  echo "--pedantic -I:"
  sed 's/^/  /' "$out/lintian-pedantic.txt"
  check_lintian "$out/lintian.txt"
  check_lintian "$out/lintian-pedantic.txt"
  rm -rf "$build_root"

  # -------------------------------------------------------------------------
  step "$suite: installed, printing, removed, purged, under systemd"
  root=$tmp/$suite-fresh
  # What the packages depend on and recommend, but themselves.
  new_debs=("$out"/printer-driver-tarnwel_*.deb "$out"/tarnwel-printer-app_*.deb)
  deps=$(for f in "${new_debs[@]}"; do dpkg-deb -f "$f" Depends Recommends | sed 's/^[A-Za-z]*: //'; done |
    tr '\n' ',' | tr ',' '\n' | sed 's/^ *//; /^$/d' | grep -vE '^(printer-driver-tarnwel|tarnwel-printer-app)\b' |
    sort -u | paste -sd, -)
  echo "dependencies: $deps"
  base_system "$suite" test "$root"
  add_dependencies "$root"
  stage_test_files "$root" "${new_debs[@]}"
  t0=$(date +%s)
  boot "$root" "tw-$suite"
  run_in sh /test/in-container.sh fresh || fail "$suite: the packages"
  shut_down
  echo "$suite: installed, printed, removed, purged in $(($(date +%s) - t0)) s"
  rm -rf "$root"

  # -------------------------------------------------------------------------
  step "$suite: upgrade from the previous packages"
  root=$tmp/$suite-upgrade
  base_system "$suite" upgrade "$root"
  stage_test_files "$root" "${new_debs[@]}"
  # The new packages, the transitional one among them, as an apt repository
  # for apt upgrade.
  mkdir -p "$root/test/repo"
  cp "$out"/*.deb "$root/test/repo/"
  (cd "$root/test/repo" && dpkg-scanpackages --multiversion . > Packages 2> /dev/null)
  mkdir -p "$root/test/previous"
  cp "$prev_debs"/*.deb "$root/test/previous/"
  add_dependencies "$root"
  in_root "$root" sh -c 'apt-get install -y -q /test/previous/*.deb' > "$tmp/previous-$suite.log" 2>&1 ||
    { tail -n 20 "$tmp/previous-$suite.log"; fail "$suite: installing the previous packages"; }
  t0=$(date +%s)
  boot "$root" "tw-$suite-up"
  run_in sh /test/in-container.sh before-upgrade || fail "$suite: the previous packages"
  run_in sh /test/in-container.sh upgrade || fail "$suite: the upgrade"
  shut_down
  echo "$suite: upgraded in $(($(date +%s) - t0)) s"
  rm -rf "$root"
done

step "Done: $suites"
