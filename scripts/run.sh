#!/usr/bin/env bash
# Sets everything up and runs the demo: a broker, a demo service that logs
# through the runtime library to the broker's debug port, and the agent tapping
# the broker's output for the topic "&" (every service's log lines), writing
# them to standard output. Ctrl-C stops all three.
#
# Ports can be changed with DEBUG_PORT and OUTPUT_PORT (defaults 7700, 7701).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >&2
cmake -S . -B build -DORQ_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)" --target vusk-debug-agent vusk-test-broker vusk-demo-service >&2

debug_port=${DEBUG_PORT:-7700}
output_port=${OUTPUT_PORT:-7701}

build/tools/vusk-test-broker -d "tcp://127.0.0.1:$debug_port" -o "tcp://127.0.0.1:$output_port" &
broker=$!
build/tools/vusk-demo-service -d "tcp://127.0.0.1:$debug_port" &
demo=$!
cleanup() {
  kill -TERM "$demo" "$broker" 2>/dev/null || true
  wait "$demo" "$broker" 2>/dev/null || true
}
trap cleanup EXIT

echo "Tapping the broker's output on port $output_port for topic '&' (Ctrl-C to stop)" >&2
build/src/vusk-debug-agent -a "$output_port" -s '&'
