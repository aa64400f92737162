#!/usr/bin/env bash
# Builds the .deb as a packager would (a build installed under /usr, cpack)
# and checks what it carries, its dependencies and the unit and man page in it.
#
#   deb_test.sh <source dir> <work dir>
set -euo pipefail
source=$1 work=$2
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
mkdir -p "$work"
build=$work/build
cmake -S "$source" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DORQ_BUILD_TESTS=OFF -DORQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target vusk-debug-agent vusk_debug_agent_man -j2 >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/*.deb)
echo "package: $(basename "$deb")"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
expected=(
  ./usr/bin/vusk-debug-agent
  ./usr/lib/systemd/system/vusk-debug-agent@.service
  ./usr/lib/sysusers.d/vusk.conf
  ./etc/logrotate.d/vusk-debug-agent
  ./usr/share/man/man1/vusk-debug-agent.1.gz
  ./usr/share/doc/vusk-debug-agent/examples/vusk-debug-agent@adapter.json
)
status=0
for path in "${expected[@]}"; do
  grep -qxF "$path" <<<"$contents" || { echo "missing from the package: $path"; status=1; }
done
# The libraries and headers are for developers, not in the operator's package.
if grep -E '\.a$|/include/' <<<"$contents"; then
  echo "development files in the package"
  status=1
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vusk-debug-agent ] || { echo "Package: $(field Package)"; status=1; }
depends=$(field Depends)
echo "Depends: $depends"
for library in libzmq5 libjsoncpp25 libcurl4 libhiredis0.14 libsystemd0 libc6 libstdc++6; do
  grep -q "\b$library\b" <<<"$depends" || { echo "missing dependency: $library"; status=1; }
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx './postinst' || { echo "no postinst"; status=1; }
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/logrotate.d/vusk-debug-agent ||
  { echo "logrotate snippet not a conffile"; status=1; }

# The unit and the man page as shipped.
root=$work/root
rm -rf "$root"
dpkg-deb -x "$deb" "$root"
if command -v systemd-analyze >/dev/null; then
  bash "$source/packaging/tests/unit_test.sh" "$root/usr/lib/systemd/system" "$root/usr/bin/vusk-debug-agent" \
    "$work/unit" || status=1
fi
warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/vusk-debug-agent.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "man page: $warnings"; status=1; }
exit $status
