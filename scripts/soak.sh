#!/usr/bin/env bash
# A long run under faults (not a test): the agent taps the test broker while a
# plain publisher sends 50,000 numbered frames a second, and the broker is
# killed and restarted every 30 seconds. Prints the loss, duplicate, torn-line,
# memory, descriptor and CPU figures; exits non-zero when the agent lost
# frames outside a restart, wrote any twice or torn, or leaked descriptors.
#
#   scripts/soak.sh [seconds] [restart-period-seconds] [frames-per-second]
#                   (defaults: 600, 30, 50000)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DORQ_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)" --target broker_restart_soak
exec build/bench/broker_restart_soak "$@"
