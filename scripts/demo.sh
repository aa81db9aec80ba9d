#!/usr/bin/env bash
# Builds the project and applies the bundled sample patch with hpatchi: shows the driver's trace,
# its result code and the file it wrote.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh"

build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)" --target hpatchi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sample="$root/tests/data/sample"
cp "$sample/old" "$work/old"
cp "$sample/patch" "$work/patch"

echo
echo "== hpatchi old patch new =="
code=0
(cd "$work" && "$build/tools/hpatchi/hpatchi" old patch new) || code=$?
echo "== result code: $code =="
if [ "$code" -ne 0 ]; then
  exit "$code"
fi
echo
echo "== new ($(wc -c < "$work/new") bytes, from old of $(wc -c < "$work/old") bytes and a patch of $(wc -c < "$work/patch") bytes) =="
cat "$work/new"
if cmp -s "$work/new" "$sample/new"; then
  echo "== the new file matches the expected one =="
else
  echo "== the new file differs from the expected one ==" >&2
  exit 1
fi
