#!/usr/bin/env bash
# The main job end to end.
# 1. The launcher: a host loads the launcher library (with its companion program in the appended
#    archive), calls MakeBackupCD on a sample folder and prints the result; the companion program
#    backs the folder up into a QOBZ archive, which is then listed.
# 2. The command-line tool makes, lists, tests and extracts an archive.
set -euo pipefail
umask 022   # the launcher refuses a folder that other users may write to
build=${1:-build}
bin=$(cd "$build/bin" && pwd)
qobz=$bin/qobz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== The launcher"
offset=$(cat "$build/launcher/offset.txt")
app="$work/Host App"                     # where the host keeps the library
mkdir -p "$app" "$work/My Documents/letters"
cp "$build/lib/libqobzlaunch.so" "$app/"
cp README.md "$work/My Documents/"
seq 1 5000 > "$work/My Documents/letters/numbers.txt"
printf 'Dear reader,\nthis file is backed up.\n' > "$work/My Documents/letters/letter.txt"
echo "== the library: $(stat -c %s "$app/libqobzlaunch.so") bytes; the archive appended at $offset holds:"
"$qobz" l "$app/libqobzlaunch.so" --offset "$offset"
export QOBZ_HANDOFF_DIR="$work/handoff"   # the stand-in for the registry key
export DORVANE_BACKUP_DIR="$work/Backups" # where the companion puts the backup
echo "== qobz_host libqobzlaunch.so \"Week 12\" \"Weekly backup\" clBtnFace clWindowText \"$work/My Documents\""
"$bin/qobz_host" "$app/libqobzlaunch.so" "Week 12" "Weekly backup" clBtnFace clWindowText \
  "$work/My Documents" || true
echo "== hand-off values after the call:"
for v in "$QOBZ_HANDOFF_DIR"/Software/Halcrest/Dorvane/6.0/*; do
  echo "   $(basename "$v") = $(cat "$v")"
done
echo "== the library's folder after the call (the companion files are gone again):"
ls "$app"
echo "== the backup: qobz l \"$DORVANE_BACKUP_DIR/Week 12.qbz\""
"$qobz" l "$DORVANE_BACKUP_DIR/Week 12.qbz"
"$qobz" t "$DORVANE_BACKUP_DIR/Week 12.qbz"
echo

echo "== The archive tool"
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
