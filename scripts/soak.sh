#!/usr/bin/env bash
# The long soak: the module streams from the free-running simulated board for two hours of
# signal (by default), retuning every 3 s and restarting every 3 min of signal, with the phase,
# memory, descriptor and thread checks of tests/reliability/soak_test.cpp. Updates the soak
# figures in RELIABILITY.md.
#
# usage: scripts/soak.sh [seconds of signal]   (default 7200)
#        scripts/soak.sh unplug [minutes] [seconds between unplugs] [seed]: the unplug soak of the
#        recorder (scripts/soak_unplug.sh)
# environment: SOAK_BUILD_DIR (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = unplug ]; then
  shift
  exec ./scripts/soak_unplug.sh "$@"
fi

seconds=${1:-7200}
build=${SOAK_BUILD_DIR:-build}

./scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_TEST_HOOKS=ON \
  -DZALVO_WERROR=ON >/dev/null
cmake --build "$build" --target rel_soak_test -j "$(nproc)"

figures=$(mktemp)
trap 'rm -f "$figures"' EXIT
echo "== soak: ${seconds} s of signal"
ZALVO_SOAK_SECONDS="$seconds" ZALVO_SOAK_RETUNE_SECONDS=3 ZALVO_SOAK_RESTART_SECONDS=180 \
  ZALVO_REL_FIGURES="$figures" "$build/tests/reliability/rel_soak_test" --gtest_brief=1
sed 's/^soak_/long_soak_/' "$figures" | ./scripts/reliability_figures.sh RELIABILITY.md
echo "soak: passed; figures written to RELIABILITY.md"
