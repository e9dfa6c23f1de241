#!/usr/bin/env bash
# Builds the optimised tree and starts the server on the default simulated
# board with the shipped definitions. Arguments go to the server, e.g.
#   ./run-server.sh -p 7000
# The server prints the port it listens on, its working folder and its log
# file once it serves, or why it could not start.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
jobs="${JOBS:-$(nproc)}" # JOBS: parallel build jobs, default every core
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$jobs"

export DRAVIKDIR="${DRAVIKDIR:-$PWD/definitions}"
export MORVANESERVERDIR="${MORVANESERVERDIR:-$PWD/definitions}"
exec build/bin/MorvaneServer "$@"
