#!/usr/bin/env bash
# The 32-bit Windows DLL: cross-build in build-win32, then under Wine (throw-away prefix, no
# debug output): the Windows test host against the simulator's libusb0.dll, and the comparison
# of the DLL's float output for the fixed scene with the Linux build's (built in build/ by the
# main test run). Bounded in time; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$PWD

for tool in i686-w64-mingw32-g++-posix wine; do
  command -v "$tool" >/dev/null || { echo "windows: $tool missing (run scripts/setup.sh)"; exit 1; }
done

export WINEDEBUG=-all
export WINEPREFIX
WINEPREFIX="$(mktemp -d /tmp/zalvo-wine.XXXXXX)"
work="$(mktemp -d /tmp/zalvo-win-out.XXXXXX)"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT

echo "-- cross-build (build-win32)"
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_BUILD_BENCH=OFF -DZALVO_WERROR=ON >/dev/null
timeout 1200 cmake --build build-win32 -j "$(nproc)" --target ZalvoIntf zalvo_win_host

echo "-- import table of ZalvoIntf.dll"
imports=$(i686-w64-mingw32-objdump -p build-win32/host/ZalvoIntf.dll | awk '/DLL Name:/ {print tolower($3)}' | sort)
echo "$imports" | sed 's/^/   /'
bad=$(echo "$imports" | grep -vxE 'kernel32\.dll|msvcrt\.dll|bcrypt\.dll|advapi32\.dll|user32\.dll|libusb0\.dll|api-ms-win-.*' || true)
if [ -n "$bad" ] || ! echo "$imports" | grep -qx 'libusb0.dll'; then
  echo "windows: FAILED: unexpected imports: ${bad:-libusb0.dll missing}"
  exit 1
fi

echo "-- Windows test host under Wine"
status=0
(cd build-win32/tests/windows && timeout 480 wine zalvo_win_host.exe) || status=$?
if [ "$status" -ne 0 ]; then
  echo "windows: FAILED: test host exit status $status"
  exit 1
fi

echo "-- float output of the fixed scene: Windows against Linux"
(cd build-win32/tests/windows && timeout 240 wine zalvo_win_host.exe --capture "Z:${work//\//\\}\\windows.bin")
if [ ! -x build/tests/windows/windows_output_compare_test ]; then
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j "$(nproc)" --target windows_output_compare_test
fi
ZALVO_WINDOWS_CAPTURE="$work/windows.bin" timeout 240 \
  build/tests/windows/windows_output_compare_test --gtest_brief=1
echo "windows: all passed"
