#!/usr/bin/env bash
# MakeBackupCD end to end under Wine: the 64-bit DLL built from the same source as the shipped one,
# loaded by the Windows host, starting a scripted companion through CreateProcessA, handing values
# over in the real (Wine) registry. Then the real companion set makes a backup.
# Usage: wine_e2e.sh BUILD_WIN64 HOST_BIN_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
hostbin=$(cd "$2" && pwd)
offset=$(cat "$build/launcher/offset.txt")
linked="$build/launcher/linked/Launcher.dll"
wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
[ -n "$wine" ] || wine=$(command -v wine)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { "$wineserver" -k 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
winpath() { echo "Z:$1" | sed 's|/|\\|g'; }
fail() { echo "FAIL: $*"; exit 1; }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected [$2], got [$1]"; }
reg_value() {  # NAME: the value under the hand-off key, as reg query shows it
  "$wine" reg query 'HKCU\Software\Halcrest\Dorvane\6.0' /v "$1" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_SZ *//p"
}

"$wine" wineboot -i > /dev/null 2>&1 || true

app="$work/Host App/lib dir"       # ModuleFolder with blanks
mkdir -p "$app" "$work/data" "$work/source/sub"
echo "one" > "$work/source/a.txt"
head -c 30000 /dev/urandom > "$work/source/sub/b.bin"
for f in Krovnel.dll Osvant03.hc VQ.EXE hcorig.hc; do echo "test data for $f" > "$work/data/$f"; done
"$hostbin/qobz" a "$work/test.qbz" --method NON --entry "Dorvane.exe=$build/bin/qobz_test_companion.exe" \
  --entry "Krovnel.dll=$work/data/Krovnel.dll" --entry "Osvant03.hc=$work/data/Osvant03.hc" \
  --entry "VQ.EXE=$work/data/VQ.EXE" --entry "hcorig.hc=$work/data/hcorig.hc"
"$hostbin/qobz" sfx "$linked" "$work/test.qbz" -o "$app/Launcher.dll" --offset "$offset"
lib=$(winpath "$app/Launcher.dll")
record="$work/record.txt"
export QOBZ_TEST_RECORD=$(winpath "$record")
host="$build/bin/qobz_host.exe"

run() {  # SCRIPT [options]: the host's output
  local script=$1; shift
  rm -f "$record"
  "$wine" "$host" "$lib" "Vol 1" "$script" "clRed" "" "$(winpath "$work/source")" "$@" |
    tr -d '\r' || true
}

echo "-- a posted 0: result, registry values, command line, clean-up"
out=$(run "post:0")
expect_eq "$out" "MakeBackupCD returned 0" "result"
expect_eq "$(reg_value DVResult)" "0" "DVResult"
expect_eq "$(reg_value DVVolume)" "Vol 1" "DVVolume"
expect_eq "$(reg_value DVTitle)" "post:0" "DVTitle"
expect_eq "$(reg_value DVColorForm)" "clRed" "DVColorForm"
expect_eq "$(reg_value DVFolderPath)" "$(winpath "$work/source")" "DVFolderPath"
expect_eq "$(grep '^cmdline=' "$record" | tr -d '\r')" "cmdline=$(winpath "$app")\\Dorvane.exe /Start" "command line"
expect_eq "$(grep '^DVResult=' "$record" | tr -d '\r')" "DVResult=100" "DVResult while running"
"$wineserver" -w
expect_eq "$(ls "$app")" "Launcher.dll" "module folder after clean-up"

echo "-- 150 keeps waiting, then -1"
out=$(run "post:150,sleep:1300,post:-1")
expect_eq "$out" "MakeBackupCD returned -1" "result after 150"

echo "-- a locked companion file is left behind without error"
out=$(run "lock:VQ.EXE,post:0,sleep:4000")
expect_eq "$out" "MakeBackupCD returned 0" "result with a locked file"
[ -e "$app/VQ.EXE" ] || fail "the locked file was deleted"
[ ! -e "$app/hcorig.hc" ] || fail "the clean-up stopped at the locked file"
"$wineserver" -w

echo "-- two calls in a row (the first removes what the locked run left)"
out=$(run "post:0" --repeat 2)
expect_eq "$out" "MakeBackupCD returned 0
MakeBackupCD returned 0" "two calls"
expect_eq "$(grep -c '^argv=' "$record")" "2" "companion runs"
"$wineserver" -w
expect_eq "$(ls "$app")" "Launcher.dll" "module folder after two calls"

echo "-- no folder: 2, and DVResult stays 100"
out=$(run "post:0" --null-folder)
expect_eq "$out" "MakeBackupCD returned 2" "null FolderPath"
expect_eq "$(reg_value DVResult)" "100" "DVResult after a failed call"
[ ! -e "$record" ] || fail "the companion ran"

echo "-- the real companion set makes a backup"
mkdir -p "$work/real lib"
cp "$build/lib/Launcher.dll" "$work/real lib/"
before=$(cd "$work/source" && find . -type f -exec sha256sum {} + | sort)
out=$(DORVANE_BACKUP_DIR=$(winpath "$work/backups") "$wine" "$host" \
        "$(winpath "$work/real lib/Launcher.dll")" "Week 12" T F C "$(winpath "$work/source")" 2>&1 |
      tr -d '\r' || true)
echo "$out"
grep -q "MakeBackupCD returned 0" <<< "$out" || fail "real backup: $out"
[ -s "$work/backups/Week 12.qbz" ] || fail "no backup archive"
after=$(cd "$work/source" && find . -type f -exec sha256sum {} + | sort)
expect_eq "$after" "$before" "source files after the backup"
echo "wine end to end: all passed"
