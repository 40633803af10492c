#!/usr/bin/env bash
# Folders made below targets that start with a Windows path prefix, under Wine: the drive form
# "C:\...", "\\?\C:\...", "\\?\UNC\server\share\..." and "\\server\share\...". The share is a
# folder of this machine that Wine serves as \\srv\share (its dosdevices/unc/srv/share link).
# The roots themselves are never made: a share nobody serves and a drive that does not exist fail
# with EInOutError, and Wine's UNC folder gets no server of that name. Then the walk below a
# target, case by case (qobz_folder_paths --walk); a case Wine cannot set up says SKIPPED.
# Without a 32-bit Wine the 32-bit run is skipped (exit 77), saying why; wine64 is required.
# Usage: folder_paths.sh PROGRAM BITS   ($QOBZ_WINE: another Wine loader)
set -euo pipefail
program=$1 bits=$2
suite=windows.folder_paths_${bits}bit
source "$(dirname "$0")/wine_env.sh"
wine_setup
wine_probe "$program" 0

mkdir -p "$work/share" "$WINEPREFIX/dosdevices/unc/srv"
ln -s "$work/share" "$WINEPREFIX/dosdevices/unc/srv/share"
drive_c="$WINEPREFIX/drive_c"
[ ! -e "$WINEPREFIX/dosdevices/q:" ] || fail "drive Q: exists in a new prefix"
status=0
"$wine" "$program" 'C:\qobz\plain\a' '\\?\C:\qobz\long\a\b' '\\?\C:\qobz\long\a' \
  '\\srv\share\unc\a\b' '\\?\UNC\srv\share\long-unc\a' '\\srv\share' \
  '!\\nosrv\share\a' '!\\?\UNC\nosrv\share\a' '!\\?\Q:\a' > "$work/out.txt" 2>&1 || status=$?
tr -d '\r' < "$work/out.txt"
[ $status = 0 ] || fail "the program reported failures (exit $status)"
for f in "$drive_c/qobz/plain/a" "$drive_c/qobz/long/a/b" "$drive_c/qobz/long/a" \
  "$work/share/unc/a/b" "$work/share/long-unc/a" "$work/share"; do
  [ "$(cat "$f/sub/f.txt")" = abc ] || fail "no file in $f"
done
[ -z "$(ls "$WINEPREFIX/dosdevices/unc" | grep -v '^srv$')" ] ||
  fail "a server was made: $(ls "$WINEPREFIX/dosdevices/unc")"
[ ! -e "$WINEPREFIX/dosdevices/q:" ] || fail "drive Q: was made"
# Files made below a target, case by case: the program checks what each case's folder holds.
# The link case needs a link Windows calls can see; Wine 8 makes none (CreateSymbolicLinkA answers
# success and makes nothing, FSCTL_SET_REPARSE_POINT is not supported) and shows a Unix symlink as
# a plain folder, so there it says SKIPPED.
status=0
"$wine" "$program" --walk 'C:\qobz\walk' > "$work/walk.txt" 2>&1 || status=$?
tr -d '\r' < "$work/walk.txt"
[ $status = 0 ] || fail "files below a target came out wrong (exit $status)"
# A case that could not run is named where `make test` lists the skips.
tr -d '\r' < "$work/walk.txt" | sed -n "s/^SKIPPED walk: \([^:]*\): /SKIPPED: $suite (\1): /p"
echo "folder_paths: all passed ($bits-bit)"
