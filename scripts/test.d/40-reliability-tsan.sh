#!/usr/bin/env bash
# ThreadSanitizer over the threaded tests: the transfer engine and ring, the thread layer, the
# module through dlopen, the stream faults (bulk faults, stop during a failing read, unplug).
set -euo pipefail
cd "$(dirname "$0")/../.."

build=build-rel-tsan
tests='^(fusb_async_test|fusb_ring_test|fusb_integrity_test|platform_os_test|host_module_test|rel_stream_faults_test)$'
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_TSAN=ON \
  -DZALVO_BUILD_BENCH=OFF -DZALVO_TEST_HOOKS=ON -DZALVO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target fusb_async_test fusb_ring_test fusb_integrity_test \
  platform_os_test host_module_test rel_stream_faults_test
echo "-- threaded tests under ThreadSanitizer"
if TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir "$build" -R "$tests" --output-on-failure --timeout 900; then
  echo "reliability-tsan: passed"
else
  echo "reliability-tsan: FAILED"
  exit 1
fi
