# SPDX-License-Identifier: Apache-2.0
# Sourced by the scripts that run the printer application on this machine:
# the server as the unprivileged user nobody on 127.0.0.1, in a folder of its
# own with copies of the programs and PPDs it uses (so nobody can reach them
# wherever the checkout lives), always shut down by app_server_stop.
#
#   app_server_start BUILD_DIR    sets app_work, app_port, app_pid
#   as_app_server ARGS...         runs tarnwel-printer-app as the server's user
#   app_server_stop [LOG_COPY]    shuts it down and removes its folder

app_work=
app_port=
app_pid=

app_server_cmd=()

as_app_server() { "${app_server_cmd[@]}" "$@"; }

app_server_start() {
  local build=$1
  app_work=$(mktemp -d /tmp/tarnwel-app.XXXXXX)
  chmod 755 "$app_work"
  mkdir -p "$app_work"/{home,tmp,spool,device,bin,ppd,documents}
  install -m 755 "$build/app/tarnwel-printer-app" "$build/filter/rastertotarnwel" "$app_work/bin/"
  install -m 644 "$build"/ppd/ppd/*.ppd "$app_work/ppd/"
  chown -R nobody:nogroup "$app_work"
  app_server_cmd=(setpriv --reuid=nobody --regid=nogroup --clear-groups env -i
    HOME="$app_work/home" XDG_CONFIG_HOME="$app_work/home" TMPDIR="$app_work/tmp"
    PATH=/usr/bin:/bin TARNWEL_FILTER="$app_work/bin/rastertotarnwel"
    TARNWEL_PPD_DIR="$app_work/ppd" "$app_work/bin/tarnwel-printer-app")
  app_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  # Started as a plain command, so that app_pid is the server itself (setpriv
  # and env exec it), not a subshell.
  "${app_server_cmd[@]}" server -o listen-hostname=127.0.0.1 -o server-port="$app_port" \
    -o spool-directory="$app_work/spool" -o log-file="$app_work/server.log" -o log-level=info \
    -o server-options=no-tls -o file-device-directory="$app_work/device" &
  app_pid=$!
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$app_port") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "The printer application did not start; see $app_work/server.log" >&2
  return 1
}

app_server_stop() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    as_app_server shutdown >/dev/null 2>&1 || true
    # PAPPL 1.3.1 acts on the request when a connection wakes it up.
    for _ in $(seq 1 40); do
      kill -0 "$app_pid" 2>/dev/null || break
      (exec 3<>"/dev/tcp/127.0.0.1/$app_port") 2>/dev/null || true
      sleep 0.25
    done
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  if [ -n "${1:-}" ]; then cp "$app_work/server.log" "$1" 2>/dev/null || true; fi
  [ -n "$app_work" ] && rm -rf "$app_work"
  app_pid=
}
