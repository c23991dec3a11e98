#!/usr/bin/env bash
# The packages, built from the tree by scripts/package.sh, then checked:
#   Debian: lintian reports no errors; the files are where hosts, udev and man look for them;
#     the dependencies came from the shared-library information; unpacked into a temporary
#     root, the unpacked tool runs "info --simulate" and a short "simulate" against the
#     unpacked module; the manual page names every option of the tool's --help.
#   SoapySDR module package (when SoapySDR's development files are installed): lintian, the
#     module in SoapySDR's module folder, its documents, the dependency on zalvointf of the same
#     version; the unpacked module loads in SoapySDRUtil and exports nothing of the layers.
#   Windows ZIP: the listing; the ZIP's own DLL exports exactly the six functions and carries
#     the project version in its version resource (Windows test host under Wine); unpacked, its
#     zalvo_capture.exe records on the simulated board the ZIP carries (the same WAV files as
#     the unpacked Debian tool's) and, without the board's driver, tells what to install.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/../.."

version=$(sed -n 's/^project(ZalvoIntf VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: FAILED: no project version in CMakeLists.txt"; exit 1; }
fail() {
  echo "package: FAILED: $*"
  exit 1
}

work="$(mktemp -d /tmp/zalvo-package.XXXXXX)"
export WINEDEBUG=-all
export WINEPREFIX="$work/wine"
cleanup() {
  if [ -d "$WINEPREFIX" ]; then wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

timeout 1800 ./scripts/package.sh deb zip
deb=build-package/packages/zalvointf_${version}_$(dpkg --print-architecture).deb
zip=build-package-win32/packages/ZalvoIntf-${version}-win32.zip
[ -f "$deb" ] || fail "$deb was not made"
[ -f "$zip" ] || fail "$zip was not made"

echo "-- lintian $(basename "$deb")"
status=0
lintian --tag-display-limit 0 -I "$deb" >"$work/lintian.txt" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian.txt" | sed 's/^/   /' || true
if [ "$status" -ne 0 ] || grep -q '^E: ' "$work/lintian.txt"; then
  fail "lintian reports errors (status $status)"
fi

echo "-- contents"
ml=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files.txt"
for f in "/usr/lib/$ml/zalvo/libZalvoIntf.so" "/usr/lib/$ml/zalvo/zalvo_capture" \
  /usr/bin/zalvo_capture /usr/share/man/man1/zalvo_capture.1.gz /usr/share/zalvo/usrp/README \
  /usr/share/zalvo/simulator/rev4/std.ihx /usr/share/doc/zalvointf/copyright \
  /usr/share/doc/zalvointf/changelog.gz /usr/share/doc/zalvointf/GUIDE.txt \
  /usr/share/doc/zalvointf/scene-files.md; do
  grep -qx "$f" "$work/files.txt" || fail "$f is not in the package"
done
rule=$(grep -E '/udev/rules\.d/60-zalvo-usrp\.rules$' "$work/files.txt") ||
  fail "no udev rule in the package"
depends=$(dpkg-deb -f "$deb" Depends)
echo "   Depends: $depends"
[[ "$depends" == *libusb-0.1-4* ]] || fail "the dependency on libusb 0.1 is missing"

soapy_pkg=soapysdr0.8-module-zalvo
soapy_deb=build-package/packages/${soapy_pkg}_${version}_$(dpkg --print-architecture).deb
if grep -q '^SoapySDR_DIR:PATH=.*-NOTFOUND' build-package/CMakeCache.txt; then
  echo "-- no SoapySDR development files: $soapy_pkg not built"
else
  echo "-- $(basename "$soapy_deb")"
  [ -f "$soapy_deb" ] || fail "$soapy_deb was not made"
  status=0
  lintian --tag-display-limit 0 -I "$soapy_deb" >"$work/lintian-soapy.txt" 2>&1 || status=$?
  grep -v 'running with root privileges' "$work/lintian-soapy.txt" | sed 's/^/   /' || true
  if [ "$status" -ne 0 ] || grep -qE '^(E|W): ' "$work/lintian-soapy.txt"; then
    fail "lintian reports errors or warnings for $soapy_pkg (status $status)"
  fi
  dpkg-deb -c "$soapy_deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/soapy-files.txt"
  soapy_module=/usr/lib/$ml/SoapySDR/modules0.8/libzalvoSupport.so
  for f in "$soapy_module" /usr/share/doc/$soapy_pkg/README /usr/share/doc/$soapy_pkg/copyright \
    /usr/share/doc/$soapy_pkg/changelog.gz; do
    grep -qx "$f" "$work/soapy-files.txt" || fail "$f is not in $soapy_pkg"
  done
  ! grep -q 'libZalvoIntf\|/zalvo/' "$work/soapy-files.txt" || fail "$soapy_pkg carries zalvointf's files"
  [[ "$(dpkg-deb -f "$soapy_deb" Suggests)" == *soapyremote-server* ]] ||
    fail "$soapy_pkg does not suggest soapyremote-server"
  depends=$(dpkg-deb -f "$soapy_deb" Depends)
  echo "   Depends: $depends"
  [[ "$depends" == *"zalvointf (= $version)"* && "$depends" == *libsoapysdr0.8* ]] ||
    fail "$soapy_pkg does not depend on zalvointf (= $version) and libsoapysdr0.8"
  dpkg-deb -x "$soapy_deb" "$work/soapy-root"
  first=$(zcat "$work/soapy-root/usr/share/doc/$soapy_pkg/changelog.gz" | sed -n 1p)
  [[ "$first" == "$soapy_pkg ($version) "* ]] ||
    fail "$soapy_pkg's changelog begins \"$first\", not with $soapy_pkg ($version)"
  plugins=$work/soapy-root/usr/lib/$ml/SoapySDR/modules0.8
  SOAPY_SDR_PLUGIN_PATH=$plugins SoapySDRUtil --info >"$work/soapy-info.txt" 2>&1 || true
  grep -q "Module found: $plugins/libzalvoSupport.so" "$work/soapy-info.txt" &&
    grep -Eq 'Available factories\.\.\..*\bzalvo\b' "$work/soapy-info.txt" ||
    { cat "$work/soapy-info.txt"; fail "SoapySDRUtil does not load the unpacked module"; }
  exported=$(nm -D --defined-only "$plugins/libzalvoSupport.so" | awk '{print $3}' | tr '\n' ' ')
  [ -z "$exported" ] || fail "the SoapySDR module exports $exported"
  echo "   the unpacked module loads in SoapySDRUtil (factory zalvo) and exports nothing"
fi

echo "-- the unpacked tool against the unpacked module"
root="$work/root"
dpkg-deb -x "$deb" "$root"
grep -q 'ATTR{idVendor}=="fffe", ATTR{idProduct}=="0002"' "$root$rule" &&
  grep -q 'GROUP="plugdev"' "$root$rule" && grep -q 'TAG+="uaccess"' "$root$rule" ||
  fail "the udev rule does not grant plugdev and uaccess access to fffe:0002"
if [ -e "/usr/lib/$ml/zalvo" ]; then
  echo "   note: a zalvointf package is installed here; its helper libraries take precedence"
fi
tool="$root/usr/bin/zalvo_capture"
module="$root/usr/lib/$ml/zalvo/libZalvoIntf.so"
export USRP_PATH="$root/usr/share/zalvo/simulator"
timeout 120 "$tool" info --simulate >"$work/info.txt" || fail "info --simulate: status $?"
sed 's/^/   /' "$work/info.txt"
grep -q '^board 0: .*revision 4' "$work/info.txt" || fail "info --simulate found no board"
grep -q "firmware $USRP_PATH/rev4/std.ihx" "$work/info.txt" ||
  fail "info --simulate did not use the unpacked images"
timeout 180 "$tool" simulate --module "$module" --duration 1 --quiet --out "$work/out" \
  >"$work/simulate.txt" 2>&1 || { cat "$work/simulate.txt"; fail "simulate: status $?"; }
for i in 0 1 2 3; do
  [ -s "$work/out/rx$i.wav" ] && [ -s "$work/out/rx$i.png" ] || fail "simulate wrote no rx$i"
done
echo "   simulate --module <unpacked module>: four WAV files and pictures"
# Built with the package's hardening flags, an MD5 taken from a preloaded rig-control library
# (whose context is larger than ours) corrupts the stack: the cold board then fails to come up.
if /sbin/ldconfig -p | grep -F libhamlib.so.4 >/dev/null; then
  status=0
  LD_PRELOAD=libhamlib.so.4 timeout 180 "$tool" simulate --module "$module" -d 1 -q \
    --out "$work/hamlib" >"$work/hamlib.txt" 2>&1 || status=$?
  [ "$status" -eq 0 ] && [ -s "$work/hamlib/rx3.wav" ] ||
    { cat "$work/hamlib.txt"; fail "simulate with libhamlib preloaded: status $status"; }
  echo "   simulate with libhamlib.so.4 preloaded: a cold board comes up"
else
  fail "libhamlib.so.4 is not installed (scripts/packages/soapy.txt)"
fi
# The same scene for the ZIP's tool (below), which must write the same files.
cat >"$work/scene.txt" <<'SCENE'
noise -90
seed 7
carrier 3.521M -40 input=0
board cold bcd=0x0004 pacing=free_running eeprom1=0x0001 eeprom3=0x0001
SCENE
timeout 120 "$tool" simulate --module "$module" -d 1 -q --scene "$work/scene.txt" \
  -o "$work/deb-scene" >/dev/null 2>&1 || fail "simulate --scene: status $?"
# Advice for a package user: the path given, or the package; never a build command.
status=0
"$tool" simulate --module /nonexistent -d 1 -q -o "$work/none" 2>"$work/nomodule.txt" || status=$?
[ "$status" -eq 3 ] && grep -q 'Check the path given with --module' "$work/nomodule.txt" &&
  ! grep -q 'cmake' "$work/nomodule.txt" ||
  { cat "$work/nomodule.txt"; fail "--module /nonexistent: status $status"; }
if [ ! -e "/usr/lib/$ml/zalvo" ]; then
  status=0
  "$tool" simulate -d 1 -q -o "$work/none" 2>"$work/nodefault.txt" || status=$?
  [ "$status" -eq 3 ] && grep -q 'sudo apt install --reinstall zalvointf' "$work/nodefault.txt" &&
    ! grep -q 'cmake' "$work/nodefault.txt" ||
    { cat "$work/nodefault.txt"; fail "the package's module missing: status $status"; }
fi
echo "   a missing module: the package user is told about --module's path or the package"
unset USRP_PATH
# Without USRP_PATH the module searches the package's images folder: with nothing installed
# there, the failure lists it among the paths tried.
if [ ! -e /usr/share/zalvo ]; then
  status=0
  (cd "$work" && timeout 120 "$tool" simulate --module "$module" --duration 1 --quiet \
    --out "$work/out2") >"$work/noimages.txt" 2>&1 || status=$?
  [ "$status" -eq 3 ] || { cat "$work/noimages.txt"; fail "simulate without images: status $status"; }
  grep -qF '"/usr/share/zalvo/usrp/rev4/std.ihx", "./usrp/rev4/std.ihx"' "$work/noimages.txt" ||
    { cat "$work/noimages.txt"; fail "the module does not search /usr/share/zalvo/usrp"; }
  grep '^usrp: searched for' "$work/noimages.txt" | sed 's/^/   /'
fi

# One version: the package name (above), the guide, the manual page and the tool.
grep -q "ZalvoIntf $version" "$root/usr/share/doc/zalvointf/GUIDE.txt" ||
  fail "the guide does not name version $version"
zcat "$root/usr/share/man/man1/zalvo_capture.1.gz" | sed 's/\\-/-/g' >"$work/man.txt"
grep -q "\"ZalvoIntf $version\"" "$work/man.txt" || fail "the manual page does not name $version"
grep -q '^\.SH SEE ALSO' "$work/man.txt" || fail "the manual page has no SEE ALSO"
# (grep -q reads files here: a pipe into it could fail under pipefail when it stops reading.)
"$tool" --help >"$work/help.txt"
if grep -q -- '--version' "$work/help.txt"; then
  # The unpacked module (the package's own path is empty unless the package is installed, and a
  # missing module is an error).
  "$tool" --version --module "$module" >"$work/version.txt"
  grep -qF "$version" "$work/version.txt" || fail "zalvo_capture --version does not print $version"
fi
for option in $(grep -oE -- '--[a-z][a-z-]+' "$work/help.txt" | sort -u); do
  grep -qF -- "$option" "$work/man.txt" || fail "the manual page lacks $option (see --help)"
done
echo "   version $version in the package name, guide, manual page; manual page covers --help"

echo "-- $(basename "$zip")"
unzip -l "$zip" | sed 's/^/   /'
top="ZalvoIntf-${version}-win32"
expected=("$top/ZalvoIntf.dll" "$top/GUIDE.txt" "$top/LICENSE.txt" "$top/usrp/README.txt"
  "$top/usrp/rev4/" "$top/zalvo_capture.exe" "$top/zalvo_capture_board.dll"
  "$top/simulator/libusb0.dll" "$top/simulator/images/rev4/std.ihx"
  "$top/simulator/images/rev4/std_4rx_0tx.rbf" "$top/simulator/scene-files.txt")
unzip -Z1 "$zip" >"$work/zip.txt"
for name in "${expected[@]}"; do
  grep -qxF "$name" "$work/zip.txt" || fail "$name is not in the ZIP"
done
# libusb0.dll comes with the board's driver: the simulated board's stays in simulator/, where no
# program looks for its DLLs; one anywhere else would stand in front of the driver's.
others=$(grep -i 'libusb0\.dll$' "$work/zip.txt" | grep -vxF "$top/simulator/libusb0.dll" || true)
[ -z "$others" ] || fail "the ZIP carries a libusb0.dll outside simulator/: $others"
unzip -q "$zip" -d "$work/zip"
[ -z "$(ls -A "$work/zip/$top/usrp/rev4")" ] || fail "usrp/rev4 in the ZIP is not empty"
grep -q "ZalvoIntf $version" "$work/zip/$top/GUIDE.txt" || fail "the ZIP's guide lacks $version"
dll="$work/zip/$top/ZalvoIntf.dll"
exports=$(i686-w64-mingw32-objdump -p "$dll" | sed -n '/Ordinal\/Name Pointer/,/^$/p' |
  awk '/\[/ && NR > 1 {print $NF}' | sort | tr '\n' ' ')
echo "   exports: $exports"
[ "$exports" = "GetSdrInfo ReadPort SetCtrlBits SetRxFrequency StartRx StopRx " ] ||
  fail "the ZIP's DLL exports $exports"

# The Windows test host's export and version cases, against the ZIP's copy of the DLL.
if [ ! -x build-win32/tests/windows/zalvo_win_host.exe ] ||
  [ ! -f build-win32/tests/windows/libusb0.dll ]; then
  cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_BUILD_BENCH=OFF -DZALVO_TEST_HOOKS=ON \
    -DZALVO_WERROR=ON >/dev/null
  timeout 1200 cmake --build build-win32 -j "$(nproc)" --target zalvo_win_host
fi
mkdir -p "$work/win"
cp build-win32/tests/windows/zalvo_win_host.exe build-win32/tests/windows/libusb0.dll "$dll" "$work/win/"
for case in ExportsAreTheSixPlainNamesAndImportsOnlySystemDllsAndLibusb0 \
  VersionResourceNamesTheProduct; do
  (cd "$work/win" && timeout 240 wine zalvo_win_host.exe "$case") >"$work/case.txt" 2>&1 ||
    { cat "$work/case.txt"; fail "$case on the ZIP's DLL"; }
  grep -q "1 cases, 0 failed" "$work/case.txt" || { cat "$work/case.txt"; fail "$case did not run"; }
  echo "   $case: passed on the ZIP's DLL"
done
# The unpacked ZIP under Wine: simulate runs on the ZIP's simulated board and images and writes
# the unpacked Debian tool's WAV files; without the board's driver (this Wine has no libusb0.dll)
# info and capture tell a ZIP user to install it, in the guide's words.
echo "-- the unpacked ZIP's zalvo_capture.exe under Wine"
zdir="$work/zip/$top"
status=0
(cd "$zdir" && timeout 120 wine zalvo_capture.exe simulate -d 1 -q \
  --scene "$(winepath -w "$work/scene.txt")" -o "$(winepath -w "$work/zip-out")") \
  >"$work/zip-simulate.txt" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$work/zip-simulate.txt"; fail "the ZIP's simulate: status $status"; }
for i in 0 1 2 3; do
  cmp -s "$work/zip-out/rx$i.wav" "$work/deb-scene/rx$i.wav" ||
    fail "the ZIP's simulate: rx$i.wav is not the Debian tool's"
done
echo "   simulate -d 1: four WAV files, byte for byte the Debian tool's"
status=0
(cd "$zdir" && USRP_PATH='C:\nothing' timeout 60 wine zalvo_capture.exe simulate -d 1 -q \
  -o "$(winepath -w "$work/zip-none")") >"$work/zip-images.txt" 2>&1 || status=$?
[ "$status" -eq 3 ] &&
  grep -q 'unset USRP_PATH to use the placeholder images in ".*simulator.images"' "$work/zip-images.txt" &&
  ! grep -qE 'plugged in|udev|cmake' "$work/zip-images.txt" ||
  { cat "$work/zip-images.txt"; fail "the ZIP's simulate with a bad USRP_PATH: status $status"; }
for args in "info" "capture -d 1 -q -o nowhere"; do
  status=0
  (cd "$zdir" && timeout 60 wine zalvo_capture.exe $args) >"$work/zip-nodriver.txt" 2>&1 || status=$?
  [ "$status" -eq 3 ] && grep -q 'libusb-win32, which brings libusb0.dll (GUIDE.txt, section 3)' \
    "$work/zip-nodriver.txt" && ! grep -qE 'udev|cmake' "$work/zip-nodriver.txt" ||
    { cat "$work/zip-nodriver.txt"; fail "the ZIP's $args without a driver: status $status"; }
done
[ ! -e "$zdir/nowhere" ] || fail "the ZIP's capture without a driver made its output folder"
echo "   without a driver, info and capture name libusb-win32 and GUIDE.txt section 3"
echo "package: all passed"
