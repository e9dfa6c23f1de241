#!/usr/bin/env bash
# Builds the server side with ThreadSanitizer (build-tsan/, -DMORVANE_TSAN=ON)
# and runs its suites under it: the command loop and connection manager, the
# board thread, the commands, acquisition, spectra, list mode, configuration
# database, high voltage, the register-level device's server, the crash
# test, the stop drain, the shutdown, the end-to-end runs and replays, list
# mode over TCP and the guard of a server without a board. Every process's reports (the test programs' and the server processes'
# they start) go to build-tsan/tsan-reports/; the script exits non-zero when a
# suite fails or any report was written.
#
#   tools/run-tsan.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

suites=(server_loop_test server_process_test server_commands_test server_commands_handlers_test
        server_params_test acquisition_inprocess_test acquisition_server_test spectra_test
        spectra_server_test list_mode_test mcs_dt_gain_test mcs_dt_gain_server_test configuration_test
        high_voltage_commands_test high_voltage_server_test morvane_server_test crash_test
        stopdrain_test shutdown_test endtoend_test replayopen_test list_mode_server_test server_guard_test)

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
jobs=${JOBS:-$(nproc)}
cmake -S . -B build-tsan -G Ninja -DMORVANE_TSAN=ON -DMORVANE_BUILD_TESTS=ON "${launcher[@]}" >/dev/null
cmake --build build-tsan -j "$jobs" --target "${suites[@]}" MorvaneServer Kelsor

reports=$root/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="log_path=$reports/report second_deadlock_stack=1 suppressions=$root/tools/tsan-suppressions.txt ${TSAN_OPTIONS:-}"
regex="^($(IFS='|'; echo "${suites[*]}"))\\."
status=0
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R "$regex" || status=$?
if compgen -G "$reports/report.*" >/dev/null; then
  echo "ThreadSanitizer reports (all in $reports):"
  grep -h -A4 -E "WARNING: ThreadSanitizer|ERROR: ThreadSanitizer" "$reports"/report.* | head -80
  status=1
fi
exit $status
