#!/usr/bin/env bash
# The one command behind BENCHMARKS.md: builds the side-by-side benchmark (our resampler on each
# instruction-set path, the resampling libraries that are installed, the machine's floor, the
# pipeline pass and the whole module on the simulated board) and runs it, printing the tables;
# then the pass alone, on Linux and, when the MinGW cross compiler and Wine are installed, in the
# 32-bit Windows build under Wine. Optional libraries come from scripts/packages/bench.txt
# (scripts/setup.sh installs them).
#
# The pass targets are ratios to the tree before the two-stage filter (commit 17e8b9b): that tree
# is built from the repository's history beside this one and measured in the same run.
#
# usage: scripts/bench.sh [repetitions]        (default 3; each figure is the fastest repetition)
# environment: BENCH_BUILD_DIR (default build-bench), BENCH_JOBS (default 2),
#              BENCH_MIN_TIME (seconds per benchmark and repetition, default 0.3),
#              BENCH_BASELINE (the baseline commit, default 17e8b9b; empty to leave it out)
set -euo pipefail
cd "$(dirname "$0")/.."

reps=${1:-3}
build=${BENCH_BUILD_DIR:-build-bench}
jobs=${BENCH_JOBS:-2}
base_rev=${BENCH_BASELINE-17e8b9b}
base=""
# The repetitions of all benchmarks run in random order, so that a slow or a fast spell of a
# shared machine falls on every contender alike rather than on the one that ran then.
bench_flags=(--benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true
  --benchmark_min_time="${BENCH_MIN_TIME:-0.3}" --benchmark_color=false)

echo "== bench: build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_BUILD_TESTS=OFF \
  -DZALVO_TEST_HOOKS=ON -DZALVO_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs" --target perf_bench perf_pass

if [ -n "$base_rev" ] && git cat-file -e "$base_rev^{commit}" 2>/dev/null; then
  base="$build-baseline"
  echo "== bench: build the baseline $base_rev ($base)"
  if [ "$(cat "$base/src/.rev" 2>/dev/null)" != "$base_rev" ]; then
    rm -rf "$base/src"
    mkdir -p "$base/src"
    git archive "$base_rev" | tar -x -C "$base/src"
    echo "$base_rev" >"$base/src/.rev"
  fi
  cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZALVO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$base/build" -j "$jobs" --target perf_bench perf_pass
elif [ -n "$base_rev" ]; then
  echo "== bench: the baseline $base_rev is not in this checkout's history; left out"
fi

echo "== bench: run ($reps repetitions)"
"$build/bench/perf_bench" "${bench_flags[@]}" | tee "$build/perf_bench.txt"

echo "== bench: the pass alone"
{
  echo
  echo "### Pipeline pass by build (fastest of $reps repetitions of >= 0.2 s / 1 s of thread time)"
  echo
  "$build/bench/perf_pass" "$reps" | tee "$build/pass_linux.txt"
} | tee -a "$build/perf_bench.txt"

mingw=$(command -v i686-w64-mingw32-g++-posix || true)
if [ -n "$mingw" ] && command -v wine >/dev/null; then
  wbuild="$build-win32"
  echo "== bench: 32-bit Windows build ($wbuild) under Wine"
  cmake -S . -B "$wbuild" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_BUILD_BENCH=OFF -DZALVO_BUILD_TESTS=OFF \
    -DZALVO_TEST_HOOKS=ON -DZALVO_WERROR=ON >/dev/null
  cmake --build "$wbuild" -j "$jobs" --target zalvo_host_core
  "$mingw" -std=c++17 -O2 -msse2 -mfpmath=sse -DZALVO_TEST_HOOKS=1 -static -static-libgcc -static-libstdc++ \
    -Ihost -Iplatform bench/perf_pass_main.cpp "$wbuild/host/libzalvo_host_core.a" \
    "$wbuild/platform/libzalvo_dsp.a" "$wbuild/platform/libzalvo_os.a" -o "$wbuild/perf_pass.exe"
  export WINEDEBUG=-all WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/zalvo-bench-wine.XXXXXX)
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  timeout 900 wine "$wbuild/perf_pass.exe" "$reps" 2>/dev/null | tail -n +3 |
    tee "$build/pass_windows.txt" | tee -a "$build/perf_bench.txt"
else
  echo "== bench: no MinGW cross compiler or Wine; the Windows pass is left out"
  : >"$build/pass_windows.txt"
fi

if [ -n "$base" ]; then
  echo "== bench: the baseline's pass, resampler and module"
  {
    echo
    echo "### The baseline $base_rev in this run: pass, resampler against soxr HQ, module"
    echo
    "$base/build/bench/perf_pass" "$reps" | tee "$build/pass_baseline.txt"
    echo
    # Its other tables come out empty (nan) for the benchmarks filtered out.
    "$base/build/bench/perf_bench" "${bench_flags[@]}" \
      --benchmark_filter='^(resample/[0-9]+/(ours fast \(avx2\)|soxr HQ)|module/.*)$' 2>/dev/null |
      awk '/^### / { keep = /Resamplers|module/ } keep && !/nan/' | sed 's/^###/####/'
  } | tee -a "$build/perf_bench.txt"

  # The pass targets: at most 45 / 45 / 70 us on the AVX2 paths where the baseline's Linux AVX2
  # pass took 86 / 88 / 95 us, and 1.8 times that on the SSE2 paths.
  {
    echo
    echo "### Pipeline pass against the baseline's Linux AVX2 pass in this run"
    echo
    echo "| build | rate | path | us per pass | baseline us | ratio | target ratio | met |"
    echo "|---|---|---|---:|---:|---:|---:|---|"
    awk -F'|' '
      function trim(s) { gsub(/^ +| +$/, "", s); return s }
      FNR == 1 { file++ }
      file == 1 && trim($4) == "avx2" { base[trim($3)] = trim($5) }
      file > 1 && (trim($4) == "avx2" || trim($4) == "sse2") && (trim($3) in base) {
        rate = trim($3); path = trim($4)
        t = rate == 48000 ? 45 / 86 : rate == 96000 ? 45 / 88 : 70 / 95
        if (path == "sse2") t *= 1.8
        r = trim($5) / base[rate]
        printf "| %s | %s | %s | %s | %s | %.2f | %.2f | %s |\n", trim($2), rate, path, trim($5),
               base[rate], r, t, r <= t ? "yes" : "no"
      }' "$build/pass_baseline.txt" "$build/pass_linux.txt" "$build/pass_windows.txt"
  } | tee -a "$build/perf_bench.txt"
fi
echo "== bench: output kept in $build/perf_bench.txt"
