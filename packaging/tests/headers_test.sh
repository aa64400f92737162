#!/usr/bin/env bash
# Compiles each installed header alone (a source that includes only it), with
# the flags of the pkg-config files and warnings as errors, and checks that
# every file outside the prefix those compiles read comes from the compiler
# and C library or from a package liborq-dev depends on: what the CMake
# package and the pkg-config files declare (cppzmq included) and nothing
# else.
#
#   headers_test.sh <prefix> <work dir> <liborq-dev's dependencies, one argument each>
set -euo pipefail
prefix=$1 work=$2
shift 2
declared=$(printf '%s\n' "$@" | tr '|' '\n' | tr -d ' ' | grep -v '^$')
rm -rf "$work"
mkdir -p "$work"
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name orq-core.pc)")
read -r -a cflags <<<"$(pkg-config --cflags orq-core orq-config-parser)"
compiler=(g++)
command -v ccache >/dev/null && compiler=(ccache g++)

headers=$(cd "$prefix/include/orq" && find . -name '*.hpp' | sed 's|^\./||' | sort)
[ "$(wc -l <<<"$headers")" -ge 30 ] || { echo "too few headers installed: $headers"; exit 1; }
compile_one() {  # <header>
  local name=${1//\//_}
  printf '#include <%s>\n' "$1" >"$work/$name.cpp"
  if ! "${compiler[@]}" -std=c++17 -Wall -Wextra -Werror -fsyntax-only -MD -MF "$work/$name.d" "${cflags[@]}" \
    "$work/$name.cpp" 2>"$work/$name.log"; then
    echo "== $1 does not compile alone:"
    head -20 "$work/$name.log"
    return 1
  fi
}
status=0
for header in $headers; do
  compile_one "$header" || status=1
done
[ $status -eq 0 ] || exit 1
echo "$(wc -l <<<"$headers") headers compile alone"

# Where each file read comes from: its package, found by the path the
# compiler used or else by the path it resolves to.
command -v dpkg >/dev/null || { echo "no dpkg: origins not checked"; exit 0; }
sed 's/\\$//;s/^[^:]*://' "$work"/*.d | tr ' ' '\n' | grep '^/' | grep -v "^$work/" | grep -v "^$prefix/" |
  sort -u >"$work/read.txt"
owners() {  # paths on standard input -> "<package>[, <package>]<TAB><path>" lines
  xargs -r dpkg -S 2>/dev/null | sed -n 's/^\([^/]*\): \(\/.*\)$/\1\t\2/p' | sed 's/:[a-z0-9]*\(,\|\t\)/\1/g' || true
}
owners <"$work/read.txt" >"$work/owners.txt"
cut -f2 "$work/owners.txt" | sort -u | comm -23 "$work/read.txt" - >"$work/unowned.txt"
: >"$work/resolved-owners.txt"
while read -r path; do
  resolved=$(readlink -f "$path")
  line=$(owners <<<"$resolved")
  if [ -n "$line" ]; then
    echo "$line" >>"$work/resolved-owners.txt"
  else
    echo "read a file of no package: $path"
    status=1
  fi
done <"$work/unowned.txt"
toolchain='^(libc6-dev|linux-libc-dev|libstdc\+\+-[0-9]+-dev|libgcc-[0-9]+-dev|gcc-[0-9]+)$'
packages=$(cat "$work/owners.txt" "$work/resolved-owners.txt" | cut -f1 | tr ',' '\n' | tr -d ' ' | sort -u)
echo "$(wc -l <"$work/read.txt") files read outside the prefix, from: $(tr '\n' ' ' <<<"$packages")"
for package in $(grep -vE "$toolchain" <<<"$packages" | grep -vxF -f <(echo "$declared") || true); do
  echo "read files of $package, which is not declared:"
  grep -P "^([^\t]*[ ,])?${package//+/\\+}(,[^\t]*)?\t" "$work/owners.txt" "$work/resolved-owners.txt" | head -3
  status=1
done
exit $status
