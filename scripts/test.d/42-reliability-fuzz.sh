#!/usr/bin/env bash
# Bounded fuzzing: every libFuzzer target for FUZZ_SECONDS (default 40) under AddressSanitizer,
# then a replay of its corpus with the leak checker (scripts/fuzz.sh). Five targets: the run
# stays under about five minutes in all.
set -euo pipefail
cd "$(dirname "$0")/../.."
if ./scripts/fuzz.sh "${FUZZ_SECONDS:-40}"; then
  echo "reliability-fuzz: passed"
else
  echo "reliability-fuzz: FAILED"
  exit 1
fi
