# Sourced by scripts/test.d/56-soapy-remote.sh and bench/soapy_remote.sh: SoapyRemote's server
# serving the build tree's SoapySDR module on the loopback, inside a network namespace of its
# own (nothing of it reaches another machine: the server's discovery and the mDNS daemon see
# only the loopback).
#
#   remote_enter_netns SCRIPT ARGS...  runs the script SCRIPT (a full path) again with bash in a
#                                  new network namespace with the loopback up (root only), and
#                                  returns there
#   remote_start PORT LOGDIR       starts the system message bus and avahi-daemon when none runs
#                                  (the server exits without an mDNS daemon), then
#                                  SoapySDRServer --bind=127.0.0.1:PORT; sets remote_server to
#                                  its process id; returns non-zero when something did not start
#   remote_stop                    stops what remote_start started, by process id, last first
#
# The caller exports SOAPY_SDR_PLUGIN_PATH (the build tree's module folder).

remote_started=()
remote_server=

remote_enter_netns() {
  if [ -z "${ZALVO_REMOTE_NETNS:-}" ]; then
    export ZALVO_REMOTE_NETNS=1
    exec unshare --net -- bash "$@"
  fi
  ip link set lo up
}

# Waits up to $2 tenths of a second for the command $1 to succeed.
remote_wait_for() {
  local i
  for ((i = 0; i < $2; i++)); do
    eval "$1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

remote_start() {
  local port=$1 log=$2
  local bus="dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId"
  if ! eval "$bus" >/dev/null 2>&1; then
    mkdir -p /run/dbus
    dbus-daemon --system --nofork --nopidfile >"$log/dbus" 2>&1 &
    remote_started+=($!)
    remote_wait_for "$bus" 50 || { cat "$log/dbus"; echo "the system message bus did not start"; return 1; }
  fi
  if ! avahi-daemon --check 2>/dev/null; then
    # The loopback only, announcing nothing of this machine.
    cat >"$log/avahi.conf" <<'CONF'
[server]
allow-interfaces=lo
use-ipv6=no
[publish]
publish-addresses=no
publish-hinfo=no
publish-workstation=no
[wide-area]
enable-wide-area=no
CONF
    avahi-daemon --no-drop-root --no-chroot -f "$log/avahi.conf" >"$log/avahi" 2>&1 &
    remote_started+=($!)
    remote_wait_for "avahi-daemon --check" 50 || { cat "$log/avahi"; echo "avahi-daemon did not start"; return 1; }
  fi
  SoapySDRServer --bind="127.0.0.1:$port" >"$log/server" 2>&1 &
  remote_server=$!
  remote_started+=("$remote_server")
  remote_wait_for "grep -q 'Press Ctrl+C to stop the server' '$log/server'" 100 ||
    { cat "$log/server"; echo "SoapySDRServer did not start"; return 1; }
}

remote_stop() {
  local i
  for ((i = ${#remote_started[@]} - 1; i >= 0; i--)); do
    kill "${remote_started[i]}" 2>/dev/null || true
    wait "${remote_started[i]}" 2>/dev/null || true
  done
  remote_started=()
}
