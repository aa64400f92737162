#!/usr/bin/env bash
# Builds the README's one-file program against the installed tree both ways
# the README gives, taken from the README itself: with its CMake project (set
# to C++14, which the targets must raise to 17) and with its pkg-config line,
# run as written; runs both. Then a located exception thrown from a file
# outside the source tree names that file whole, and one from inside reads
# as the tree's relative path.
#
#   readme_test.sh <README.md> <prefix> <work dir>
set -euo pipefail
readme=$1 prefix=$2 work=$3
source_root=$(cd "$(dirname "$readme")" && pwd)
rm -rf "$work"
mkdir -p "$work/cmake" "$work/pkg-config"
status=0
fail() { echo "$*"; status=1; }

# The fenced block after the marker line "<!-- file: NAME -->".
block() {
  awk -v marker="<!-- file: $1 -->" '
    $0 == marker { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$readme"
}
block hello.cpp >"$work/hello.cpp"
block CMakeLists.txt >"$work/cmake/CMakeLists.txt"
grep -q 'int main' "$work/hello.cpp" || { echo "no hello.cpp in the README"; exit 1; }
grep -q 'find_package(orq' "$work/cmake/CMakeLists.txt" || { echo "no CMake project in the README"; exit 1; }
cp "$work/hello.cpp" "$work/cmake/" && cp "$work/hello.cpp" "$work/pkg-config/"
command_line=$(awk '$0 == "<!-- command: pkg-config -->" { found = 1; next } found && NF { sub(/^    /, ""); print; exit }' "$readme")
case $command_line in
  "g++ -std=c++17 hello.cpp \$(pkg-config --cflags --libs orq-core orq-config-parser)"*) ;;
  *) echo "unexpected pkg-config line in the README: $command_line"; exit 1 ;;
esac

runs() {  # <program>: three ticks on standard error, exit 0
  local err
  err=$(timeout 60 "$1" 2>&1 >/dev/null) || { fail "$1 failed: $err"; return; }
  grep -q 'tick 3' <<<"$err" || fail "$1 did not tick three times: $err"
}

echo "== CMake, the project set to C++14"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$work/cmake" -B "$work/cmake/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_STANDARD=14 \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "${launcher[@]}" >/dev/null
cmake --build "$work/cmake/build" >/dev/null
# Raised to 17: no -std=...14 flag (g++ takes 17 without one, and CMake then
# gives none).
if grep -E -- '-std=(gnu|c)\+\+(98|03|11|14)' "$work/cmake/build/compile_commands.json"; then
  fail "compiled below C++17"
fi
runs "$work/cmake/build/hello"

echo "== pkg-config: $command_line"
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name orq-core.pc)")
(cd "$work/pkg-config" && bash -euo pipefail -c "$command_line")
runs "$work/pkg-config/hello"

echo "== located exceptions"
probe_source='#include <core/exception.hpp>
#include <cstdio>
int main() {
    try {
        throw orq::libs::core::exception("thrown here", ORQ_SOURCE_LOCATION);
    } catch (const orq::libs::core::located_exception& e) {
        std::puts(e.what());
    }
}'
probe() {  # <dir> <expected text>: the probe compiled there, by its absolute path
  printf '%s\n' "$probe_source" >"$1/probe.cpp"
  # shellcheck disable=SC2046
  g++ -std=c++17 "$1/probe.cpp" $(pkg-config --cflags --libs orq-core) -o "$1/probe"
  local said
  said=$("$1/probe")
  [ "$said" = "$2" ] || fail "probe in $1 said: $said, not: $2"
}
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT
case $outside/ in
  "$source_root"/*) echo "skipped the outside case: the temporary directory is inside the source tree" ;;
  *) probe "$outside" "$outside/probe.cpp:5 thrown here" ;;
esac
mkdir -p "$work/inside"
case $work/ in
  "$source_root"/*) probe "$work/inside" "${work#"$source_root"}/inside/probe.cpp:5 thrown here" ;;
  *) echo "skipped the inside case: the work directory is outside the source tree" ;;
esac
exit $status
