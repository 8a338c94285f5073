#!/usr/bin/env bash
# The Debian packages the way a print server's administrator meets them:
#   1. built with CPack from a fresh clone of the last commit,
#   2. lintian: no error, no warning but those on packaging/lintian-allow.txt,
#   3. the printer application's service file accepted by systemd-analyze,
#   4. installed into this system with apt-get; the system's cupsd (started
#      here, on 127.0.0.1 only) lists both models, a queue made with lpadmin
#      prints a PDF through the installed filter to a socket listener, and
#      the options show, in German too,
#   5. the packaged printer application started as its service starts it
#      (same user, folders, environment and arguments) adds a printer and
#      prints,
#   6. apt-get purge leaves no file of ours, and CUPS still prints.
# Installs system-wide and runs the system's cupsd, so it needs root and
# skips otherwise. Leaves neither the packages nor a server behind.
#
#   KEEP_PACKAGE_TEST=1   keep the temporary folder (its path is printed)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

if [ "$(id -u)" != 0 ]; then
  echo "test-packages: SKIPPED: it installs the packages into the system and runs the"
  echo "system's cupsd; run it as root (sudo bash scripts/test-packages.sh)."
  exit 0
fi

driver=tarnwel-printer-driver
app=tarnwel-printer-app
app_user=tarnwel-app
started=$(date +%s)
tmp=$(mktemp -d /tmp/tarnwel-packages.XXXXXX)
chmod 755 "$tmp"
export DEBIAN_FRONTEND=noninteractive
apt_opts=(-o DPkg::Lock::Timeout=900 -y -q)

cupsd_pid='' listener_pid='' app_pid='' made_run_cups='' queues=()

step() { printf '\n== [%3d s] %s\n' $(($(date +%s) - started)) "$*"; }
fail() {
  echo "test-packages: FAIL: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
# Our packages that dpkg knows of (installed, or removed with files left).
ours_on_system() {
  for p in "$app" "$driver"; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.[^n]' && echo "$p"
  done
  true
}

cleanup() {
  local status=$?
  set +e
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill "$app_pid"
    wait "$app_pid" 2>/dev/null
  fi
  for q in "${queues[@]}"; do lpadmin -x "$q" 2>/dev/null; done
  [ -n "$listener_pid" ] && kill "$listener_pid" 2>/dev/null && wait "$listener_pid" 2>/dev/null
  left=$(ours_on_system)
  [ -z "$left" ] || apt-get "${apt_opts[@]}" purge $left >/dev/null 2>&1
  if [ -n "$cupsd_pid" ]; then
    kill "$cupsd_pid" 2>/dev/null
    wait "$cupsd_pid" 2>/dev/null
  fi
  [ -n "$made_run_cups" ] && rm -rf /run/cups
  if [ "$status" != 0 ] && [ -f "$tmp/cupsd/error_log" ]; then
    echo "--- last lines of cupsd's error_log" >&2
    tail -n 30 "$tmp/cupsd/error_log" >&2
  fi
  if [ "${KEEP_PACKAGE_TEST:-0}" = 1 ]; then
    echo "test-packages: kept $tmp"
  else
    rm -rf "$tmp"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}

# ---------------------------------------------------------------------------
step "Packages from a fresh clone of $(git rev-parse --short HEAD)"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "note: the working tree has uncommitted changes; the packages hold the last commit"
fi
git clone -q --no-hardlinks "$top" "$tmp/src"
git -C "$tmp/src" checkout -q --detach "$(git rev-parse HEAD)"
echo "sources: $(git -C "$tmp/src" ls-files | wc -l) files"
build_start=$(date +%s)
(cd "$tmp/src" && BUILD_DIR="$tmp/build" OUT_DIR="$tmp/debs" bash scripts/build-packages.sh) \
  > "$tmp/build.log" 2>&1 || {
  tail -n 40 "$tmp/build.log"
  fail "the packages do not build"
}
grep -E '\.deb: ' "$tmp/build.log"
echo "built in $(($(date +%s) - build_start)) s"
driver_deb=$(ls "$tmp"/debs/${driver}_*.deb)
app_deb=$(ls "$tmp"/debs/${app}_*.deb 2>/dev/null || true)
debs=("$driver_deb")
if [ -n "$app_deb" ]; then
  debs+=("$app_deb")
else
  echo "MISSING: no $app package (the printer application is not in this tree): its steps are left out and the test fails at the end"
fi
version=$(dpkg-deb -f "$driver_deb" Version)
[ "$version" = "$(sed -n 's/^project(tarnwel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] ||
  fail "package version $version is not the project's"
for deb in "${debs[@]}"; do
  echo "--- $(basename "$deb")"
  dpkg-deb -f "$deb" Depends Installed-Size
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print "  " $1, $6 }'
done

# ---------------------------------------------------------------------------
step "lintian"
allowed=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' packaging/lintian-allow.txt | awk '{ print $1 }')
lintian --tag-display-limit 0 "${debs[@]}" > "$tmp/lintian.txt" 2>&1 || true
grep -v '^running with root privileges' "$tmp/lintian.txt" || true
lint_bad=0
while read -r severity package tag _; do
  case $severity in
    E:) echo "lintian error: $package $tag" >&2; lint_bad=1 ;;
    W:) grep -qx "$tag" <<<"$allowed" || { echo "lintian warning not on the allow-list: $package $tag" >&2; lint_bad=1; } ;;
  esac
done < <(grep -E '^[EW]: ' "$tmp/lintian.txt" | sed 's/^\([EW]:\) \([^:]*\): \([^ ]*\).*/\1 \2 \3/')
for tag in $allowed; do
  grep -q " $tag\( \|$\)" "$tmp/lintian.txt" || echo "note: allow-listed lintian tag $tag no longer appears"
done
[ $lint_bad = 0 ] || fail "lintian"
echo "lintian: no errors, no warnings outside packaging/lintian-allow.txt"

# ---------------------------------------------------------------------------
step "The system's cupsd, on 127.0.0.1 only"
left=$(ours_on_system)
if [ -n "$left" ]; then
  echo "note: on the system from before, purged first:" $left
  apt-get "${apt_opts[@]}" purge $left >/dev/null
fi
if lpstat -h localhost:631 -r 2>/dev/null | grep -q "is running" ||
  { [ -S /run/cups/cups.sock ] && lpstat -h /run/cups/cups.sock -r 2>/dev/null | grep -q "is running"; }; then
  # A machine whose CUPS runs (not CI): test with it, and leave it running.
  echo "using the system's running cupsd"
else
  [ -d /run/cups ] || { mkdir -m 755 /run/cups && made_run_cups=1; }
  cups_port=$(free_port)
  mkdir -p "$tmp/cupsd"
  # The system's configuration, with its listeners and browsing replaced:
  # this scheduler answers only on 127.0.0.1 and announces nothing.
  grep -vE '^[[:space:]]*(Listen|Port|Browsing|BrowseLocalProtocols|BrowseAddress)[[:space:]]' \
    /etc/cups/cupsd.conf > "$tmp/cupsd/cupsd.conf"
  printf 'Listen 127.0.0.1:%s\nBrowsing No\n' "$cups_port" >> "$tmp/cupsd/cupsd.conf"
  sed -e '/^[[:space:]]*ErrorLog[[:space:]]/d' /etc/cups/cups-files.conf > "$tmp/cupsd/cups-files.conf"
  echo "ErrorLog $tmp/cupsd/error_log" >> "$tmp/cupsd/cups-files.conf"
  cupsd -f -c "$tmp/cupsd/cupsd.conf" -s "$tmp/cupsd/cups-files.conf" &
  cupsd_pid=$!
  # Over TCP: queues' URIs then name the port the scheduler really has.
  export CUPS_SERVER=127.0.0.1:$cups_port
  wait_for 30 sh -c 'lpstat -r 2>/dev/null | grep -q "is running"' || fail "cupsd does not start"
  echo "cupsd $cupsd_pid on $CUPS_SERVER"
fi

# Socket listener standing in for the printers.
mkdir -p "$tmp/printer"
python3 tests/packages/listen.py "$tmp/printer" "$tmp/printer/port" &
listener_pid=$!
wait_for 10 test -s "$tmp/printer/port" || fail "the listener does not start"
printer_port=$(cat "$tmp/printer/port")

# The listener's next job: its file name in $stream once it is complete.
jobs_seen=0
next_job() {
  jobs_seen=$((jobs_seen + 1))
  stream=$tmp/printer/job-$jobs_seen.prn
  wait_for "$1" test -f "$stream"
}

c++ -std=c++17 -O1 -Wall -Wextra -Werror -Wno-deprecated-declarations \
  -o "$tmp/ppd-options" tests/packages/ppd_options.cpp -lcups

# ---------------------------------------------------------------------------
step "Snapshot of the file system before installing"
# Compared with the one after purging. Left out: what apt, dpkg, man-db and
# the running cupsd change on their own (caches, logs, CUPS's queue list).
snapshot() {
  {
    find /etc /usr /var /opt /srv -xdev \
      \( -path /var/cache/apt -o -path /var/lib/apt/lists -o -path /var/log \
      -o -path /var/cache/man -o -path /var/cache/cups -o -path /var/spool/cups \
      -o -path /var/cache/debconf -o -path /var/lib/dpkg/triggers -o -path /var/lib/dpkg/updates \
      -o -path /var/tmp \) -prune -o -print
    getent passwd | cut -d: -f1 | sed 's/^/user: /'
    getent group | cut -d: -f1 | sed 's/^/group: /'
  } | grep -vE '^/etc/cups/(printers|classes|subscriptions)\.conf(\.O)?$|^/etc/cups/ppd/|^/var/lib/dpkg/[^/]*-old$|^/var/lib/dpkg/lock' |
    sort
}
snapshot > "$tmp/before.txt"
wc -l < "$tmp/before.txt" | sed 's/$/ entries/'

# ---------------------------------------------------------------------------
step "apt-get install ${debs[*]##*/}"
# Every dependency must be on the system already (scripts/install-deps.sh):
# apt would leave one it pulls in behind after the purge.
apt-get -s "${apt_opts[@]}" install "${debs[@]}" > "$tmp/apt-sim.txt" 2>&1 ||
  { cat "$tmp/apt-sim.txt"; fail "apt-get cannot install the packages"; }
extra=$(awk '$1 == "Inst" { print $2 }' "$tmp/apt-sim.txt" | grep -vxE "$driver|$app" || true)
[ -z "$extra" ] || fail "the packages pull in more packages; add them to scripts/install-deps.sh: $extra"
apt-get "${apt_opts[@]}" install "${debs[@]}" > "$tmp/apt-install.txt" 2>&1 ||
  { cat "$tmp/apt-install.txt"; fail "apt-get install"; }
installed "$driver" || fail "$driver is not installed"
[ -z "$app_deb" ] || installed "$app" || fail "$app is not installed"
filter=$(dpkg -L "$driver" | grep '/filter/rastertotarnwel$')
[ "$(stat -c '%U %a' "$filter")" = "root 755" ] || fail "$filter is not root's with mode 755"
echo "installed; the filter is $filter"

# ---------------------------------------------------------------------------
if [ -n "$app_deb" ]; then
  step "The service file"
  unit=$(dpkg -L "$app" | grep '/systemd/system/tarnwel-printer-app\.service$')
  echo "$unit"
  # With the package installed the program of ExecStart is in place. The
  # manual page is checked among the package's files: systems without
  # manuals (Debian's container images) leave it out.
  systemd-analyze verify --man=no "$unit" > "$tmp/verify.txt" 2>&1 || {
    cat "$tmp/verify.txt"
    fail "systemd-analyze verify rejects the service"
  }
  if [ -s "$tmp/verify.txt" ]; then
    cat "$tmp/verify.txt"
    fail "systemd-analyze verify complains about the service"
  fi
  echo "systemd-analyze verify: no complaint"
  dpkg-deb -c "$app_deb" | grep -q '/man1/tarnwel-printer-app\.1\.gz$' || fail "no manual page in $app"
  systemd-analyze security --offline=true "$unit" | tail -n 1
fi

# ---------------------------------------------------------------------------
step "The driver in CUPS"
models=$(lpinfo -m 2>/dev/null | grep -i tarnwel || true)
echo "$models"
grep -qx 'tarnwel/tnml20.ppd Tarnwel Mono Laser 20' <<<"$models" || fail "lpinfo -m lacks the Mono Laser 20"
grep -qx 'tarnwel/tnml24p.ppd Tarnwel Mono Laser 24 Pro' <<<"$models" || fail "lpinfo -m lacks the Mono Laser 24 Pro"

for ppd in $(dpkg -L "$driver" | grep '\.ppd$'); do
  cupstestppd "$ppd" || fail "cupstestppd $ppd"
done

queue=tarnwel-package-test
queues+=("$queue")
lpadmin -p "$queue" -E -v "socket://127.0.0.1:$printer_port" -m tarnwel/tnml20.ppd 2>/dev/null
lp -d "$queue" -o Duplex=DuplexNoTumble -o PrintDensity=Dark -o PaperWeight=MediumHeavy \
  samples/sample.pdf
next_job 120 || { lpstat -W all -o "$queue"; fail "nothing reached the printer"; }
/usr/bin/tarnwel-decode "$stream" | tee "$tmp/decoded.txt"
grep -qx 'Density: Dark (code 0)' "$tmp/decoded.txt" || fail "the density did not reach the printer"
grep -qx 'Paper weight: MediumHeavy (code 2)' "$tmp/decoded.txt" || fail "the paper weight did not reach the printer"
grep -qx 'Duplex: long edge (DuplexNoTumble)' "$tmp/decoded.txt" || fail "two-sided printing did not reach the printer"
# Three pages, two-sided: a blank fourth completes the last sheet.
grep -qx 'Pages in stream order: 4' "$tmp/decoded.txt" || fail "not the sample's pages"
wait_for 30 sh -c "lpstat -W completed -o '$queue' | grep -q '$queue'" || fail "the job did not complete"

lpoptions -p "$queue" -l | tee "$tmp/lpoptions.txt"
grep -qx 'PrintDensity/Print Density: Dark MediumDark \*Medium MediumLight Light' "$tmp/lpoptions.txt" ||
  fail "lpoptions -l: PrintDensity"
grep -qx 'PaperWeight/Paper Weight: VeryHeavy MediumHeavy \*Medium' "$tmp/lpoptions.txt" ||
  fail "lpoptions -l: PaperWeight"
grep -qx 'Duplex/2-Sided Printing: \*None DuplexNoTumble DuplexTumble' "$tmp/lpoptions.txt" ||
  fail "lpoptions -l: Duplex"

# lpoptions prints the PPD's own names; a dialog asks libcups for them in
# the user's language, as ppd-options does.
for row in "de_DE.UTF-8|PrintDensity/Druckdichte: Dark/Sehr dunkel|PaperWeight/Papiergewicht:|Duplex/Doppelseitiger Druck:" \
  "fr_FR.UTF-8|PrintDensity/Densité d'impression: Dark/Très foncée|PaperWeight/Grammage du papier:|Duplex/Impression recto-verso:" \
  "es_ES.UTF-8|PrintDensity/Densidad de impresión: Dark/Muy oscura|PaperWeight/Gramaje del papel:|Duplex/Dúplex:" \
  "it_IT.UTF-8|PrintDensity/Densità di stampa: Dark/Molto scura|PaperWeight/Grammatura della carta:|Duplex/Stampa fronte/retro:"; do
  IFS='|' read -r lang density weight duplex <<<"$row"
  env -u LC_ALL -u LC_MESSAGES LANG="$lang" "$tmp/ppd-options" "$queue" > "$tmp/options-$lang.txt"
  [ "$lang" = de_DE.UTF-8 ] && cat "$tmp/options-$lang.txt"
  for want in "$density" "$weight" "$duplex"; do
    grep -qF -- "$want" "$tmp/options-$lang.txt" || fail "$lang: no \"$want\" among the options"
  done
done
echo "options named in German, French, Spanish and Italian"
lpadmin -x "$queue"
queues=()

# ---------------------------------------------------------------------------
if [ -n "$app_deb" ]; then
  step "The printer application as its service runs it"
  bash tests/packages/run-app-as-service.sh "$unit" "$tmp/app" "$printer_port" "$tmp/printer" ||
    fail "the packaged printer application"
  jobs_seen=$(ls "$tmp"/printer/job-*.prn | wc -l)
fi

# ---------------------------------------------------------------------------
step "apt-get purge"
apt-get "${apt_opts[@]}" purge $(ours_on_system) > "$tmp/apt-purge.txt" 2>&1 ||
  { cat "$tmp/apt-purge.txt"; fail "apt-get purge"; }
snapshot > "$tmp/after.txt"
if ! diff "$tmp/before.txt" "$tmp/after.txt" > "$tmp/left.txt"; then
  echo "The file system after purging differs from before installing:"
  cat "$tmp/left.txt"
  fail "apt-get purge left something behind (or took something away)"
fi
echo "no file, user or group of ours left"

step "CUPS after the purge"
! lpinfo -m 2>/dev/null | grep -qi tarnwel || fail "lpinfo -m still lists our models"
queue=cups-after-purge
queues+=("$queue")
lpadmin -p "$queue" -E -v "socket://127.0.0.1:$printer_port" -m drv:///sample.drv/generpcl.ppd 2>/dev/null
lp -d "$queue" samples/sample.pdf
next_job 120 || fail "CUPS no longer prints"
# rastertohp begins every job with the printer reset, ESC E.
[ "$(head -c 2 "$stream" | od -An -tx1 | tr -d ' ')" = 1b45 ] || fail "CUPS sent no PCL job"
echo "a PDF printed through CUPS's own PCL driver: $(stat -c %s "$stream") bytes"
lpadmin -x "$queue"
queues=()

[ -n "$app_deb" ] || fail "the $app package was not built: the printer application is missing"
step "Packages: passed in $(($(date +%s) - started)) s"
