#!/usr/bin/env bash
# The 32-bit Windows DLL: cross-build in build-win32, then under Wine (throw-away prefix, no
# debug output): the Windows test host against the simulator's libusb0.dll, and the comparison
# of the DLL's float output for the fixed scene with the Linux build's (built in build/ by the
# main test run), and the capture tool (zalvo_capture.exe): "info" on the simulated bus, and
# short WAV and SigMF recordings on the simulated board, which must equal, bit for bit, the Linux
# tool's for the same scene (WAV: the whole files, the own writer's against libsndfile's); then
# the ZIP's files, put in place by its install rules, as a Windows user meets them: real-board
# commands started in simulator\ refuse the simulated board, a scene file with a byte order mark,
# capitals, an output folder ending in a backslash, /?, version resources, --version without the
# DLL. Bounded in time; exits non-zero on any failure.
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
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_BUILD_BENCH=OFF -DZALVO_TEST_HOOKS=ON \
  -DZALVO_WERROR=ON >/dev/null
timeout 1200 cmake --build build-win32 -j "$(nproc)" --target ZalvoIntf zalvo_win_host zalvo_capture

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

echo "-- float output of the fixed scene: Windows against Linux, at 48, 96 and 192 kHz"
if [ ! -x build/tests/windows/windows_output_compare_test ]; then
  cmake -S . -B build -G Ninja -DZALVO_TEST_HOOKS=ON -DZALVO_WERROR=ON >/dev/null
  cmake --build build -j "$(nproc)" --target windows_output_compare_test
fi
for rate in 0 1 2; do
  (cd build-win32/tests/windows &&
    timeout 240 wine zalvo_win_host.exe --capture "Z:${work//\//\\}\\windows$rate.bin" $rate)
  filter='*'
  [ "$rate" = 0 ] || filter='*MatchesTheWindowsBuild'
  ZALVO_WINDOWS_CAPTURE="$work/windows$rate.bin" timeout 240 \
    build/tests/windows/windows_output_compare_test --gtest_brief=1 --gtest_filter="$filter"
done

echo "-- capture tool: info on the simulated bus"
cap=build-win32/capture
(cd "$cap" && timeout 120 wine zalvo_capture.exe info --simulate) >"$work/info.txt" 2>"$work/info.err" || {
  cat "$work/info.txt" "$work/info.err"; echo "windows: FAILED: zalvo_capture.exe info"; exit 1; }
sed 's/^/   /' "$work/info.txt"
grep -q '^board 0: .*revision 4' "$work/info.txt" && grep -q 'firmware .*rev4.std\.ihx' "$work/info.txt" ||
  { echo "windows: FAILED: info does not report the simulated revision-4 board and its images"; exit 1; }

echo "-- capture tool: WAV and SigMF recordings, Windows against Linux"
# A free-running board: nothing is dropped however slowly either program reads.
cat >"$work/scene.txt" <<'SCENE'
noise -90
seed 7
carrier 3.521M -40 input=0
carrier 3.6005M -55 input=0
board cold bcd=0x0004 pacing=free_running eeprom1=0x0001 eeprom3=0x0001
SCENE
# The default format is WAV, as on Linux.
(cd "$cap" && timeout 120 wine zalvo_capture.exe simulate -q -d 0.5 \
  --scene "$(winepath -w "$work/scene.txt")" -o "$(winepath -w "$work/win-wav")") | sed 's/^/   /' ||
  { echo "windows: FAILED: zalvo_capture.exe simulate"; exit 1; }
(cd "$cap" && timeout 120 wine zalvo_capture.exe simulate -q -d 0.5 --format sigmf \
  --scene "$(winepath -w "$work/scene.txt")" -o "$(winepath -w "$work/win")") >/dev/null ||
  { echo "windows: FAILED: zalvo_capture.exe simulate --format sigmf"; exit 1; }
if [ ! -x build/tools/zalvo_capture ]; then
  cmake -S . -B build -G Ninja -DZALVO_TEST_HOOKS=ON -DZALVO_WERROR=ON >/dev/null
  cmake --build build -j "$(nproc)" --target zalvo_capture
fi
timeout 120 build/tools/zalvo_capture simulate -q -d 0.5 \
  --scene "$work/scene.txt" -o "$work/linux-wav" >/dev/null
timeout 120 build/tools/zalvo_capture simulate -q -d 0.5 --format sigmf \
  --scene "$work/scene.txt" -o "$work/linux" >/dev/null
for rx in 0 1 2 3; do
  w="$work/win-wav/rx$rx.wav"
  [ "$(stat -c %s "$w")" -eq $((88 + 24000 * 8)) ] || { echo "windows: FAILED: rx$rx.wav: not 24000 samples"; exit 1; }
  cmp -s "$w" "$work/linux-wav/rx$rx.wav" ||
    { echo "windows: FAILED: rx$rx.wav differs from the Linux tool's"; exit 1; }
done
[ -z "$(find "$work/win-wav" -name '*.png')" ] || { echo "windows: FAILED: pictures on Windows"; exit 1; }
echo "   WAV: 4 files of 24000 samples, byte for byte the Linux tool's (libsndfile's)"
for rx in 0 1 2 3; do
  w="$work/win/rx$rx.sigmf" l="$work/linux/rx$rx.sigmf"
  [ "$(stat -c %s "$w-data")" -eq 192000 ] || { echo "windows: FAILED: rx$rx: not 24000 samples"; exit 1; }
  cmp -s "$w-data" "$l-data" || { echo "windows: FAILED: rx$rx samples differ from the Linux tool's"; exit 1; }
  # Same metadata but for the start time; the collection carries each meta file's SHA-512.
  diff <(grep -v core:datetime "$w-meta") <(grep -v core:datetime "$l-meta") ||
    { echo "windows: FAILED: rx$rx metadata differs from the Linux tool's"; exit 1; }
  grep -q "\"$(sha512sum <"$w-meta" | cut -d' ' -f1)\"" "$work/win/capture.sigmf-collection" ||
    { echo "windows: FAILED: the collection does not carry the SHA-512 of rx$rx.sigmf-meta"; exit 1; }
done
echo "   4 receivers x 24000 samples: bit-identical to the Linux tool's, metadata and digests agree"
# --raw: the board's stream below the module, through the board report DLL and the device layer.
(cd "$cap" && timeout 60 wine zalvo_capture.exe simulate --raw -q -d 0.1 \
  --scene "$(winepath -w "$work/scene.txt")" -o "$(winepath -w "$work/win-raw")") >/dev/null ||
  { echo "windows: FAILED: zalvo_capture.exe simulate --raw"; exit 1; }
timeout 60 build/tools/zalvo_capture simulate --raw -q -d 0.1 --scene "$work/scene.txt" \
  -o "$work/linux-raw" >/dev/null
w="$work/win-raw/raw.sigmf" l="$work/linux-raw/raw.sigmf"
[ "$(stat -c %s "$w-data")" -eq 800000 ] && cmp -s "$w-data" "$l-data" &&
  diff <(grep -v core:datetime "$w-meta") <(grep -v core:datetime "$l-meta") >/dev/null ||
  { echo "windows: FAILED: --raw: not the Linux tool's 50000 instants and metadata"; exit 1; }
echo "   --raw: 50000 instants of the board's stream, bit-identical to the Linux tool's"
# Overruns: the module reports them to the debugger output, which the program reads. A board
# with almost no buffer, paced in real time, overflows between the module's reads.
cat >"$work/tiny.txt" <<'SCENE'
noise -100
carrier 3523000 -40
board cold rev=4 pacing=real_time fifo=512 eeprom1=0x0001 eeprom3=0x0001
SCENE
status=0
(cd "$cap" && timeout 60 wine zalvo_capture.exe simulate -q -d 1 --format sigmf \
  --scene "$(winepath -w "$work/tiny.txt")" -o "$(winepath -w "$work/tiny")") >"$work/tiny.out" 2>&1 ||
  status=$?
overruns=$(sed -n 's/.*overruns: \([0-9]*\) reported by the module.*/\1/p' "$work/tiny.out")
notes=$(grep -c '"overrun reported by the receiver module' "$work/tiny/rx0.sigmf-meta" || true)
if [ "$status" -ne 4 ] || [ "${overruns:-0}" -lt 1 ] || [ "$notes" != "$overruns" ]; then
  cat "$work/tiny.out"
  echo "windows: FAILED: overruns on a tiny-buffer board: exit $status, ${overruns:-none} counted, $notes annotated"
  exit 1
fi
echo "   tiny-buffer board: exit 4, $overruns overruns counted from the debugger output and annotated"
# The simulator's complaint about a bad scene file reaches the program (a C++ exception thrown in
# one DLL and not caught there would end the process instead).
echo "noise loud" >"$work/bad-scene.txt"
status=0
(cd "$cap" && timeout 60 wine zalvo_capture.exe simulate -q -d 0.2 \
  --scene "$(winepath -w "$work/bad-scene.txt")" -o "$(winepath -w "$work/bad")") 2>"$work/bad.err" || status=$?
if [ "$status" -ne 2 ] || ! grep -q 'bad-scene.txt:1' "$work/bad.err" || [ -e "$work/bad" ]; then
  cat "$work/bad.err"; echo "windows: FAILED: a bad scene file gives exit status $status, not 2 with its reason"; exit 1
fi

echo "-- the ZIP's files (its install rules) as a Windows user meets them"
zip="$work/zip"
cmake --install build-win32 --prefix "$zip" >/dev/null
# With the command prompt in simulator\, Windows takes its libusb0.dll for the driver's: the
# real-board commands refuse, naming the folder, and touch nothing.
for args in "info" "capture -d 1 -q -o nowhere" "capture --raw -d 1 -q -o nowhere"; do
  status=0
  (cd "$zip/simulator" && timeout 60 wine ../zalvo_capture.exe $args) >"$work/in-sim.txt" 2>&1 ||
    status=$?
  if [ "$status" -ne 3 ] || ! grep -q 'loaded the simulated board (libusb0.dll in .*simulator\\)' \
    "$work/in-sim.txt" || grep -qE '^board 0|blocks delivered' "$work/in-sim.txt" ||
    [ -e "$zip/simulator/nowhere" ]; then
    cat "$work/in-sim.txt"; echo "windows: FAILED: '$args' in simulator\\ ran on the simulated board"; exit 1
  fi
done
echo "   in simulator\\: info, capture and capture --raw refuse the simulated board, naming it"
# A scene saved by Notepad as UTF-8 with its byte order mark, commands and format names in capitals,
# an output folder with a trailing backslash; the summary names the scene and the simulated board.
printf '\xef\xbb\xbfnoise -90\r\nboard cold rev=4 pacing=free_running eeprom1=0x0001 eeprom3=0x0001\r\n' \
  >"$work/bom.txt"
status=0
(cd "$zip" && timeout 60 wine zalvo_capture.exe SIMULATE -q -d 0.1 --format SigMF \
  --scene "$(winepath -w "$work/bom.txt")" -o "$(winepath -w "$work/bom-out")\\") >"$work/bom.out" 2>&1 ||
  status=$?
sed -i 's/\r$//' "$work/bom.out"
if [ "$status" -ne 0 ] || [ "$(stat -c %s "$work/bom-out/rx3.sigmf-data")" -ne 38400 ] ||
  ! grep -q '(simulated board)$' "$work/bom.out" || ! grep -q '^  scene: .*bom\.txt$' "$work/bom.out"; then
  cat "$work/bom.out"; echo "windows: FAILED: BOM scene, capitals, -o ending in a backslash: exit $status"; exit 1
fi
# Notepad's "Unicode" is refused with its encoding named; a folder name Windows cannot have is
# refused before the board starts.
printf '\xff\xfen\x00o\x00' >"$work/utf16.txt"
status=0
(cd "$zip" && timeout 60 wine zalvo_capture.exe simulate -q -d 0.1 \
  --scene "$(winepath -w "$work/utf16.txt")" -o "$(winepath -w "$work/u16")") 2>"$work/u16.err" || status=$?
[ "$status" -eq 2 ] && grep -q 'UTF-16' "$work/u16.err" ||
  { cat "$work/u16.err"; echo "windows: FAILED: a UTF-16 scene file: exit $status"; exit 1; }
status=0
(cd "$zip" && timeout 60 wine zalvo_capture.exe simulate -q -d 0.1 -o "$(winepath -w "$work")\\a*b") \
  >"$work/star.out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q 'allows no \* in a name' "$work/star.out" &&
  ! grep -q 'blocks delivered' "$work/star.out" ||
  { cat "$work/star.out"; echo "windows: FAILED: -o ...\\a*b: exit $status"; exit 1; }
echo "   BOM scene, SIMULATE --format SigMF, -o DIR\\: recorded; UTF-16 and a*b refused up front"
# /? and -? are the help; --version without the DLL says it is missing.
for ask in "/?" "-?" "capture /?"; do
  (cd "$zip" && timeout 30 wine zalvo_capture.exe $ask) >"$work/help.txt" 2>&1 &&
    grep -q '^usage: zalvo_capture' "$work/help.txt" && ! grep -q '143' "$work/help.txt" ||
    { cat "$work/help.txt"; echo "windows: FAILED: zalvo_capture.exe $ask"; exit 1; }
done
for file in zalvo_capture.exe zalvo_capture_board.dll simulator/libusb0.dll; do
  strings -el "$zip/$file" | grep -qx 'ZalvoIntf USRP receiver interface' ||
    { echo "windows: FAILED: $file has no version resource"; exit 1; }
done
strings -el "$zip/simulator/libusb0.dll" | grep -q '^SIMULATED USRP board' ||
  { echo "windows: FAILED: simulator\\libusb0.dll does not describe itself as the simulated board"; exit 1; }
rm "$zip/ZalvoIntf.dll"
status=0
(cd "$zip" && timeout 30 wine zalvo_capture.exe --version) >"$work/version.txt" 2>&1 || status=$?
[ "$status" -eq 3 ] && grep -q 'ZalvoIntf.dll: missing' "$work/version.txt" ||
  { cat "$work/version.txt"; echo "windows: FAILED: --version without ZalvoIntf.dll: exit $status"; exit 1; }
echo "   /?, -?: the help; version resources; --version without the DLL: missing, exit 3"
echo "windows: all passed"
