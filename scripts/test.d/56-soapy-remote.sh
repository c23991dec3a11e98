#!/usr/bin/env bash
# The SoapySDR module "zalvo" over the network: SoapyRemote's server (SoapySDRServer, package
# soapyremote-server) serves the simulated board, and clients reach it through SoapyRemote's
# client module (soapysdr0.8-module-remote) at tcp://127.0.0.1:PORT.
#   tests/soapy/soapy_remote_test.py first: four channels at 192 kHz, CS16 on the wire, 20 s,
#     every sample and the local carrier level; then a second client that leaves without
#     closing; then the server still answers a find.
# Everything runs in a network namespace of its own with only the loopback up: the server's
# discovery and the mDNS daemon reach no other machine. The server exits without an mDNS
# daemon, so the stage starts a system message bus and avahi-daemon when none runs, and stops
# exactly what it started, by process id (scripts/lib/soapy_remote_server.sh).
# Needs root (the namespace; the daemons), the build tree of scripts/test.sh (build/) and the
# packages of scripts/packages/soapy.txt.
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$0")/../.."

modules=build/soapy/modules
if [ ! -f "$modules/libzalvoSupport.so" ]; then
  echo "soapy remote stage: $modules/libzalvoSupport.so was not built (is libsoapysdr-dev installed?)"
  exit 1
fi
. scripts/lib/soapy_remote_server.sh
remote_enter_netns "$self" "$@"

export SOAPY_SDR_PLUGIN_PATH=$PWD/$modules
unset ZALVO_SOAPY_SIM USBSIM_SCENE USRP_PATH
port=55132
remote="driver=remote,remote=tcp://127.0.0.1:$port,remote:driver=zalvo,remote:timeout=3000000,sim=1"
log=$(mktemp -d)
trap 'remote_stop; rm -rf "$log"' EXIT
passed=0
failed=0
ok() { echo "ok    $1"; passed=$((passed + 1)); }
fail() { echo "FAIL  $1"; failed=$((failed + 1)); }

if remote_start "$port" "$log"; then
  ok "the server is up on 127.0.0.1:$port"
else
  fail "the server did not come up"
  echo "soapy remote stage: $passed passed, $failed failed"
  exit 1
fi
server=$remote_server

if /usr/bin/python3 tests/soapy/soapy_remote_test.py "$port" first; then
  ok "a client through the server"
else
  fail "a client through the server"
fi
if /usr/bin/python3 tests/soapy/soapy_remote_test.py "$port" again; then
  ok "a second client through the server, which leaves without closing"
else
  fail "a second client through the server"
fi
status=0
timeout 60 SoapySDRUtil --find="$remote" >"$log/find" 2>&1 || status=$?
if kill -0 "$server" 2>/dev/null && [ "$status" -eq 0 ] &&
  [ "$(grep -c '^Found device' "$log/find")" -eq 1 ]; then
  ok "the server survived both clients and still lists the board"
else
  fail "the server after the clients (status $status)"; cat "$log/find"; tail -20 "$log/server"
fi

echo "soapy remote stage: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
