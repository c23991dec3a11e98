"""What the Python clients of the SoapySDR module share: the simulated board's built-in scene,
the checks and their summary line, the carrier measurement and a reader of four channels.

The simulator's built-in scene has a carrier at 3.573 MHz, keyed in Morse (on at the start), and a
steady one at 3.5475 MHz; channel 1 tuned to 3.56 MHz shows them at +13 kHz and -12.5 kHz.
"""
import sys

import numpy as np
import SoapySDR

RATES = (48000.0, 96000.0, 192000.0)
TUNED = 3.56e6
KEYED = 3.573e6  # +13 kHz in channel 1
STEADY = 3.5475e6  # -12.5 kHz in channel 1
HAS_TIME = SoapySDR.SOAPY_SDR_HAS_TIME
results = {"passed": 0, "failed": 0}


def check(ok, what):
    results["passed" if ok else "failed"] += 1
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    return ok


def ddc_offset(carrier, tuned):
    """Offset of a carrier in a channel tuned to `tuned`, with the board's 32-bit DDC word."""
    step = 64e6 / 2**32
    return carrier - round(tuned / step) * step


def frames(x, rate):
    """Power spectra (dBFS, Hann window, 23.4 Hz bins) of consecutive frames of x."""
    n = int(rate / 23.4375)
    w = np.hanning(n)
    count = len(x) // n
    f = np.fft.fftshift(np.fft.fft(x[: count * n].reshape(count, n) * w, axis=1), axes=1)
    p = np.abs(f) ** 2 / np.sum(w) ** 2
    return np.fft.fftshift(np.fft.fftfreq(n, 1.0 / rate)), p


def carrier_level(x, rate, offset):
    """Peak bin near `offset` (Hz) and the level there (dBFS): the carrier's power summed over
    its window's main lobe, taken in the frame where it is strongest (the carrier is keyed)."""
    freqs, p = frames(x, rate)
    near = np.abs(freqs - offset) < 500
    idx = np.flatnonzero(near)
    best = idx[np.argmax(p[:, idx].max(axis=0))]
    lobe = p[:, best - 2 : best + 3].sum(axis=1)
    return freqs[best], freqs[1] - freqs[0], 10 * np.log10(lobe.max())


def finish(main):
    """Runs main() and prints the summary line; exits 1 when a check failed."""
    try:
        main()
    except Exception as e:  # a failure outside the checks still ends in the summary line
        check(False, "unexpected %s: %s" % (type(e).__name__, e))
    print("%d passed, %d failed" % (results["passed"], results["failed"]))
    sys.exit(1 if results["failed"] else 0)


class Reader:
    """Reads a stream of all four channels, checking that the time stamps go on unbroken.
    Buffers are CF32, or CS16 (pairs of 16-bit I and Q, full scale 32768) with cs16=True."""

    def __init__(self, sdr, stream, mtu, cs16=False):
        self.sdr, self.stream, self.mtu, self.cs16 = sdr, stream, mtu, cs16
        if cs16:
            self.bufs = [np.zeros(2 * mtu, np.int16) for _ in range(4)]
        else:
            self.bufs = [np.zeros(mtu, np.complex64) for _ in range(4)]
        self.next_ns = None
        self.breaks = []

    def channel(self, c, count):
        """The first `count` samples of channel c's buffer as complex values."""
        b = self.bufs[c]
        if self.cs16:
            return (b[0 : 2 * count : 2] + 1j * b[1 : 2 * count : 2]) / 32768.0
        return b[:count].copy()

    def read(self, timeout_us=1000000):
        r = self.sdr.readStream(self.stream, self.bufs, self.mtu, timeoutUs=timeout_us)
        if r.ret > 0:
            if not r.flags & HAS_TIME:
                self.breaks.append("no time")
            if self.next_ns is not None and abs(r.timeNs - self.next_ns) > 1:
                self.breaks.append((self.next_ns, r.timeNs))
        return r

    def samples(self, count, rate):
        """`count` samples of each channel and their times (s); errors end the read."""
        out, times, got = [[] for _ in range(4)], [], 0
        while got < count:
            r = self.read()
            if r.ret <= 0:
                raise RuntimeError("readStream returned %d" % r.ret)
            for c in range(4):
                out[c].append(self.channel(c, r.ret))
            times.append(r.timeNs * 1e-9 + np.arange(r.ret) / rate)
            self.next_ns = r.timeNs + round(r.ret * 1e9 / rate)
            got += r.ret
        return [np.concatenate(o) for o in out], np.concatenate(times)
