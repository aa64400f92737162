#!/usr/bin/env bash
# Formats every C++ source of the repository with clang-format and the
# repository's .clang-format.
#
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   change nothing; list the files that differ
#                               and fail if there are any (part of test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

# The tracked sources when this is a git checkout, else every source outside
# the build trees.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -co --exclude-standard -- '*.cpp' '*.hpp')
else
  mapfile -t files < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.hpp' \) -print)
fi

if [ "$check" -eq 0 ]; then
  clang-format -i "${files[@]}"
  exit 0
fi

differ=()
for file in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
    differ+=("$file")
  fi
done
if [ "${#differ[@]}" -ne 0 ]; then
  printf 'not formatted: %s\n' "${differ[@]}" >&2
  echo "run scripts/format.sh to format them" >&2
  exit 1
fi
echo "formatted: ${#files[@]} files"
