#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test; also builds the optimised tree with the benchmarks, so that
# it keeps compiling.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
jobs="${JOBS:-$(nproc)}" # JOBS: parallel jobs, default every core
cmake -S . -B build-test -G Ninja -DMORVANE_SANITIZE=ON -DMORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build-test -j "$jobs"
cmake -S . -B build -G Ninja -DMORVANE_BUILD_BENCH=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build-test --output-on-failure -j "$jobs"
# A few seconds of fuzzing of every fuzz target, where clang is present.
if tools/run-fuzz.sh --check; then
  JOBS="$jobs" tools/run-fuzz.sh 5
fi
