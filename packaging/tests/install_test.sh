#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds the consumer example
# against it twice, once with find_package(orq CONFIG) and once with
# pkg-config, and runs both.
#
#   install_test.sh <build dir> <source dir> <work dir>
set -euo pipefail
build=$1 source=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/vusk-debug-agent include/core/events_loop.hpp include/config_parser/config.hpp; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
for f in liborq_core.a liborq_config_parser.a pkgconfig/orq-core.pc cmake/orq/orqConfig.cmake; do
  [ -n "$(find "$prefix" -path "*/$f")" ] || { echo "not installed: $f"; exit 1; }
done

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

echo "== find_package(orq CONFIG)"
cmake -S "$source/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" "${launcher[@]}" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/orq-consumer" "ipc://$work/cmake.sock"

echo "== pkg-config"
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name orq-core.pc)")
pkg-config --validate orq-core
pkg-config --validate orq-config-parser
compiler=(g++)
command -v ccache >/dev/null && compiler=(ccache g++)
# shellcheck disable=SC2046
"${compiler[@]}" -std=c++17 "$source/examples/consumer/main.cpp" -o "$work/orq-consumer-pc" \
  $(pkg-config --cflags --libs orq-core orq-config-parser)
"$work/orq-consumer-pc" "ipc://$work/pkg-config.sock"
