#!/usr/bin/env bash
# Figures for BENCHMARKS.md (not a test): what the SoapySDR module "zalvo" costs on top of the
# receiver module's own callback path, and how long its start and end take, on the simulated
# board (the simulator's default world: real-time pacing, the built-in scene).
#
#   CPU: user + system seconds per second of signal, four channels at 192 kHz, of
#     - zalvo_host_demo: the module loaded by path with a callback that only sums levels
#       (the module's own callback path, nothing else);
#     - SoapySDRUtil --rate: the same stream through the SoapySDR module to SoapySDR's utility.
#   Each is run for a short and a long signal time; the difference of their CPU over the
#   difference of the times is the steady cost, free of start-up (SoapySDR's make designs the
#   filters of all three rates, a capture only the one it uses).
#   Times: make, activate to first sample, a rate change to the next sample, closeStream and
#   unmake, from a Python client.
#   Boards: CPU per board with one and with two simulated boards streaming four channels at
#   192 kHz each into one Python process (tests/soapy/two_boards.scene; each board on its own
#   reader thread), the simulator's board model included.
#
# usage: bench/soapy_cpu.sh [short long]   (seconds, default 10 30); needs build/ (scripts/test.sh
# or cmake --build build --target zalvoSupport zalvo_host_demo usbsim_shared zalvo_images)
set -euo pipefail
cd "$(dirname "$0")/.."
short=${1:-10}
long=${2:-30}
build=build
export SOAPY_SDR_PLUGIN_PATH=$PWD/$build/soapy/modules
unset ZALVO_SOAPY_SIM USBSIM_SCENE

# user+system CPU seconds of a command and its children (bash's time), its output discarded.
cpu() {
  local TIMEFORMAT='%U %S' out
  out=$( { time "$@" >/dev/null 2>&1; } 2>&1 | tail -1) || true
  awk '{ printf "%.2f", $1 + $2 }' <<<"$out"
}
demo() {
  USRP_PATH=$PWD/$build/images LD_PRELOAD=$PWD/$build/sim/libusbsim.so \
    "$build/tools/zalvo_host_demo" --rate 2 --seconds "$1"
}
soapy() {
  timeout -s INT "$1" SoapySDRUtil --args="driver=zalvo,sim=1" --rate=192000 \
    --channels=0,1,2,3 --direction=RX
}
export -f demo soapy
export build

echo "CPU, 4 channels at 192 kHz (user+sys seconds; $short s and $long s of signal)"
d1=$(cpu bash -c "demo $short"); d2=$(cpu bash -c "demo $long")
s1=$(cpu bash -c "soapy $short"); s2=$(cpu bash -c "soapy $long")
awk -v d1="$d1" -v d2="$d2" -v s1="$s1" -v s2="$s2" -v a="$short" -v b="$long" 'BEGIN {
  d = (d2 - d1) / (b - a); s = (s2 - s1) / (b - a)
  printf "  module callback (zalvo_host_demo): %s s, %s s -> %.3f CPU s per signal s\n", d1, d2, d
  printf "  through SoapySDR (SoapySDRUtil):   %s s, %s s -> %.3f CPU s per signal s\n", s1, s2, s
  printf "  ratio SoapySDR / callback: %.3f\n", s / d
}'

echo "Times (Python client, seconds)"
/usr/bin/python3 - <<'PY'
import time, numpy as np, SoapySDR
from SoapySDR import SOAPY_SDR_RX, SOAPY_SDR_CF32
def t(): return time.monotonic()
a = t(); sdr = SoapySDR.Device("driver=zalvo,sim=1"); make = t() - a
sdr.setSampleRate(SOAPY_SDR_RX, 0, 192000.0)
st = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, [0, 1, 2, 3])
bufs = [np.zeros(2048, np.complex64) for _ in range(4)]
a = t(); sdr.activateStream(st); sdr.readStream(st, bufs, 2048, timeoutUs=2000000); first = t() - a
for _ in range(100): sdr.readStream(st, bufs, 2048, timeoutUs=2000000)
a = t(); sdr.setSampleRate(SOAPY_SDR_RX, 0, 48000.0); sdr.readStream(st, bufs, 512, timeoutUs=2000000); change = t() - a
a = t(); sdr.closeStream(st); close = t() - a
st = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, [0, 1, 2, 3]); sdr.activateStream(st)
sdr.readStream(st, bufs, 512, timeoutUs=2000000)
a = t(); sdr.close(); unmake = t() - a
print("  make %.3f, activate to first sample %.3f, rate change to next sample %.3f, "
      "closeStream (active) %.3f, unmake (stream active) %.3f" % (make, first, change, close, unmake))
PY

# One Python process reading BOARDS boards for SECONDS, each on its own thread.
boards() {
  USBSIM_SCENE=tests/soapy/two_boards.scene /usr/bin/python3 - "$1" "$2" <<'PY'
import sys, threading, time, numpy as np, SoapySDR
from SoapySDR import SOAPY_SDR_RX, SOAPY_SDR_CF32
count, seconds = int(sys.argv[1]), float(sys.argv[2])
found = SoapySDR.Device.enumerate("driver=zalvo,sim=1")[:count]
def run(args, losses):
    sdr = SoapySDR.Device(args)
    sdr.setSampleRate(SOAPY_SDR_RX, 0, 192000.0)
    st = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, [0, 1, 2, 3])
    bufs = [np.zeros(2048, np.complex64) for _ in range(4)]
    sdr.activateStream(st)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        r = sdr.readStream(st, bufs, 2048, timeoutUs=500000)
        losses[0] += r.ret <= 0
    sdr.closeStream(st)
losses = [[0] for _ in found]
threads = [threading.Thread(target=run, args=(f, l)) for f, l in zip(found, losses)]
for t in threads: t.start()
for t in threads: t.join()
print("losses", [l[0] for l in losses], file=sys.stderr)
PY
}
export -f boards
echo "CPU per board, 4 channels at 192 kHz each, one Python reader thread per board"
for n in 1 2; do
  b1=$(cpu bash -c "boards $n $short"); b2=$(cpu bash -c "boards $n $long")
  awk -v n="$n" -v b1="$b1" -v b2="$b2" -v a="$short" -v b="$long" 'BEGIN {
    printf "  %d board(s): %s s, %s s -> %.3f CPU s per signal s per board\n", n, b1, b2,
      (b2 - b1) / (b - a) / n }'
done
