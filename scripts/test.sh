#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: a format check, a plain
# build, an AddressSanitizer + UndefinedBehaviorSanitizer build and a
# ThreadSanitizer build, then a short run of every fuzz target. Any failure or
# sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# No CCACHE_BASEDIR: it would make __FILE__ relative, and log lines and
# exceptions name files relative to the absolute source root.
jobs=$(nproc)

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DORQ_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== format"
bash scripts/format.sh --check

echo "== plain build"
build build
(cd build && ctest --output-on-failure -j"$jobs")

# A contributor runs the suite as a normal user: when this runs as root, run
# the plain suite once more as nobody (the build tree lent to it meanwhile;
# the packaging tests, which only build and inspect, are left out).
if [ "$(id -u)" -eq 0 ]; then
  if setpriv --reuid=nobody --regid=nogroup --clear-groups test -x "$PWD/build"; then
    echo "== plain build, as an unprivileged user"
    chown -R nobody:nogroup build
    status=0
    (cd build && setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
      env HOME=/tmp ctest --output-on-failure -j"$jobs" -LE packaging) || status=$?
    chown -R root:root build
    [ "$status" -eq 0 ]
  else
    echo "== skipped the unprivileged run: nobody cannot reach $PWD"
  fi
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DORQ_SANITIZE=address -DORQ_BUILD_BENCH=OFF
(cd build-asan &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs")

echo "== ThreadSanitizer"
build build-tsan -DORQ_SANITIZE=thread -DORQ_BUILD_BENCH=OFF
# TSAN_OPTIONS (with the suppressions) come with each test from CMake.
# ThreadSanitizer's runtime (GCC 12's) now and then holds an asynchronous
# signal back for good: a signal test's probe then waits in vain for its
# SIGINT, which the other builds never miss. Tests that failed run once more,
# by name, and only a second failure counts.
(cd build-tsan &&
  if ! ctest --output-on-failure -j"$jobs"; then
    echo "== ThreadSanitizer: running the failed tests once more"
    ctest --rerun-failed --output-on-failure -j"$jobs"
  fi)

echo "== libFuzzer smoke run (clang, ASan+UBSan; a few seconds per target)"
bash scripts/fuzz.sh --smoke
