#!/usr/bin/env bash
# Builds the .deb packages as a packager would, from a build tree left at the
# default prefix (the packages install under /usr all the same), and checks
# what each carries and depends on: the agent's with its unit and man page,
# liborq-dev with the libraries, headers, CMake package, pkg-config files and
# examples; a consumer is then built against liborq-dev's files alone.
#
#   deb_test.sh <source dir> <work dir> <liborq-dev's dependencies, one argument each>
set -euo pipefail
source=$1 work=$2
shift 2
dev_depends=("$@")
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
mkdir -p "$work"
build=$work/build
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
rm -f "$build/CMakeCache.txt"
cmake -S "$source" -B "$build" -DORQ_BUILD_TESTS=OFF -DORQ_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr/local' "$build/CMakeCache.txt" || { echo "build tree not at /usr/local"; exit 1; }
cmake --build "$build" --target vusk-debug-agent vusk_debug_agent_man -j2 >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
agent_deb=$(ls "$build"/vusk-debug-agent_*.deb)
dev_deb=$(ls "$build"/liborq-dev_*.deb)
echo "packages: $(basename "$agent_deb") $(basename "$dev_deb")"
status=0
fail() { echo "$*"; status=1; }
expect_files() {  # <contents> <path>...
  local contents=$1 path
  shift
  for path in "$@"; do
    grep -qxF "$path" <<<"$contents" || fail "missing from the package: $path"
  done
}

echo "== vusk-debug-agent"
contents=$(dpkg-deb -c "$agent_deb" | awk '{print $6}')
expect_files "$contents" \
  ./usr/bin/vusk-debug-agent \
  ./usr/lib/systemd/system/vusk-debug-agent@.service \
  ./usr/lib/sysusers.d/vusk.conf \
  ./etc/logrotate.d/vusk-debug-agent \
  ./usr/share/man/man1/vusk-debug-agent.1.gz \
  ./usr/share/doc/vusk-debug-agent/examples/vusk-debug-agent@adapter.json
# Nothing outside /usr and /etc, the libraries and headers only in liborq-dev.
if grep -vE '^\./$|^\./(usr|etc)/' <<<"$contents"; then fail "files outside /usr and /etc"; fi
if grep -E '\.a$|/include/|/usr/local' <<<"$contents"; then fail "development or /usr/local files in the package"; fi

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$agent_deb" Package)" = vusk-debug-agent ] || fail "Package: $(field "$agent_deb" Package)"
depends=$(field "$agent_deb" Depends)
echo "Depends: $depends"
for library in libzmq5 libjsoncpp25 libcurl4 libhiredis0.14 libsystemd0 libc6 libstdc++6; do
  grep -q "\b$library\b" <<<"$depends" || fail "missing dependency: $library"
done
dpkg-deb --ctrl-tarfile "$agent_deb" | tar -t | grep -qx './postinst' || fail "no postinst"
dpkg-deb --ctrl-tarfile "$agent_deb" | tar -xO ./conffiles | grep -qx /etc/logrotate.d/vusk-debug-agent ||
  fail "logrotate snippet not a conffile"

root=$work/root
rm -rf "$root"
dpkg-deb -x "$agent_deb" "$root"
# The unit starts a program the package carries.
exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$root/usr/lib/systemd/system/vusk-debug-agent@.service")
echo "ExecStart program: $exec_start"
[ "$exec_start" = /usr/bin/vusk-debug-agent ] || fail "ExecStart names $exec_start"
if [ ! -x "$root$exec_start" ] || ! grep -qxF ".$exec_start" <<<"$contents"; then
  fail "ExecStart names no program of the package"
fi
if command -v systemd-analyze >/dev/null; then
  bash "$source/packaging/tests/unit_test.sh" "$root/usr/lib/systemd/system" "$root/usr/bin/vusk-debug-agent" \
    "$work/unit" || status=1
fi
warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/vusk-debug-agent.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page: $warnings"

echo "== liborq-dev"
contents=$(dpkg-deb -c "$dev_deb" | awk '{print $6}')
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
expect_files "$contents" \
  "./usr/$libdir/liborq_core.a" "./usr/$libdir/liborq_config_parser.a" \
  "./usr/$libdir/cmake/orq/orqConfig.cmake" "./usr/$libdir/cmake/orq/orqConfigVersion.cmake" \
  "./usr/$libdir/cmake/orq/orqTargets.cmake" \
  "./usr/$libdir/pkgconfig/orq-core.pc" "./usr/$libdir/pkgconfig/orq-config-parser.pc" \
  ./usr/include/orq/core/core.hpp ./usr/include/orq/core/udp/socket.hpp ./usr/include/orq/config_parser/config.hpp \
  ./usr/share/doc/liborq-dev/examples/CMakeLists.txt \
  ./usr/share/doc/liborq-dev/examples/consumer/CMakeLists.txt ./usr/share/doc/liborq-dev/examples/consumer/main.cpp
# Every header of the source tree, and nothing of the agent's.
for header in $(cd "$source/libs/cpp-libraries" && find core/src/include config-parser/src/include -name '*.hpp'); do
  expect_files "$contents" "./usr/include/orq/${header#*/src/include/}"
done
if grep -E '/bin/|systemd|/etc/|vusk-debug-agent|/test\.cpp$|^\./usr/include/(core|config_parser)/' <<<"$contents"; then
  fail "files that do not belong to liborq-dev"
fi
[ "$(field "$dev_deb" Package)" = liborq-dev ] || fail "Package: $(field "$dev_deb" Package)"
depends=$(field "$dev_deb" Depends)
echo "Depends: $depends"
expected=$(printf '%s, ' "${dev_depends[@]}")
[ "$depends" = "${expected%, }" ] || fail "Depends is not: ${expected%, }"
if dpkg-deb --ctrl-tarfile "$dev_deb" | tar -t | grep -E 'postinst|conffiles'; then fail "maintainer scripts"; fi
# Each pkg-config module the packaged .pc files require, and Boost, comes
# from a package liborq-dev depends on.
owned_by_a_dependency() {  # <file>
  local owner
  owner=$(dpkg -S "$(readlink -f "$1")" 2>/dev/null | sed 's/:.*//;s/, /\n/g' | head -1) || true
  [ -n "$owner" ] || { fail "no package owns $1"; return; }
  grep -qE "(^|[ |,])${owner}([ |,]|\$)" <<<"$depends" || fail "$1 is from $owner, not a dependency"
}
dev_root=$work/dev-root
rm -rf "$dev_root"
dpkg-deb -x "$dev_deb" "$dev_root"
for module in $(sed -n 's/^Requires: //p' "$dev_root/usr/$libdir"/pkgconfig/orq-*.pc | tr -s ' ,' '\n' | sort -u); do
  owned_by_a_dependency "$(pkg-config --path "$module")"
done
owned_by_a_dependency /usr/include/boost/version.hpp

# The package's files alone serve a CMake consumer (the package is relocatable,
# so it is used where it was unpacked).
cmake -S "$dev_root/usr/share/doc/liborq-dev/examples/consumer" -B "$work/consumer" \
  -DCMAKE_PREFIX_PATH="$dev_root/usr" "${launcher[@]}" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/orq-consumer" "ipc://$work/consumer.sock" || fail "the consumer built on liborq-dev failed"
exit $status
