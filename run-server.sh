#!/usr/bin/env bash
# Builds the optimised tree and starts the server on the default simulated
# board with the shipped definitions. Extra arguments go to the server, e.g.
#   ./run-server.sh -p 7000
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build

export DRAVIKDIR="${DRAVIKDIR:-$PWD/definitions}"
export MORVANESERVERDIR="${MORVANESERVERDIR:-$PWD/definitions}"

# The listening port: the last -p among the arguments, else the default.
port=56342
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    -p) if ((i + 1 < ${#args[@]})); then port="${args[i + 1]}"; fi ;;
    -p*) port="${args[i]#-p}" ;;
  esac
done

# The working folder, chosen as the server chooses it.
if [ -n "${ZARNWORKINGDIR:-}" ]; then
  workdir="$ZARNWORKINGDIR"
elif [ -n "${APPDATA:-}" ]; then
  workdir="$APPDATA/MorvaneServer"
elif [ -n "${XDG_DATA_HOME:-}" ]; then
  workdir="$XDG_DATA_HOME/MorvaneServer"
else
  workdir="$HOME/.local/share/MorvaneServer"
fi

# One folder for every log file, whatever the server's current folder.
export ZARN_LOG_DIR="${ZARN_LOG_DIR:-$workdir/logs}"
echo "MorvaneServer listens on TCP port $port (every interface, unless -N names a host)."
echo "Working folder: $workdir"
echo "Log files: $ZARN_LOG_DIR"
exec build/bin/MorvaneServer "$@"
