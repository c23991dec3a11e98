#!/usr/bin/python3
"""The SoapySDR module "zalvo" served by SoapyRemote's server, as a client on the loopback sees it.

Usage: soapy_remote_test.py PORT first|again
The server (SoapySDRServer --bind=127.0.0.1:PORT) runs the module; SOAPY_SDR_PLUGIN_PATH names
the built module here too, for the local reference.
  first  the steady carrier's level from the local simulated board, then through the server: one
         device found, all four channels at 192 kHz in CS16 on the wire for 20 s, every sample
         there (no error code, time stamps unbroken, as many samples as the time allows), the
         carrier at the local level; the client then closes everything and leaves.
  again  a later client: finds the device, streams 2 s, and leaves without closing anything.
"""
import os
import sys
import time

import numpy as np
import SoapySDR
from SoapySDR import SOAPY_SDR_CS16, SOAPY_SDR_RX

from soapy_helpers import STEADY, TUNED, Reader, carrier_level, check, ddc_offset, finish, results

PORT = sys.argv[1]
MODE = sys.argv[2]
# remote:timeout: the find waits up to 3 s for the server (its default of a fraction of a second
# is short for a busy machine).
REMOTE = "driver=remote,remote=tcp://127.0.0.1:%s,remote:driver=zalvo,remote:timeout=3000000,sim=1" % PORT
RATE = 192000.0
FREQS = [3.52e6, TUNED, 3.6e6, 3.64e6]


def open_stream(sdr, stream_args=None):
    sdr.setSampleRate(SOAPY_SDR_RX, 0, RATE)
    for c in range(4):
        sdr.setFrequency(SOAPY_SDR_RX, c, FREQS[c])
    stream = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, [0, 1, 2, 3], stream_args or {})
    reader = Reader(sdr, stream, 2048, cs16=True)
    sdr.activateStream(stream)
    return stream, reader


def steady_level(x):
    return carrier_level(x, RATE, ddc_offset(STEADY, TUNED))[2]


def local_reference():
    """The steady carrier's level in channel 1 as a local client reads it (CS16, 192 kHz)."""
    sdr = SoapySDR.Device("driver=zalvo,sim=1")
    stream, reader = open_stream(sdr)
    reader.samples(int(0.5 * RATE), RATE)  # the start
    x, _ = reader.samples(int(2 * RATE), RATE)
    sdr.deactivateStream(stream)
    sdr.closeStream(stream)
    sdr.close()
    return steady_level(x[1])


def find_remote():
    found = SoapySDR.Device.enumerate(REMOTE)
    check(len(found) == 1 and found[0]["driver"] == "remote" and
          found[0]["remote:driver"] == "zalvo",
          "the server lists one device: %s" % [dict(f) for f in found])
    if not found:
        raise RuntimeError("no device through the server")
    args = dict(found[0])
    args["sim"] = "1"  # the server process uses the simulated board only
    return SoapySDR.Device(args)


def first():
    reference = local_reference()
    sdr = find_remote()
    check(sdr.getNumChannels(SOAPY_SDR_RX) == 4, "four RX channels through the server")
    stream, reader = open_stream(sdr, {"remote:format": "CS16"})
    # Counted from the end of the first read: the stream is running by then.
    r = reader.read(3000000)
    if r.ret <= 0:
        raise RuntimeError("first read through the server: %d" % r.ret)
    reader.next_ns = r.timeNs + round(r.ret * 1e9 / RATE)
    started = time.monotonic()
    got, codes, tail, kept = 0, {}, [], 0
    while time.monotonic() - started < 20.0:
        r = reader.read()
        if r.ret <= 0:
            codes[r.ret] = codes.get(r.ret, 0) + 1
            continue
        got += r.ret
        reader.next_ns = r.timeNs + round(r.ret * 1e9 / RATE)
        tail.append(reader.channel(1, r.ret))  # channel 1's last 2 s
        kept += r.ret
        while kept - len(tail[0]) >= 2 * RATE:
            kept -= len(tail.pop(0))
    elapsed = time.monotonic() - started
    check(not codes, "20 s of four channels at 192 kHz: no error codes (%s)" % codes)
    check(not reader.breaks, "time stamps unbroken: %s" % reader.breaks[:3])
    # Real time, give or take what the ring and the socket buffers hold at either end (a
    # stream slower than the board by 5 % or more falls outside).
    check(RATE * (elapsed - 1.0) <= got <= RATE * (elapsed + 1.0),
          "%d samples a channel in %.2f s (%.0f per second)" % (got, elapsed, got / elapsed))
    x = np.concatenate(tail) if tail else np.zeros(1)
    level = steady_level(x) if len(x) >= RATE else -999.0
    check(abs(level - reference) <= 0.5, "steady carrier %.2f dBFS through the server, %.2f dBFS"
          " locally" % (level, reference))
    sdr.deactivateStream(stream)
    sdr.closeStream(stream)
    sdr.close()


def again():
    sdr = find_remote()
    stream, reader = open_stream(sdr, {"remote:format": "CS16"})
    x, _ = reader.samples(int(2 * RATE), RATE)
    check(len(x[1]) >= 2 * RATE and not reader.breaks, "a later client streams 2 s, unbroken")


if __name__ == "__main__":
    if MODE == "again":
        # Leaves as a crashing client does: nothing closed, the connection dropped.
        try:
            again()
        except Exception as e:
            check(False, "unexpected %s: %s" % (type(e).__name__, e))
        print("%d passed, %d failed" % (results["passed"], results["failed"]), flush=True)
        os._exit(1 if results["failed"] else 0)
    finish(first)
