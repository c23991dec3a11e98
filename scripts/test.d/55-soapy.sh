#!/usr/bin/env bash
# The SoapySDR module "zalvo" through clients nobody here wrote, on the simulated board:
# SoapySDR's utility (--info, --find, --probe, a 15 s --rate run judged by what it prints) and a
# Python client (tests/soapy/soapy_client_test.py, Debian's /usr/bin/python3 with the binding).
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

# The module is bound lazily: with -z now the simulator's USB calls could not take over.
if readelf -d "$modules/libzalvoSupport.so" | grep -Eq 'BIND_NOW|FLAGS_1.*NOW'; then
  fail "the module is linked with bind-now"
else
  ok "the module is bound lazily"
fi

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
  grep -q "driver = zalvo" "$log/find" && ! grep -Eq "(bus|device|address) = " "$log/find"; then
  ok "--find with sim=1: exactly one device, without bus addresses"
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
if [ "$status" -ne 0 ] && grep -q "no USRP (vendor 0xfffe, product 0x0002) on the USB buses" "$log/make"; then
  ok "--make with no board fails naming the cause"
else
  fail "--make with no board (status $status)"; cat "$log/make"
fi
status=0
USRP_PATH=$log/nowhere SoapySDRUtil --make="driver=zalvo,sim=1" >"$log/noimages" 2>&1 || status=$?
if [ "$status" -ne 0 ] && grep -q "Can't find firmware: std.ihx" "$log/noimages" &&
  grep -q "USRP_PATH is now \"$log/nowhere\"" "$log/noimages"; then
  ok "--make with images missing fails naming the cause"
else
  fail "--make with images missing (status $status)"; cat "$log/noimages"
fi

# The first find or make decides the bus of the process: sim=1 after the real bus is refused.
status=0
/usr/bin/python3 - >"$log/late-sim" 2>&1 <<'PY' || status=$?
import SoapySDR
SoapySDR.Device.enumerate("driver=zalvo")
try:
    SoapySDR.Device("driver=zalvo,sim=1")
except RuntimeError as e:
    print("refused:", e)
PY
if [ "$status" -eq 0 ] && grep -q "refused: zalvo: sim=1 after this process already used the real USB bus" "$log/late-sim"; then
  ok "sim=1 after the real bus was used is refused with a clear error"
else
  fail "sim=1 after the real bus (status $status)"; cat "$log/late-sim"
fi

SoapySDRUtil --probe="driver=zalvo,sim=1" >"$log/probe" 2>&1 || true
channels=$(grep -c '^-- RX Channel' "$log/probe" || true)
if grep -q "Channels: 4 Rx, 0 Tx" "$log/probe" && [ "$channels" -eq 4 ] &&
  [ "$(grep -c 'Stream formats: CF32, CS16' "$log/probe")" -eq 4 ] &&
  [ "$(grep -c 'Sample rates: 0.048, 0.096, 0.192 MSps' "$log/probe")" -eq 4 ] &&
  [ "$(grep -c 'RF freq range: \[0, 32\] MHz' "$log/probe")" -eq 4 ] &&
  grep -q "rx_a_dboard=Basic Rx" "$log/probe" && grep -q "firmware_loaded=yes" "$log/probe"; then
  ok "--probe: 4 RX channels, CF32, three rates, the RF range, the board report"
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

echo "soapy stage: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
