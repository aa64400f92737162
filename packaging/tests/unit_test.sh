#!/usr/bin/env bash
# systemd-analyze verify on an instance of the service template, with the
# unit's ExecStart pointed at the agent just built. Exit 77 (skipped) without
# systemd.
#
#   unit_test.sh <dir holding vusk-debug-agent@.service> <agent binary> <work dir>
set -euo pipefail
packaging=$1 agent=$2 work=$3
if ! command -v systemd-analyze >/dev/null; then
  echo "skipped: systemd-analyze is not installed"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"
sed "s|^ExecStart=[^ ]*|ExecStart=$agent|" "$packaging/vusk-debug-agent@.service" >"$work/vusk-debug-agent@.service"
ln -s "vusk-debug-agent@.service" "$work/vusk-debug-agent@adapter.service"
# Anything verify prints is a finding, even where it exits 0.
report=$(cd "$work" && systemd-analyze verify --man=no "$work/vusk-debug-agent@adapter.service" 2>&1) || {
  printf '%s\n' "$report"
  exit 1
}
if [ -n "$report" ]; then
  printf '%s\n' "$report"
  exit 1
fi
echo "verified: vusk-debug-agent@adapter.service"
