#!/usr/bin/env bash
# The main job: builds the module and a small host program, then loads the module as a host
# does, prints GetSdrInfo and streams for a few seconds, printing each receiver's level.
# With no USRP on USB it runs on the simulated board (the simulator's USB library preloaded in
# place of the real one, with the placeholder firmware and FPGA images of the build).
# Extra arguments go to the program: --seconds N, --rate 0|1|2 (48, 96, 192 kHz).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target ZalvoIntf zalvo_host_demo zalvo_images usbsim_shared

board_attached() {
  local d
  for d in /sys/bus/usb/devices/*; do
    if [ -r "$d/idVendor" ] && [ "$(cat "$d/idVendor")" = "fffe" ] &&
      [ "$(cat "$d/idProduct" 2>/dev/null)" = "0002" ]; then
      return 0
    fi
  done
  return 1
}

if board_attached; then
  echo "run: USRP found on USB"
  exec ./build/tools/zalvo_host_demo --seconds 3 "$@"
fi

echo "run: no USRP on USB; running on the simulated board"
export USRP_PATH="${USRP_PATH:-$PWD/build/images}"
LD_PRELOAD="$PWD/build/sim/libusbsim.so" exec ./build/tools/zalvo_host_demo --seconds 3 "$@"
