#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: packages already present are left alone and apt is not touched.
set -euo pipefail

packages=(
  build-essential cmake ccache pkg-config
  libboost1.81-dev libzmq3-dev cppzmq-dev
  libcurl4-openssl-dev libhiredis-dev libjsoncpp-dev libsystemd-dev
  libgtest-dev libgmock-dev
  redis-server
  systemd dpkg-dev man-db file
  iproute2
  # the fuzz build: clang, its fuzzer runtime, llvm-symbolizer
  clang libclang-rt-14-dev llvm
  # the format check
  clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
