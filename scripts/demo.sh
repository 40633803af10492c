#!/usr/bin/env bash
# The main job end to end: the command-line tool makes, lists, tests and extracts an archive.
set -euo pipefail
build=${1:-build}
qobz=$(cd "$build/bin" && pwd)/qobz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/docs/notes"
cp README.md "$work/docs/"
printf 'abc' > "$work/docs/notes/A.TXT"
seq 1 20000 > "$work/docs/notes/numbers.txt"
cd "$work"
for method in NON RLE LZH LH5; do
  echo "== qobz a demo-$method.qbz docs --method $method"
  "$qobz" a "demo-$method.qbz" docs --method "$method"
  "$qobz" l "demo-$method.qbz"
done
echo "== qobz t demo-LH5.qbz"
"$qobz" t demo-LH5.qbz
echo "== qobz x demo-LH5.qbz -C out --mkdirs"
mkdir out && "$qobz" x demo-LH5.qbz -C out --mkdirs
diff -r docs out/docs && echo "extracted tree matches the original"
