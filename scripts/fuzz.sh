#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer, the libraries under test
# instrumented for coverage) in their own build folder, makes a seed corpus, and runs each target
# for a bounded time. Exits non-zero when a target finds a crash or a violated property.
#
# usage: scripts/fuzz.sh [seconds per target]        (default 60)
# environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-2}

flags="-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer -g -Wno-unknown-warning-option"
echo "== fuzz: build ($build)"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZALVO_FUZZ=ON -DZALVO_BUILD_BENCH=OFF -DZALVO_TEST_HOOKS=ON -DZALVO_WERROR=ON \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address" >/dev/null
targets=${FUZZ_TARGETS:-"fuzz_hex fuzz_bitstream fuzz_eeprom fuzz_settings fuzz_env"}
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j "$jobs"

work="$build/fuzz"
mkdir -p "$work/seeds_hex" "$work/seeds_bitstream" "$work/corpus_hex" "$work/corpus_bitstream"

# Seeds: HEX files written by a real toolchain (objcopy) from binaries of our own random bytes,
# at several addresses and sizes (the last two lie beyond 64 KiB, so extended address records
# appear).
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
i=0
for spec in "16 0x0000" "100 0x0000" "700 0x0100" "300 0xE000" "1 0xFFFF" "2000 0x8000" "64 0x1FFE0" "64 0x12345678"; do
  set -- $spec
  head -c "$1" /dev/urandom > "$tmp/seed$i.bin"
  objcopy -I binary -O ihex --change-addresses "$2" "$tmp/seed$i.bin" "$work/seeds_hex/objcopy$i.ihx"
  # The same file behind '#': the target repairs checksums of such inputs after mutation.
  { printf '#'; cat "$work/seeds_hex/objcopy$i.ihx"; } > "$work/seeds_hex/repaired$i.ihx"
  i=$((i + 1))
done
for n in 0 1 63 64 65 130 1000; do
  { printf '\xff'; head -c "$n" /dev/urandom; } > "$work/seeds_bitstream/plain$n.rbf"
  { printf '\x0d'; head -c "$n" /dev/urandom; } > "$work/seeds_bitstream/fault$n.rbf"
done

status=0
# Seeds of the other targets: the cases kept in the repository (tests/fuzz/corpus/<target>).
for target in $targets; do
  mkdir -p "$work/seeds_${target#fuzz_}" "$work/corpus_${target#fuzz_}"
  if [ -d "tests/fuzz/corpus/$target" ]; then
    cp -f tests/fuzz/corpus/"$target"/* "$work/seeds_${target#fuzz_}/" 2>/dev/null || true
  fi
done

for target in $targets; do
  corpus="$work/corpus_${target#fuzz_}"
  seeds="$work/seeds_${target#fuzz_}"
  log="$work/$target.log"
  echo "== fuzz: $target for ${seconds}s"
  # The timed run checks memory errors and the targets' own properties at full speed; the
  # simulator keeps list structures from one run to the next, which would make libFuzzer's
  # per-run leak check fire on nearly every input, so leaks are checked afterwards by replaying
  # the whole corpus once with the leak checker on. The target's own standard error (the
  # loaders' diagnostics) is closed; libFuzzer and the sanitizers keep theirs.
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -detect_leaks=0 \
      -rss_limit_mb=4096 \
      -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$work/${target}-" \
      "$corpus" "$seeds" > "$log" 2>&1; then
    status=1
    echo "$target: FAILED (see $log)"
    tail -n 40 "$log"
  fi
  grep -E '^#[0-9]+ +DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || true
  echo "-- replaying the corpus with the leak checker"
  if ! "$build/tests/fuzz/$target" -runs=0 -detect_leaks=1 -close_fd_mask=2 \
      -artifact_prefix="$work/${target}-leak-" "$corpus" > "$log.replay" 2>&1; then
    status=1
    echo "$target: leak replay FAILED (see $log.replay)"
    tail -n 40 "$log.replay"
  fi
  grep -E 'INITED|DONE' "$log.replay" | tail -n 1 || true
done
exit $status
