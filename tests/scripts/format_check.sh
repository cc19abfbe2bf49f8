#!/usr/bin/env bash
# Every C and C++ source of the project is formatted as .clang-format says.
set -u
src="$2"
cd "$src" || exit 1
command -v clang-format >/dev/null || { echo "FAIL: clang-format missing"; exit 1; }
if git rev-parse --git-dir >/dev/null 2>&1; then
  files=$(git ls-files '*.cpp' '*.h' '*.c')
else
  files=$(find src sim tests bench fuzz -name '*.cpp' -o -name '*.h' -o -name '*.c')
fi
# shellcheck disable=SC2086
out=$(clang-format --dry-run --Werror $files 2>&1)
if [ -n "$out" ]; then
  listed=$(echo "$out" | grep -E '^[^ ].*warning' | cut -d: -f1 | sort -u)
  if [ -n "$listed" ]; then
    echo "$listed" | sed 's/^/not formatted: /'
    echo "run: clang-format -i <files>"
  else
    echo "clang-format $(clang-format --version): $(echo "$out" | head -n 20)"
  fi
  exit 1
fi
echo PASS
