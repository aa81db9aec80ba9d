#!/usr/bin/env bash
# Fails, naming the files, when a tracked C or C++ source differs from what clang-format-14 makes
# of it under .clang-format. `clang-format-14 -i FILE` formats one.
set -euo pipefail
cd "$(dirname "$0")/.."
differ=()
while IFS= read -r file; do
  clang-format-14 --dry-run -Werror "$file" >/dev/null 2>&1 || differ+=("$file")
done < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h')
if [ ${#differ[@]} -gt 0 ]; then
  echo "not formatted as .clang-format says (clang-format-14 -i FILE):" >&2
  printf '  %s\n' "${differ[@]}" >&2
  exit 1
fi
