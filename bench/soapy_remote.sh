#!/usr/bin/env bash
# Figures for BENCHMARKS.md (not a test): the SoapySDR module served over the network by
# SoapyRemote's server (SoapySDRServer), on the loopback of a network namespace of its own
# (scripts/lib/soapy_remote_server.sh), the simulated board's default world.
#
# For each rate (48, 96, 192 kHz) and each format on the wire (remote:format CF32 and CS16, the
# client reading the same format), one client streams all four channels for a time and reports,
# over the steady part of the stream (after its first second):
#   - the server's CPU: user + system time of the server process (/proc/PID/stat) per second
#     (the module and the simulated board included), and the client's own;
#   - the bytes per second on the loopback (/proc/net/dev: everything the namespace sent, the
#     stream's datagrams with their headers and the control connection);
#   - the payload the client received per second, and what four channels of that format need;
#   - samples a channel per second, error codes from readStream (an OVERFLOW would show here),
#     breaks in the time stamps;
#   - for comparison, the CPU of a local client process reading the same stream from its own
#     simulated board (driver=zalvo,sim=1: module, board and reader in one process), measured
#     right after, in the same run.
#
# usage: bench/soapy_remote.sh [seconds]   (default 10; needs root for the namespace, build/ with
# the SoapySDR module, and the packages of scripts/packages/soapy.txt)
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$0")/.."
seconds=${1:-10}
. scripts/lib/soapy_remote_server.sh
remote_enter_netns "$self" "$@"

export SOAPY_SDR_PLUGIN_PATH=$PWD/build/soapy/modules
unset ZALVO_SOAPY_SIM USBSIM_SCENE USRP_PATH
port=55133
log=$(mktemp -d)
trap 'remote_stop; rm -rf "$log"' EXIT
remote_start "$port" "$log"

echo "Four channels through SoapySDRServer on the loopback, $seconds s each (steady part after 1 s)"
/usr/bin/python3 - "$port" "$remote_server" "$seconds" <<'PY'
import os, sys, time
import numpy as np
import SoapySDR
from SoapySDR import SOAPY_SDR_RX

port, server, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
args = ("driver=remote,remote=tcp://127.0.0.1:%s,remote:driver=zalvo,remote:timeout=3000000,"
        "sim=1" % port)
tick = os.sysconf("SC_CLK_TCK")
width = {"CF32": 8, "CS16": 4}


def server_cpu():
    fields = open("/proc/%d/stat" % server).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick


def loopback_bytes():
    for line in open("/proc/net/dev"):
        name, _, rest = line.partition(":")
        if name.strip() == "lo":
            return int(rest.split()[8])  # transmitted bytes
    return 0


def run(sdr, rate, fmt, remote):
    """Streams four channels; returns the figures of the steady part."""
    sdr.setSampleRate(SOAPY_SDR_RX, 0, rate)
    st = sdr.setupStream(SOAPY_SDR_RX, fmt, [0, 1, 2, 3], {"remote:format": fmt} if remote else {})
    mtu = 4096
    dtype = np.complex64 if fmt == "CF32" else np.int16
    bufs = [np.zeros(mtu * (1 if fmt == "CF32" else 2), dtype) for _ in range(4)]
    sdr.activateStream(st)
    codes, breaks, got, next_ns, mark = {}, 0, 0, None, None
    start = time.monotonic()

    def sample():
        return (time.monotonic(), server_cpu() if remote else 0.0, time.process_time(),
                loopback_bytes(), got)

    while True:
        now = time.monotonic()
        if mark is None and now - start >= 1.0:
            mark = sample()
        if now - start >= 1.0 + seconds:
            break
        r = sdr.readStream(st, bufs, mtu, timeoutUs=1000000)
        if r.ret <= 0:
            codes[r.ret] = codes.get(r.ret, 0) + 1
            continue
        if next_ns is not None and abs(r.timeNs - next_ns) > 1:
            breaks += 1
        next_ns = r.timeNs + round(r.ret * 1e9 / rate)
        got += r.ret
    end = sample()
    sdr.deactivateStream(st)
    sdr.closeStream(st)
    t = end[0] - mark[0]
    return {"server": 100 * (end[1] - mark[1]) / t, "client": 100 * (end[2] - mark[2]) / t,
            "net": (end[3] - mark[3]) / t, "samples": (end[4] - mark[4]) / t,
            "codes": codes or "none", "breaks": breaks}


print("| rate | wire | server CPU (% of a core) | client CPU | loopback bytes/s "
      "| payload bytes/s (needed) | samples/s a channel | error codes | time breaks "
      "| local client CPU |")
print("|---:|---|---:|---:|---:|---:|---:|---|---:|---:|")
remote_sdr = SoapySDR.Device(args)
local_sdr = SoapySDR.Device("driver=zalvo,sim=1")
for rate in (48000.0, 96000.0, 192000.0):
    for fmt in ("CF32", "CS16"):
        f = run(remote_sdr, rate, fmt, True)
        local = run(local_sdr, rate, fmt, False)
        print("| %d kHz | %s | %.1f | %.1f | %.0f | %.0f (%.0f) | %.0f | %s | %d | %.1f |" % (
            rate / 1000, fmt, f["server"], f["client"], f["net"],
            f["samples"] * 4 * width[fmt], rate * 4 * width[fmt], f["samples"], f["codes"],
            f["breaks"], local["client"]), flush=True)
remote_sdr.close()
local_sdr.close()
PY
