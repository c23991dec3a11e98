#!/usr/bin/env bash
# Builds everything and runs every test: once as a normal build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the further stages in scripts/test.d/*.sh in name order (each
# is run with bash from the top of the tree and must exit non-zero on failure). Every build here
# and in the stages turns on the test hooks (ZALVO_TEST_HOOKS) where it builds tests, and makes
# warnings errors (ZALVO_WERROR); both are off in a user's default build.
# Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

jobs=$(nproc)

echo "== build (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_TEST_HOOKS=ON \
  -DZALVO_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZALVO_SANITIZE=ON \
  -DZALVO_BUILD_BENCH=OFF -DZALVO_TEST_HOOKS=ON -DZALVO_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
echo "== tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE nosan

for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $(basename "$stage" .sh)"
  bash "$stage"
done
