#!/usr/bin/env bash
# Requests per second that vireo2-sim answers on loopback Modbus TCP, measured
# with libmodbus masters (vireo2-sim-load). Usage:
#   bench/sim_throughput.sh [BUILD_BIN_FOLDER] [CONNECTIONS] [SECONDS]
# The simulator is never meant to be the bottleneck: 20,000 req/s or more.
set -euo pipefail
bin=${1:-build/default/bin}
connections=${2:-4}
seconds=${3:-5}
out=$(mktemp)
"${bin}/vireo2-sim" --tcp 127.0.0.1:0 --static > "${out}" &
sim=$!
trap 'kill -TERM ${sim} 2>/dev/null; wait ${sim} 2>/dev/null; rm -f "${out}"' EXIT
for _ in $(seq 50); do
  grep -q '^ready' "${out}" && break
  sleep 0.1
done
port=$(sed -n 's/^tcp .*:\([0-9]*\)$/\1/p' "${out}")
[ -n "${port}" ] || { echo "simulator did not start" >&2; exit 1; }
echo "120 registers per request, ${connections} connections, ${seconds} s:"
"${bin}/vireo2-sim-load" --port "${port}" --connections "${connections}" --seconds "${seconds}"
echo "1 register per request:"
"${bin}/vireo2-sim-load" --port "${port}" --connections "${connections}" --seconds "${seconds}" --count 1
