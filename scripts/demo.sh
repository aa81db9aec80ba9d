#!/usr/bin/env bash
# The runner's main job: builds, lays out a throw-away installation with QuorlinRunner and
# version 1.0.0 of the stand-in application, lets the application stage a patch to 2.0.0 with
# "force" true, runs the runner once, and shows the log lines and which versions ran.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh"

build="${QR_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)" --target QuorlinRunner quorlin_standin standin_copy mkpatch

demo="$(mktemp -d)"
trap 'rm -rf "$demo"' EXIT
install="$demo/install"
roaming="$demo/roaming"
mkdir -p "$install" "$roaming" "$demo/home" "$demo/work" "$demo/update"
cp "$build/app/runner/QuorlinRunner" "$install/QuorlinRunner"
"$build/tests/standin/standin_copy" "$build/tests/standin/quorlin_standin" "$install/Quorlin.exe" 1.0.0

# What the application would download: a patch from 1.0.0 to 2.0.0 and its manifest.
"$build/tests/standin/standin_copy" "$install/Quorlin.exe" "$demo/update/Quorlin-2.0.0.exe" 2.0.0
"$build/tools/mkpatch/mkpatch" -c lzma2 "$install/Quorlin.exe" "$demo/update/Quorlin-2.0.0.exe" "$demo/update/Patch"
echo '{"force": true}' > "$demo/update/update.json"

echo
echo "== QuorlinRunner (version 1.0.0 installed; it stages the update while it runs) =="
code=0
(cd "$demo/work" && env -i PATH=/usr/bin:/bin HOME="$demo/home" XDG_DATA_HOME="$roaming" \
  QR_STANDIN_JOURNAL="$demo/journal" \
  QR_STANDIN_RUN_1_0_0="stage|$demo/update/Patch|$demo/update/update.json" \
  "$install/QuorlinRunner") || code=$?
echo "== exit code: $code =="

echo
echo "== log lines ($roaming/Quorlin/logs.log) =="
cat "$roaming/Quorlin/logs.log"
echo
echo "== what the application saw, in order =="
cat "$demo/journal"
echo
echo "== data folder =="
ls -l "$roaming/Quorlin"
ran="$(grep '^run ' "$demo/journal" | cut -d' ' -f2 | tr '\n' ' ')"
echo
echo "== versions that ran: $ran=="
if [ "$ran" != "1.0.0 2.0.0 " ]; then
  echo "== expected 1.0.0, then 2.0.0 ==" >&2
  exit 1
fi
