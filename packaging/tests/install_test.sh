#!/usr/bin/env bash
# Installs the build into a scratch prefix (the tree the header, README and
# example tests build on) and checks its layout: the headers under
# include/orq, nothing at include/core or include/config_parser, the unit's
# ExecStart on the agent of this prefix; then a library-only install
# (--component dev) into a second prefix holds the libraries and no agent.
#
#   install_test.sh <build dir> <prefix>
set -euo pipefail
build=$1 prefix=$2
rm -rf "$prefix" "$prefix-dev"
mkdir -p "$prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
status=0
fail() { echo "$*"; status=1; }
for f in bin/vusk-debug-agent include/orq/core/events_loop.hpp include/orq/core/udp/socket.hpp \
  include/orq/config_parser/config.hpp lib/systemd/system/vusk-debug-agent@.service; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
for f in liborq_core.a liborq_config_parser.a pkgconfig/orq-core.pc pkgconfig/orq-config-parser.pc \
  cmake/orq/orqConfig.cmake; do
  [ -n "$(find "$prefix" -path "*/$f")" ] || fail "not installed: $f"
done
for d in include/core include/config_parser; do
  [ ! -e "$prefix/$d" ] || fail "installed at $d: a directory that belongs to nobody in particular"
done
exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$prefix/lib/systemd/system/vusk-debug-agent@.service")
[ "$exec_start" = "$prefix/bin/vusk-debug-agent" ] || fail "the unit's ExecStart names $exec_start"

cmake --install "$build" --prefix "$prefix-dev" --component dev >/dev/null
[ -e "$prefix-dev/include/orq/core/core.hpp" ] || fail "--component dev: no headers"
[ -n "$(find "$prefix-dev" -name liborq_core.a)" ] || fail "--component dev: no library"
[ ! -e "$prefix-dev/bin" ] || fail "--component dev installed bin/"
rm -rf "$prefix-dev"
exit $status
