#!/usr/bin/env bash
# The one command behind BENCHMARKS.md: builds the side-by-side benchmark (our resampler on each
# instruction-set path, the resampling libraries that are installed, the machine's floor, the
# pipeline pass and the whole module on the simulated board) and runs it, printing the tables;
# then the pass alone, on Linux and, when the MinGW cross compiler and Wine are installed, in the
# 32-bit Windows build under Wine. Optional libraries come from scripts/packages/bench.txt
# (scripts/setup.sh installs them).
#
# usage: scripts/bench.sh [repetitions]        (default 3; each figure is the fastest repetition)
# environment: BENCH_BUILD_DIR (default build-bench), BENCH_JOBS (default 2),
#              BENCH_MIN_TIME (seconds per benchmark and repetition, default 0.3)
set -euo pipefail
cd "$(dirname "$0")/.."

reps=${1:-3}
build=${BENCH_BUILD_DIR:-build-bench}

echo "== bench: build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "${BENCH_JOBS:-2}" --target perf_bench perf_pass

echo "== bench: run ($reps repetitions)"
"$build/bench/perf_bench" --benchmark_repetitions="$reps" \
  --benchmark_min_time="${BENCH_MIN_TIME:-0.3}" --benchmark_color=false | tee "$build/perf_bench.txt"

echo "== bench: the pass alone"
{
  echo
  echo "### Pipeline pass by build (fastest of $reps repetitions of >= 0.2 s / 1 s of thread time)"
  echo
  "$build/bench/perf_pass" "$reps"
} | tee -a "$build/perf_bench.txt"

mingw=$(command -v i686-w64-mingw32-g++-posix || true)
if [ -n "$mingw" ] && command -v wine >/dev/null; then
  wbuild="$build-win32"
  echo "== bench: 32-bit Windows build ($wbuild) under Wine"
  cmake -S . -B "$wbuild" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_BUILD_BENCH=OFF -DZALVO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$wbuild" -j "${BENCH_JOBS:-2}" --target zalvo_host_core
  "$mingw" -std=c++17 -O2 -msse2 -mfpmath=sse -DZALVO_TEST_HOOKS=1 -static -static-libgcc -static-libstdc++ \
    -Ihost -Iplatform bench/perf_pass_main.cpp "$wbuild/host/libzalvo_host_core.a" \
    "$wbuild/platform/libzalvo_dsp.a" "$wbuild/platform/libzalvo_os.a" -o "$wbuild/perf_pass.exe"
  export WINEDEBUG=-all WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/zalvo-bench-wine.XXXXXX)
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  timeout 900 wine "$wbuild/perf_pass.exe" "$reps" 2>/dev/null | tail -n +3 | tee -a "$build/perf_bench.txt"
else
  echo "== bench: no MinGW cross compiler or Wine; the Windows pass is left out"
fi
echo "== bench: output kept in $build/perf_bench.txt"
