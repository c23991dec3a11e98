#!/usr/bin/env bash
# The module over Debian's libusb 0.1 on an emulated usbfs bus (umockdev): a bounded timing run
# that reports how the module's bulk layer keeps up with a board streaming 8 MB/s into an 8 KiB
# device FIFO (spells with no URB pending, instants the board dropped, overruns the module saw). The usbfs tests themselves run under ctest with the others; this stage only
# reports figures and fails if the stack does not stream at all. A one-minute run:
#   build/tests/umockdev/usbfs_timing 60 8192 0
set -euo pipefail
cd "$(dirname "$0")/../.."

exe=build/tests/umockdev/usbfs_timing
if [ ! -x "$exe" ]; then
  echo "umockdev stage: $exe was not built (is libumockdev-dev installed?)"
  exit 1
fi
if timeout 120 "$exe" 20 8192 0 | grep -v '^O*$'; then
  echo "umockdev stage: streamed through the real library; figures above"
else
  echo "umockdev stage: FAILED (no stream through the real library)"
  exit 1
fi
