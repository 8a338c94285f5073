#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Starts the installed printer application the way its systemd service does
# (systemd is not PID 1 here): the unit's user, group and supplementary
# groups, environment, working folder, umask, runtime folder and ExecStart,
# read from the installed unit file. Two things differ, so that the test
# stays on this machine: the server listens on 127.0.0.1 only and on a free
# port instead of 8000. Then it adds a printer with the socket listener as
# its device, prints the sample PDF two-sided and checks the stream, checks
# the state and spool folders, and shuts the server down (also on failure).
#
#   run-app-as-service.sh UNIT-FILE WORK-DIR LISTENER-PORT LISTENER-DIR
set -euo pipefail
cd "$(dirname "$0")/../.."
unit=$1 work=$2 printer_port=$3 printer_dir=$4
mkdir -p "$work"

fail() {
  echo "run-app-as-service: FAIL: $*" >&2
  exit 1
}

# The last value of a [Service] setting (systemd: a later line overrides).
setting() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
# Every value of a setting that adds up (Environment=).
settings() { sed -n "s/^$1=//p" "$unit"; }

user=$(setting User)
group=$(setting Group)
supplementary=$(setting SupplementaryGroups)
workdir=$(setting WorkingDirectory)
umask_value=$(setting UMask)
runtime=$(setting RuntimeDirectory)
runtime_mode=$(setting RuntimeDirectoryMode)
state=$(setting StateDirectory)
read -r -a exec_start <<<"$(setting ExecStart)"
read -r -a environment <<<"$(settings Environment | tr '\n' ' ')"
[ -n "$user" ] && [ -n "$group" ] && [ ${#exec_start[@]} -gt 1 ] || fail "$unit lacks User, Group or ExecStart"
getent passwd "$user" >/dev/null || fail "the package did not create the user $user"
echo "user $user, group $group, supplementary groups $supplementary, umask $umask_value"
echo "environment: ${environment[*]}"

# The folders the package made: the service's own, closed to everyone else.
for dir in "/var/lib/$state" $(setting ReadWritePaths); do
  [ "$(stat -c '%U %G %a' "$dir")" = "$user $group 700" ] ||
    fail "$dir is $(stat -c '%U %G %a' "$dir"), not $user $group 700"
done
spool=$(setting ReadWritePaths)

# What systemd does before ExecStart: the runtime folder, owned by the user.
run_dir=/run/$runtime
install -d -o "$user" -g "$group" -m "$runtime_mode" "$run_dir"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The unit's EnvironmentFile (a leading "-": it may be missing), whose
# variables ExecStart names as $NAME, split into words as systemd does.
env_file=$(setting EnvironmentFile)
env_file=${env_file#-}
[ -f "$env_file" ] || fail "the package did not install $env_file"
args=()
for a in "${exec_start[@]}"; do
  case $a in
    server-port=*) args+=("server-port=$port") ;;
    \$*)
      read -r -a words <<<"$(sh -c '. "$1"; eval "printf %s \"\$$2\""' sh "$env_file" "${a#\$}")"
      args+=("${words[@]}") ;;
    *) args+=("$a") ;;
  esac
done
args+=(-o listen-hostname=127.0.0.1)
program=${exec_start[0]}
echo "ExecStart: ${exec_start[*]}"
echo "here:      ${args[*]}"

gids=$(for g in $group ${supplementary//,/ }; do getent group "$g" | cut -d: -f3; done | paste -sd, -)
# The command that runs what follows it the service's way (each step execs
# the next, so a server started with it keeps the process id).
service_env=(setpriv --reuid="$user" --regid="$group" --groups="$gids" --inh-caps=-all
  --no-new-privs env -i "${environment[@]}" sh -c 'umask "$1"; cd "$2"; shift 2; exec "$@"' sh
  "$umask_value" "$workdir")
as_service() { "${service_env[@]}" "$@"; }

server_pid=''
stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    as_service "$program" shutdown >/dev/null 2>&1 || true
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.2; done
    # systemd's way to stop it when asked nicely did not work.
    kill -TERM "$server_pid" 2>/dev/null && sleep 1
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=''
  # systemd removes the runtime folder when the service stops.
  rm -rf "$run_dir"
}
trap 'status=$?; stop_server; [ $status = 0 ] || tail -n 30 "$work/app.log" >&2; exit $status' EXIT

"${service_env[@]}" "${args[@]}" > "$work/app.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  (echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || fail "the server exited: $(tail -n 5 "$work/app.log")"
  sleep 0.2
done
(echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null || fail "the server does not listen on 127.0.0.1:$port"
# Real and effective user and group, and the supplementary groups.
uid=$(id -u "$user")
gid=$(getent group "$group" | cut -d: -f3)
grep -q "^Uid:[[:space:]]*$uid[[:space:]]*$uid[[:space:]]" "/proc/$server_pid/status" || fail "the server does not run as $user"
grep -q "^Gid:[[:space:]]*$gid[[:space:]]*$gid[[:space:]]" "/proc/$server_pid/status" || fail "the server does not run as group $group"
[ "$(sed -n 's/^Groups:[[:space:]]*//p' "/proc/$server_pid/status" | tr ' ' '\n' | sed '/^$/d' | sort -n | paste -sd,)" = \
  "$(tr ',' '\n' <<<"$gids" | sort -n | paste -sd,)" ] || fail "the server's supplementary groups are not $group $supplementary"
echo "server $server_pid on 127.0.0.1:$port as $user ($uid), groups $gids"

as_service "$program" add -d office -m tnml20 -v "socket://127.0.0.1:$printer_port" ||
  fail "adding a printer"
as_service "$program" printers | tee "$work/printers.txt"
grep -qx 'office' "$work/printers.txt" || fail "the printer is not listed"

jobs_before=$(ls "$printer_dir"/job-*.prn 2>/dev/null | wc -l)
as_service "$program" submit -d office -o sides=two-sided-long-edge -o print-darkness=100 \
  -o media-type=cardstock "$PWD/samples/sample.pdf" ||
  fail "submitting the sample"
stream=$printer_dir/job-$((jobs_before + 1)).prn
for _ in $(seq 600); do [ -f "$stream" ] && break; sleep 0.2; done
[ -f "$stream" ] || fail "nothing reached the printer"
/usr/bin/tarnwel-decode "$stream" | tee "$work/decoded.txt"
grep -qx 'Duplex: long edge (DuplexNoTumble)' "$work/decoded.txt" || fail "not two-sided"
grep -qx 'Density: Dark (code 0)' "$work/decoded.txt" || fail "not the darkest density"
grep -qx 'Paper weight: VeryHeavy (code 0)' "$work/decoded.txt" || fail "not card stock"
grep -qx 'Pages in stream order: 4' "$work/decoded.txt" || fail "not the sample's three pages and a blank"

if setpriv --reuid=nobody --regid=nogroup --clear-groups ls "$spool" >/dev/null 2>&1; then
  fail "another user can list $spool"
fi
stop_server
# The printers' state in the state folder (written at the latest when the
# server stops), the user's alone.
ls -la "/var/lib/$state" "$spool"
state_file=$(find "/var/lib/$state" -maxdepth 1 -name '*.state' | head -n 1)
[ -n "$state_file" ] || fail "no state file in /var/lib/$state"
[ "$(stat -c '%U %a' "$state_file")" = "$user 600" ] || fail "$state_file is $(stat -c '%U %a' "$state_file")"
grep -q office "$state_file" || fail "the printer is not in $state_file"
echo "the printer application printed and shut down"
