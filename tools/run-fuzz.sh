#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) into build-fuzz/ with clang, ASan and
# UBSan, and runs each for SECONDS seconds on its corpus (build-fuzz/corpus/,
# kept between runs) and its seeds (written by the build). Prints the
# executions of every target; exits non-zero on any crash, leak, time-out or
# sanitizer report, whose input is kept in build-fuzz/artifacts/.
#
#   tools/run-fuzz.sh SECONDS [TARGET...]     (default: every target)
#   tools/run-fuzz.sh --check                 exit 0 when clang can build them
#
# Reproduce a finding: build-fuzz/bin/<target> build-fuzz/artifacts/<file>
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# Whether clang and its libFuzzer, ASan and UBSan runtimes are installed.
fuzzingAvailable() {
  command -v clang >/dev/null && command -v clang++ >/dev/null || return 1
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null
}
if [ "${1:-}" = "--check" ]; then
  fuzzingAvailable
  exit
fi

seconds=${1:-}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_server_commands fuzz_replay fuzz_rawdata_readers fuzz_readout fuzz_board_definition)

fuzzingAvailable || { echo "$0: clang with its libFuzzer, ASan and UBSan runtimes is needed" >&2; exit 2; }
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
jobs=${JOBS:-$(nproc)}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DMORVANE_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j "$jobs" --target "${targets[@]}" Kelsor

# Absolute paths: the server target moves into its working folder.
out=$root/build-fuzz
mkdir -p "$out/artifacts" "$out/logs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
failed=()
for target in "${targets[@]}"; do
  corpus=$out/corpus/$target
  mkdir -p "$corpus"
  log=$out/logs/$target.log
  # A raw-data header may ask the replay for a buffer of up to 1 GiB; the
  # limits leave room for that (the time-out, for an acquisition that a
  # request starts or stops).
  status=0
  "$out/bin/$target" "$corpus" "$out/fuzz-seeds/$target" \
    -max_total_time="$seconds" -print_final_stats=1 -timeout=60 \
    -rss_limit_mb=4096 -malloc_limit_mb=2048 \
    -artifact_prefix="$out/artifacts/$target-" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $status -ne 0 ] || grep -q -E '^(==[0-9]+==ERROR|SUMMARY: (Address|Undefined|Leak)Sanitizer)|runtime error:' "$log"; then
    failed+=("$target")
    echo "$target: FAILED after ${runs:-?} executions (exit $status); log: $log"
    grep -E 'ERROR|SUMMARY|runtime error|invariant broken|Test unit written' "$log" | head -10 | sed 's/^/    /'
  else
    echo "$target: ${runs:-?} executions in ${seconds}s, no finding"
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
