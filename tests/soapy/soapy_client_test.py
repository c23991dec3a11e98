#!/usr/bin/python3
"""The SoapySDR module "zalvo" as a Python client sees it, on the simulated board.

Usage: soapy_client_test.py BUILD_DIR [two-boards]
SOAPY_SDR_PLUGIN_PATH must name the folder of the built module. The simulator's built-in scene
has a carrier at 3.573 MHz, keyed in Morse (on at the start), and a steady one at 3.5475 MHz;
channel 1 tuned to 3.56 MHz shows them at +13 kHz and -12.5 kHz. The level at +13 kHz is compared
with what the capture tool records from the same scene at the same rate. With two-boards,
USBSIM_SCENE names tests/soapy/two_boards.scene: two boards, each with a carrier of its own, open
at once; with unplug, tests/soapy/unplug.scene: the board leaves the bus while streaming and
comes back.
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import SoapySDR
from SoapySDR import SOAPY_SDR_CF32, SOAPY_SDR_CS16, SOAPY_SDR_RX

from soapy_helpers import (HAS_TIME, KEYED, RATES, STEADY, TUNED, Reader, carrier_level, check,
                           ddc_offset, finish)

BUILD = sys.argv[1]


def capture_tool_level(rate):
    """Level at +13 kHz in receiver 1 of a zalvo_capture simulate recording."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "rec")
        subprocess.run(
            [os.path.join(BUILD, "tools/zalvo_capture"), "simulate", "--rate", str(int(rate)),
             "--duration", "2", "--format", "sigmf", "-o", out],
            check=True, stdout=subprocess.DEVNULL)
        x = np.fromfile(os.path.join(out, "rx1.sigmf-data"), dtype=np.complex64)
    return carrier_level(x, rate, ddc_offset(KEYED, TUNED))[2]


def tone_phase(x, t, offset):
    """Phase (turns) of the tone at `offset` Hz in x at absolute times t."""
    return np.angle(np.mean(x * np.exp(-2j * np.pi * offset * t))) / (2 * np.pi)


def main():
    # The capture tool's levels first: a reader busy elsewhere would overflow the stream.
    references = {rate: capture_tool_level(rate) for rate in RATES}
    sdr = SoapySDR.Device("driver=zalvo,sim=1")
    check(sdr.getNumChannels(SOAPY_SDR_RX) == 4, "four RX channels")
    sdr.setSampleRate(SOAPY_SDR_RX, 0, RATES[0])
    check(all(sdr.getSampleRate(SOAPY_SDR_RX, c) == RATES[0] for c in range(4)),
          "one channel's rate sets all four")
    try:
        sdr.setSampleRate(SOAPY_SDR_RX, 0, 250000.0)
        check(False, "rate 250000 refused")
    except Exception as e:
        check("48000, 96000 or 192000" in str(e), "rate 250000 refused: %s" % e)
    for c in range(4):
        sdr.setFrequency(SOAPY_SDR_RX, c, [3.52e6, TUNED, 3.6e6, 3.64e6][c])

    # Each rate in turn on one active stream: the change restarts the module, keeps the
    # frequencies, and the carrier shows at its offset at the capture tool's level.
    stream = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, [0, 1, 2, 3])
    reader = Reader(sdr, stream, 2048)
    check(sdr.activateStream(stream) == 0, "stream activated")
    for rate in RATES:
        started = time.monotonic()
        sdr.setSampleRate(SOAPY_SDR_RX, 1, rate)
        mtu = sdr.getStreamMTU(stream)
        first = reader.read()
        delay = time.monotonic() - started
        if rate != RATES[0]:
            check(first.ret > 0 and delay <= 0.5,
                  "rate %d while active: samples again after %.3f s" % (rate, delay))
        check(mtu == rate / 93.75, "MTU one module block at %d: %d" % (rate, mtu))
        reader.next_ns = first.timeNs + round(first.ret * 1e9 / rate)
        x, t = reader.samples(int(2 * rate), rate)
        peak, binw, level = carrier_level(x[1], rate, ddc_offset(KEYED, TUNED))
        check(abs(peak - 13000) <= binw, "%d: carrier at %+.0f Hz in channel 1" % (rate, peak))
        reference = references[rate]
        check(abs(level - reference) <= 0.5,
              "%d: level %.2f dBFS, capture tool %.2f dBFS" % (rate, level, reference))
    check(not reader.breaks, "time stamps continuous across blocks and rate changes: %s"
          % reader.breaks[:3])

    # Retune while streaming: channel 2 moves onto the keyed carrier; channel 0 stays.
    sdr.setFrequency(SOAPY_SDR_RX, 2, TUNED)
    reader.samples(int(0.2 * RATES[2]), RATES[2])  # what the ring held before the retune
    x, _ = reader.samples(int(1.5 * RATES[2]), RATES[2])
    peak2, binw, level2 = carrier_level(x[2], RATES[2], ddc_offset(KEYED, TUNED))
    _, _, level0 = carrier_level(x[0], RATES[2], ddc_offset(KEYED, TUNED))
    check(abs(peak2 - 13000) <= binw and level2 > level0 + 40,
          "retuned channel 2 shows the carrier at %+.0f Hz (%.1f dBFS; channel 0 %.1f dBFS)"
          % (peak2, level2, level0))

    # A reader that stops for 1.5 s: the ring keeps what it can, then OVERFLOW once, then a
    # time jump of exactly the lost samples (the steady carrier's phase agrees across it).
    rate = RATES[0]
    sdr.setSampleRate(SOAPY_SDR_RX, 0, rate)
    reader.read()
    offset = ddc_offset(STEADY, TUNED)
    x, t = reader.samples(int(0.5 * rate), rate)
    before = tone_phase(x[1][-4800:], t[-4800:], offset)
    time.sleep(1.5)
    codes, r = [], None
    while True:
        r = reader.read()
        codes.append(r.ret)
        if r.ret <= 0:
            break
        reader.next_ns = r.timeNs + round(r.ret * 1e9 / rate)
    check(r.ret == SoapySDR.SOAPY_SDR_OVERFLOW, "stopped reader gets OVERFLOW (%d reads first)"
          % (len(codes) - 1))
    reader.breaks = []
    expected_ns = reader.next_ns
    r = reader.read()
    jump = round((r.timeNs - expected_ns) * rate / 1e9)
    check(r.ret > 0 and len(reader.breaks) == 1 and jump % 512 == 0 and 1.0 * rate < jump + 64 *
          512 < 2.0 * rate, "then data, %d samples later in time (%d blocks)" % (jump, jump // 512))
    reader.next_ns = r.timeNs + round(r.ret * 1e9 / rate)
    x, t = reader.samples(int(0.3 * rate), rate)
    after = tone_phase(x[1][:4800], t[:4800], offset)
    drift = abs((after - before + 0.5) % 1.0 - 0.5)
    check(drift < 0.05, "the steady carrier's phase agrees across the jump (%.3f turns off)"
          % drift)

    # Inactive: a read waits out its time-out; then 20 activate/deactivate cycles deliver.
    sdr.deactivateStream(stream)
    started = time.monotonic()
    r = sdr.readStream(stream, reader.bufs, 512, timeoutUs=300000)
    waited = time.monotonic() - started
    check(r.ret == SoapySDR.SOAPY_SDR_TIMEOUT and waited >= 0.29,
          "inactive read: %d after %.3f s" % (r.ret, waited))
    delivered = 0
    for _ in range(20):
        sdr.activateStream(stream)
        r = sdr.readStream(stream, reader.bufs, 512, timeoutUs=2000000)
        delivered += r.ret > 0 and bool(r.flags & HAS_TIME)
        sdr.deactivateStream(stream)
    check(delivered == 20, "20 activate/deactivate cycles, %d delivered" % delivered)
    sdr.closeStream(stream)

    # CS16, one channel: the same carrier at the same level, full scale 32768.
    stream = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, [1])
    sdr.activateStream(stream)
    buf = np.zeros(2 * 512, np.int16)
    parts = []
    while sum(len(p) for p in parts) < 2 * rate:
        r = sdr.readStream(stream, [buf], 512, timeoutUs=1000000)
        if r.ret <= 0:
            break
        parts.append((buf[0 : 2 * r.ret : 2] + 1j * buf[1 : 2 * r.ret : 2]) / 32768.0)
    sdr.closeStream(stream)
    x = np.concatenate(parts) if parts else np.zeros(1)
    _, _, level16 = carrier_level(x, rate, ddc_offset(KEYED, TUNED)) if len(x) > rate else (0, 0, -999)
    reference = references[rate]
    check(abs(level16 - reference) <= 0.5, "CS16 level %.2f dBFS, capture tool %.2f dBFS"
          % (level16, reference))


def unplugged():
    """The board leaves the bus while streaming and comes back cold: reads time out while it is
    away, then one OVERFLOW, the time stamps jump by what the absence cost (within one block),
    and the carrier shows where channel 1 was tuned while the board was away."""
    rate, block = 96000.0, 1024
    sdr = SoapySDR.Device("driver=zalvo,sim=1")
    sdr.setSampleRate(SOAPY_SDR_RX, 0, rate)
    sdr.setFrequency(SOAPY_SDR_RX, 1, TUNED)
    stream = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, [0, 1, 2, 3])
    reader = Reader(sdr, stream, block)
    sdr.activateStream(stream)
    retuned = 3.55e6
    end_ns = last_data = None
    timeouts = overflows = errors = 0
    first = None
    started = time.monotonic()
    while time.monotonic() - started < 20:
        r = reader.read(100000)
        if r.ret > 0:
            if timeouts:
                first = r
                break
            end_ns, last_data = r.timeNs + round(r.ret * 1e9 / rate), time.monotonic()
            reader.next_ns = end_ns
        elif r.ret == SoapySDR.SOAPY_SDR_TIMEOUT:
            if last_data is None:
                continue  # before the first samples
            if not timeouts:
                sdr.setFrequency(SOAPY_SDR_RX, 1, retuned)  # while away
            timeouts += 1
        elif r.ret == SoapySDR.SOAPY_SDR_OVERFLOW and timeouts:
            overflows += 1
        else:
            errors += 1
    away = time.monotonic() - last_data if last_data else 0
    check(first is not None and timeouts >= 10 and errors == 0,
          "board away: %d reads timed out, %d other errors, then samples again after %.2f s"
          % (timeouts, errors, away))
    if first is None:
        return
    check(overflows == 1, "one OVERFLOW after the return (%d)" % overflows)
    jump = (first.timeNs - end_ns) * rate / 1e9
    expected = away * rate - block
    check(abs(jump - expected) <= block, "time stamps jump %.0f samples, %.0f expected from the "
          "absence (%.2f s)" % (jump, expected, away))
    reader.next_ns = first.timeNs + round(first.ret * 1e9 / rate)
    x, _ = reader.samples(int(0.5 * rate), rate)
    offset = ddc_offset(STEADY, retuned)
    peak, binw, level = carrier_level(x[1], rate, offset)
    _, _, old = carrier_level(x[1], rate, ddc_offset(STEADY, TUNED))
    check(abs(peak - offset) <= binw and level > old + 30,
          "channel 1 after the return: the carrier at %+.0f Hz (%.1f dBFS; %.1f dBFS where it was "
          "before the retune)" % (peak, level, old))
    sdr.closeStream(stream)


def two_boards():
    """Two boards streaming four channels each at 192 kHz at once, read in turn by one thread:
    no loss on either, each board's carrier where its scene puts it; one board unmade while the
    other streams leaves the other streaming."""
    rate, tuned, carriers = 192000.0, 3.55e6, (3.52e6, 3.58e6)
    found = SoapySDR.Device.enumerate("driver=zalvo,sim=1")
    serials = [f["serial"] for f in found]
    check(len(found) == 2 and serials[0] != serials[1], "find lists two boards: %s" % serials)
    if len(found) != 2:
        return
    boards = []
    for f in found:
        sdr = SoapySDR.Device(f)
        sdr.setSampleRate(SOAPY_SDR_RX, 0, rate)
        for c in range(4):
            sdr.setFrequency(SOAPY_SDR_RX, c, tuned)
        stream = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, [0, 1, 2, 3])
        boards.append((sdr, stream, Reader(sdr, stream, 2048)))
    for sdr, stream, _ in boards:
        sdr.activateStream(stream)

    def stream_for(seconds, which):
        codes = {i: [] for i in which}
        kept = {i: [] for i in which}
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for i in which:
                reader = boards[i][2]
                r = reader.read(200000)
                codes[i].append(r.ret)
                if r.ret > 0:
                    reader.next_ns = r.timeNs + round(r.ret * 1e9 / rate)
                    kept[i].append(reader.bufs[0][: r.ret].copy())
        return codes, {i: np.concatenate(kept[i][-50:]) for i in which if kept[i]}

    codes, x = stream_for(4.0, (0, 1))
    for i in (0, 1):
        errors = [c for c in codes[i] if c <= 0]
        got = sum(c for c in codes[i] if c > 0)
        check(not errors and not boards[i][2].breaks and got > 3 * rate,
              "board %s: %.1f s of four channels at 192 kHz, no loss (%s)"
              % (serials[i], got / rate, errors[:3]))
        own = ddc_offset(carriers[i], tuned)
        other = ddc_offset(carriers[1 - i], tuned)
        peak, binw, level = carrier_level(x[i], rate, own)
        _, _, level_other = carrier_level(x[i], rate, other)
        check(abs(peak - own) <= binw and level > level_other + 30,
              "board %s: its carrier at %+.0f Hz (%.1f dBFS; the other's %.1f dBFS)"
              % (serials[i], peak, level, level_other))

    sdr, stream, _ = boards[0]
    sdr.deactivateStream(stream)
    sdr.closeStream(stream)
    sdr.close()  # unmakes it
    codes, _ = stream_for(1.5, (1,))
    errors = [c for c in codes[1] if c <= 0]
    check(not errors and sum(c for c in codes[1] if c > 0) > rate,
          "board %s streams on after board %s was unmade (%s)" % (serials[1], serials[0],
                                                                  errors[:3]))
    sdr, stream, _ = boards[1]
    sdr.closeStream(stream)


if __name__ == "__main__":
    mode = sys.argv[2] if len(sys.argv) > 2 else ""
    finish({"two-boards": two_boards, "unplug": unplugged}.get(mode, main))
