#!/usr/bin/env bash
# Builds the libFuzzer build (clang, ASan+UBSan, the whole project) in
# build-fuzz/ and runs every fuzz target, one after the other.
#
#   scripts/fuzz.sh --smoke      a few seconds per target, starting from the
#                                seed corpus in fuzz/corpus/ (part of test.sh)
#   scripts/fuzz.sh [SECONDS]    long runs: each target until SECONDS (default
#                                1800) or FUZZ_RUNS executions (default 10
#                                million), whichever comes first, niced; the
#                                corpus grows in build-fuzz/corpus/<target>
#
# A crash, leak, sanitizer report or failed check stops the script with the
# reproducer in build-fuzz/artifacts/ (rerun: build-fuzz/fuzz/<target> <file>).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

smoke=0
seconds=1800
case "${1:-}" in
  --smoke) smoke=1; seconds=${FUZZ_SMOKE_SECONDS:-5} ;;
  "") ;;
  *[!0-9]*) echo "usage: $0 [--smoke | SECONDS]" >&2; exit 2 ;;
  *) seconds=$1 ;;
esac
runs=${FUZZ_RUNS:-10000000}

# FUZZ_TARGETS="a b" runs only those.
read -r -a targets <<<"${FUZZ_TARGETS:-config_document agent_options topic_dispatch}"

# Only the fuzz targets and what they link are built; the suites have builds
# of their own.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DORQ_BUILD_FUZZ=ON -DORQ_WERROR=ON \
  -DORQ_BUILD_TESTS=OFF -DORQ_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzz}"

mkdir -p build-fuzz/artifacts build-fuzz/work
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

for target in "${targets[@]}"; do
  binary=$root/build-fuzz/fuzz/${target}_fuzz
  seeds=$root/fuzz/corpus/$target
  log=$root/build-fuzz/${target}.log
  if [ "$smoke" -eq 1 ]; then
    # A scratch corpus: the seeds in the repository are only read.
    corpus=$(mktemp -d)
    flags=(-max_total_time="$seconds")
    nice_cmd=()
  else
    corpus=$root/build-fuzz/corpus/$target
    mkdir -p "$corpus"
    flags=(-max_total_time="$seconds" -runs="$runs")
    nice_cmd=(nice -n 15)
  fi
  echo "== $target"
  status=0
  # Run from a scratch directory: nothing the target reads by a relative name
  # can be a file of the build.
  (cd build-fuzz/work &&
    "${nice_cmd[@]}" "$binary" "${flags[@]}" -print_final_stats=1 \
      -artifact_prefix="$root/build-fuzz/artifacts/${target}-" \
      "$corpus" "$seeds" >"$log" 2>&1) || status=$?
  if [ "$smoke" -eq 1 ]; then
    rm -rf "$corpus"
  fi
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "== $target FAILED (log: $log, reproducer in build-fuzz/artifacts/)" >&2
    exit 1
  fi
  # The figures of the run: executions, speed, corpus, coverage.
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" | tail -n 2 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
done
