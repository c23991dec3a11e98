#!/usr/bin/env bash
# The SoapySDR module "zalvo" through clients nobody here wrote, on the simulated board:
# SoapySDR's utility (--info, --find, --probe, refusals, a 15 s --rate run judged by what it
# prints), a GUI's order of calls (enumerate everything, then open sim=1), and a Python client
# (tests/soapy/soapy_client_test.py, Debian's /usr/bin/python3 with the binding), on one board
# and on two (tests/soapy/two_boards.scene).
# Needs the build tree of scripts/test.sh (build/, with libsoapysdr-dev installed).
set -euo pipefail
cd "$(dirname "$0")/../.."

modules=build/soapy/modules
if [ ! -f "$modules/libzalvoSupport.so" ]; then
  echo "soapy stage: $modules/libzalvoSupport.so was not built (is libsoapysdr-dev installed?)"
  exit 1
fi
export SOAPY_SDR_PLUGIN_PATH=$PWD/$modules
unset ZALVO_SOAPY_SIM
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT
passed=0
failed=0
ok() { echo "ok    $1"; passed=$((passed + 1)); }
fail() { echo "FAIL  $1"; failed=$((failed + 1)); }

SoapySDRUtil --info >"$log/info" 2>&1 || true
if grep -q "Module found: $SOAPY_SDR_PLUGIN_PATH/libzalvoSupport.so" "$log/info" &&
  grep -Eq "Available factories\.\.\..*\bzalvo\b" "$log/info"; then
  ok "--info lists the module and its factory"
else
  fail "--info lists the module and its factory"; cat "$log/info"
fi

status=0
SoapySDRUtil --find="driver=zalvo,sim=1" >"$log/find" 2>&1 || status=$?
if [ "$status" -eq 0 ] && [ "$(grep -c '^Found device' "$log/find")" -eq 1 ] &&
  grep -q "driver = zalvo" "$log/find" && grep -q "serial = sim-0" "$log/find" &&
  grep -q "sim = 1" "$log/find" && ! grep -Eq "(bus|device|address) = " "$log/find"; then
  ok "--find with sim=1: exactly one device, its serial and sim=1, without bus addresses"
else
  fail "--find with sim=1 (status $status)"; cat "$log/find"
fi
# No board: the real bus of a machine without one (the simulator's empty world stands in when
# a board is plugged in here).
empty=$log/empty.scene
printf 'bus\n' >"$empty"
status=0
USBSIM_SCENE=$empty SoapySDRUtil --find="driver=zalvo,sim=1" >"$log/none" 2>&1 || status=$?
if [ "$status" -ne 0 ] && grep -q "No devices found" "$log/none" && ! grep -q '^Found device' "$log/none"; then
  ok "--find with no board finds none (status $status)"
else
  fail "--find with no board (status $status)"; cat "$log/none"
fi
status=0
USBSIM_SCENE=$empty SoapySDRUtil --make="driver=zalvo,sim=1" >"$log/make" 2>&1 || status=$?
if [ "$status" -ne 0 ] && grep -q "no USRP (vendor 0xfffe, product 0x0002) on the simulated bus" "$log/make"; then
  ok "--make with no board fails naming the cause"
else
  fail "--make with no board (status $status)"; cat "$log/make"
fi
# The real bus of this machine (no board here: none, or no USB buses at all in a container): the
# cause goes to SoapySDR's log at error level and names sim=1.
if ! SoapySDRUtil --find="driver=zalvo" 2>&1 | grep -q '^Found device'; then
  status=0
  SoapySDRUtil --make="driver=zalvo" >"$log/real" 2>&1 || status=$?
  if [ "$status" -ne 0 ] && grep -q '\[ERROR\] zalvo: no .*sim=1' "$log/real"; then
    ok "--make on the real bus without a board: the cause on the log, naming sim=1"
  else
    fail "--make on the real bus without a board (status $status)"; cat "$log/real"
  fi
fi
status=0
USRP_PATH=$log/nowhere SoapySDRUtil --make="driver=zalvo,sim=1" >"$log/noimages" 2>&1 || status=$?
if [ "$status" -ne 0 ] && grep -q "Can't find firmware: std.ihx" "$log/noimages" &&
  grep -q "USRP_PATH is now \"$log/nowhere\"" "$log/noimages"; then
  ok "--make with images missing fails naming the cause"
else
  fail "--make with images missing (status $status)"; cat "$log/noimages"
fi

# Arguments that cannot be honoured are refused by name, and logged once (the factory runs a
# find with the same arguments before the make).
for args in "index=1" "index=banana" "sim=banana" "sim=" "serial=nowhere" "reconnect=maybe" \
  "buffers=2"; do
  case $args in
    index=1) want="zalvo: no board index=1 on the simulated bus" ;;
    serial=nowhere) want="zalvo: no board with serial nowhere" ;;
    *) want="zalvo: $args (" ;;
  esac
  case $args in sim*) device="driver=zalvo,$args" ;; *) device="driver=zalvo,sim=1,$args" ;; esac
  status=0
  SoapySDRUtil --make="$device" >"$log/refused" 2>&1 || status=$?
  if [ "$status" -ne 0 ] && grep -qF "$want" "$log/refused" &&
    [ "$(grep -cF "[ERROR] $want" "$log/refused")" -eq 1 ]; then
    ok "--make $args refused by name, logged once"
  else
    fail "--make $args (status $status)"; cat "$log/refused"
  fi
done

# Two boards on one bus: two devices, two serials.
status=0
USBSIM_SCENE=tests/soapy/two_boards.scene SoapySDRUtil --find="driver=zalvo,sim=1" >"$log/two" 2>&1 ||
  status=$?
if [ "$status" -eq 0 ] && [ "$(grep -c '^Found device' "$log/two")" -eq 2 ] &&
  grep -q "serial = ZS-A" "$log/two" && grep -q "serial = sim-1" "$log/two"; then
  ok "--find with two boards: two devices, serials ZS-A and sim-1"
else
  fail "--find with two boards (status $status)"; cat "$log/two"
fi

# A GUI's order: every factory enumerated without arguments (the real bus, which has no board
# here), then the simulated board opened and streamed, as CubicSDR sends it (an empty antenna
# name first); once as usual and once with every symbol bound at load.
cat >"$log/gui.py" <<'PY'
import numpy as np
import SoapySDR
from SoapySDR import SOAPY_SDR_CF32, SOAPY_SDR_RX
SoapySDR.Device.enumerate()
sdr = SoapySDR.Device("driver=zalvo,sim=1")
sdr.setAntenna(SOAPY_SDR_RX, 0, "")
sdr.setGainMode(SOAPY_SDR_RX, 0, True)
sdr.setGain(SOAPY_SDR_RX, 0, 30.0)
sdr.setSampleRate(SOAPY_SDR_RX, 0, 96000)
sdr.setFrequency(SOAPY_SDR_RX, 0, 3.56e6)
stream = sdr.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, [0])
sdr.activateStream(stream)
buf = np.zeros(1024, np.complex64)
got = 0
for _ in range(100):
    r = sdr.readStream(stream, [buf], 1024, timeoutUs=1000000)
    got += max(r.ret, 0)
sdr.closeStream(stream)
print("streamed", got)
PY
for bind in lazy now; do
  status=0
  if [ "$bind" = now ]; then
    LD_BIND_NOW=1 /usr/bin/python3 "$log/gui.py" >"$log/gui" 2>&1 || status=$?
  else
    /usr/bin/python3 "$log/gui.py" >"$log/gui" 2>&1 || status=$?
  fi
  if [ "$status" -eq 0 ] && grep -q "^streamed 102400$" "$log/gui" &&
    [ "$(grep -c 'antenna "" taken as RX' "$log/gui")" -eq 1 ]; then
    ok "enumerate everything, then sim=1 streams (binding $bind)"
  else
    fail "enumerate everything, then sim=1 (binding $bind, status $status)"; tail -5 "$log/gui"
  fi
done

SoapySDRUtil --probe="driver=zalvo,sim=1" >"$log/probe" 2>&1 || true
channels=$(grep -c '^-- RX Channel' "$log/probe" || true)
if grep -q "Channels: 4 Rx, 0 Tx" "$log/probe" && [ "$channels" -eq 4 ] &&
  [ "$(grep -c 'Stream formats: CF32, CS16' "$log/probe")" -eq 4 ] &&
  [ "$(grep -c 'Sample rates: 0.048, 0.096, 0.192 MSps' "$log/probe")" -eq 4 ] &&
  [ "$(grep -c 'RF freq range: \[0, 32\] MHz' "$log/probe")" -eq 4 ] &&
  grep -q "rx_a_dboard=Basic Rx" "$log/probe" && grep -q "firmware_loaded=yes" "$log/probe" &&
  grep -q "Timestamps: YES" "$log/probe"; then
  ok "--probe: 4 RX channels, CF32, three rates, the RF range, the board report, time stamps"
else
  fail "--probe"; cat "$log/probe"
fi

# 15 s at 192 kHz on all four channels. The utility ends on the signal (its status says
# nothing); its last rate figure and any overflow tell: its "Overflows" count or the module's
# "O" marks (the only capital O the utility prints once the stream loop runs).
timeout -s INT 15 SoapySDRUtil --args="driver=zalvo,sim=1" --rate=192000 --channels=0,1,2,3 \
  --direction=RX >"$log/rate" 2>&1 || true
rate=$(tr '\r' '\n' <"$log/rate" | grep -Eo '[0-9.]+ Msps' | tail -1 | cut -d' ' -f1)
if [ -n "$rate" ] && awk -v r="$rate" 'BEGIN { exit !(r >= 0.192 * 0.98 && r <= 0.192 * 1.02) }' &&
  ! sed -n '/Starting stream loop/,$p' "$log/rate" | grep -q 'O'; then
  ok "--rate 192000, 4 channels, 15 s: $rate Msps, no overflow"
else
  fail "--rate 192000, 4 channels (last figure: ${rate:-none})"; tr '\r' '\n' <"$log/rate" | tail -5
fi

SoapySDRUtil --probe="driver=zalvo,sim=1,buffers=8" >"$log/probe8" 2>&1 || true
if grep -q "key=buffers, units=blocks, default=8," "$log/probe8"; then
  ok "buffers as a device argument"
else
  fail "buffers as a device argument"; grep -i buffers "$log/probe8"
fi

# In any host's process: what we ship takes no symbol from an unrelated library and gives it none.
# libhamlib (a rig-control library many SDR programs link) exports MD5Init/MD5Update/MD5Final
# without versions, as a system MD5 library does; an MD5 of ours imported under those names would
# run hamlib's code on a context too small for it. Each shared object exports only its entry
# points and imports no MD5 names, and each brings up a cold simulated board with libhamlib
# preloaded.
hamlib=libhamlib.so.4
if ! /sbin/ldconfig -p | grep -F "$hamlib" >/dev/null; then
  fail "$hamlib is not installed (scripts/packages/soapy.txt)"
else
  sim_lib=build/sim/libusbsim.so
  plugins=(build/tools/libzalvo_capture_sim.so build/tools/libzalvo_capture_board.so)
  exports() { nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' '; }
  for lib in build/host/libZalvoIntf.so "$modules/libzalvoSupport.so" "${plugins[@]}" "$sim_lib"; do
    md5=$(nm -D --undefined-only "$lib" | awk '{print $2}' | grep -iE 'md5|sha[0-9]' | tr '\n' ' ' || true)
    [ -z "$md5" ] && ok "$(basename "$lib") imports no MD5 names" ||
      fail "$(basename "$lib") imports $md5"
  done
  got=$(exports build/host/libZalvoIntf.so)
  [ "$got" = "GetSdrInfo ReadPort SetCtrlBits SetRxFrequency StartRx StopRx " ] &&
    ok "libZalvoIntf.so exports the six functions only" || fail "libZalvoIntf.so exports $got"
  got=$(exports "$modules/libzalvoSupport.so")
  [ -z "$got" ] && ok "libzalvoSupport.so exports nothing" || fail "libzalvoSupport.so exports $got"
  for lib in "${plugins[@]}"; do
    got=$(exports "$lib" | tr ' ' '\n' | grep -v '^zalvo_capture_' | tr '\n' ' ' || true)
    [ -z "${got// /}" ] && ok "$(basename "$lib") exports its zalvo_capture_* entry points only" ||
      fail "$(basename "$lib") also exports $got"
  done
  # The simulator stands in for libusb: its USB calls and its own API (usbsim::), nothing else.
  got=$(nm -D --defined-only -C "$sim_lib" | cut -c20- | grep -vE '^usb_[a-z_]+$|^usbsim::' | tr '\n' ';' || true)
  [ -z "$got" ] && ok "libusbsim.so exports the USB calls and usbsim:: only" ||
    fail "libusbsim.so also exports $got"

  LD_PRELOAD=$hamlib SoapySDRUtil --probe="driver=zalvo,sim=1" >"$log/hamlib-probe" 2>&1 || true
  if grep -q "firmware_loaded=yes" "$log/hamlib-probe" && grep -q "fpga_loaded=yes" "$log/hamlib-probe" &&
    grep -q "Channels: 4 Rx" "$log/hamlib-probe"; then
    ok "with $hamlib preloaded: --probe brings up a cold simulated board"
  else
    fail "with $hamlib preloaded: --probe"; grep -iE 'error|fail' "$log/hamlib-probe" | head -5
  fi
  status=0
  LD_PRELOAD=$hamlib timeout 120 build/tools/zalvo_capture simulate -d 1 -q -o "$log/hamlib-capture" \
    >"$log/hamlib-capture.txt" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && [ -s "$log/hamlib-capture/rx3.wav" ]; then
    ok "with $hamlib preloaded: zalvo_capture simulate -d 1 (the module on the simulator)"
  else
    fail "with $hamlib preloaded: zalvo_capture simulate -d 1 (status $status)"
    tail -5 "$log/hamlib-capture.txt"
  fi
  LD_PRELOAD=$hamlib timeout 60 build/tools/zalvo_capture info --simulate >"$log/hamlib-info" 2>&1 || true
  digest=$(md5sum build/images/rev4/std_4rx_0tx.rbf | cut -d' ' -f1)
  if grep -q "file $digest, board" "$log/hamlib-info"; then
    ok "with $hamlib preloaded: info --simulate (board report) gives the bitstream's digest"
  else
    fail "with $hamlib preloaded: info --simulate (want $digest)"; cat "$log/hamlib-info"
  fi
fi

if /usr/bin/python3 tests/soapy/soapy_client_test.py build; then
  ok "the Python client"
else
  fail "the Python client"
fi
# The board unplugged while streaming and back (tests/soapy/unplug.scene): the client's checks,
# and on SoapySDR's log one warning for the absence and one line for the return.
if USBSIM_SCENE=tests/soapy/unplug.scene /usr/bin/python3 tests/soapy/soapy_client_test.py \
  build unplug 2>"$log/unplug"; then
  ok "the Python client with the board unplugged and back"
else
  fail "the Python client with the board unplugged and back"
fi
if [ "$(grep -c 'the board left the USB bus; reads time out until it is back' "$log/unplug")" -eq 1 ] &&
  [ "$(grep -c 'the board is back after' "$log/unplug")" -eq 1 ]; then
  ok "one warning on the log for the absence, one line for the return"
else
  fail "the log of the absence"; grep -i zalvo "$log/unplug" | head -5
fi
if USBSIM_SCENE=tests/soapy/two_boards.scene /usr/bin/python3 tests/soapy/soapy_client_test.py \
  build two-boards; then
  ok "the Python client with two boards at once"
else
  fail "the Python client with two boards at once"
fi

echo "soapy stage: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
