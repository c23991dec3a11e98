#!/usr/bin/env bash
# The module and the capture tool in the build types a user may pick besides the RelWithDebInfo of
# the main run and the Windows stage: Release and Debug, natively and cross (i686 MinGW), with
# warnings as errors and without test hooks, as a user builds them. Only those two targets (and
# what they need), so that a warning that appears at one optimisation level only is caught here
# at little cost. Exits non-zero on the first build that fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$PWD

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
common=(-G Ninja "${launcher[@]}" -DZALVO_BUILD_TESTS=OFF -DZALVO_BUILD_BENCH=OFF
  -DZALVO_TEST_HOOKS=OFF -DZALVO_WERROR=ON)
targets=(ZalvoIntf zalvo_capture)

# The cross build of the tool makes the simulator's placeholder images with Wine.
export WINEDEBUG=-all
export WINEPREFIX
WINEPREFIX="$(mktemp -d /tmp/zalvo-types-wine.XXXXXX)"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

build() {
  local dir=$1 type=$2
  shift 2
  local start=$SECONDS
  cmake -S . -B "$dir" "${common[@]}" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  if ! timeout 1200 cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" >"$dir/build-types.log" 2>&1; then
    grep -E "error|warning" "$dir/build-types.log" | head -n 40
    echo "build-types: FAILED: $dir ($type); the whole log is in $dir/build-types.log"
    exit 1
  fi
  echo "   $dir: $type: ${targets[*]} built in $((SECONDS - start)) s"
}

echo "-- native"
build build-release Release
build build-debug Debug
echo "-- cross (i686 MinGW)"
build build-win32-release Release -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-i686.cmake"
build build-win32-debug Debug -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-i686.cmake"
echo "build-types: passed"
