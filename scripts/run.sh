#!/usr/bin/env bash
# The main job: builds the module and the capture tool, then records the four receivers for five
# seconds of signal into out/: rx0.wav .. rx3.wav (I/Q as 32-bit float stereo) and rx0.png ..
# rx3.png (spectrum and waterfall of each receiver).
# With no USRP on USB it records from the simulated board (the simulator's built-in scene: CW
# carriers, some keyed in Morse, over a noise floor), with the build's placeholder firmware and
# FPGA images. Extra arguments go to the tool (see build/tools/zalvo_capture --help), for example
# --duration 10 --rate 96000 --retune 2.5:1:3573000.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what this job needs; ./scripts/test.sh installs the rest.
./scripts/setup.sh base capture

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target zalvo_capture

# out/ belongs to this job: each run replaces the previous one's files there. A folder named with
# -o/--out is the user's own, where the tool refuses to replace files without --overwrite.
extra=(--overwrite)
for a in "$@"; do
  case "$a" in -o|--out|--out=*|-o?*) extra=() ;; esac
done

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
  exec ./build/tools/zalvo_capture capture "${extra[@]}" "$@"
fi

echo "run: no USRP on USB; recording from the simulated board"
exec ./build/tools/zalvo_capture simulate "${extra[@]}" "$@"
