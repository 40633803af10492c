#!/usr/bin/env bash
# MakeBackupCD end to end under Wine, for either Windows build: the shipped 32-bit DLL through a
# 32-bit host and companion under 32-bit Wine, or the 64-bit DLL built from the same source under
# wine64. The host loads the DLL and calls it through its stdcall pointer (the 32-bit host checks
# the stack after every call), the DLL starts a scripted companion through CreateProcessA, values
# go through the real (Wine) registry. Then the real companion set makes a backup.
# Without a 32-bit Wine the 32-bit run is skipped (exit 77), saying why; wine64 is required.
# Usage: wine_e2e.sh BUILD_WIN HOST_BIN_DIR   ($QOBZ_WINE: another Wine loader)
set -euo pipefail
build=$(cd "$1" && pwd)
hostbin=$(cd "$2" && pwd)
offset=$(cat "$build/launcher/offset.txt")
linked="$build/launcher/linked/Launcher.dll"
host="$build/bin/qobz_host.exe"
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected [$2], got [$1]"; }

# 32- or 64-bit: the build's own host says (PE32 or PE32+), and picks the Wine loader.
bits=64
od -An -tx1 -j "$(( $(od -An -tu4 -j 60 -N 4 "$host") + 24 ))" -N 2 "$host" | grep -q '0b 01' &&
  bits=32
suite=windows.wine_e2e_${bits}bit
source "$(dirname "$0")/wine_env.sh"
wine_setup
winpath() { echo "Z:$1" | sed 's|/|\\|g'; }
reg_value() {  # NAME: the value under the hand-off key, as reg query shows it
  # Every value asked for is expected to be there: an empty answer (a query that could not run,
  # as Wine sometimes has it on a loaded machine) is asked again, after the server is idle.
  local value="" try
  for try in 1 2 3; do
    value=$("$wine" reg query 'HKCU\Software\Halcrest\Dorvane\6.0' /v "$1" 2>/dev/null |
      tr -d '\r' | sed -n "s/^ *$1 *REG_SZ *//p") || true
    [ -n "$value" ] && break
    "$wineserver" -w
  done
  echo "$value"
}

# Can this machine run the build's programs at all? A tiny one that answers its pointer size.
wine_probe "$build/bin/qobz_probe.exe" $(( bits / 8 ))
echo "-- ${bits}-bit: $(basename "$linked") with its archive at $offset, under $wine"
start_time=$(date +%s)


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

run_lib() {  # LIBRARY SCRIPT [options]: the host's output
  local library=$1 script=$2; shift 2
  rm -f "$record"
  "$wine" "$host" "$library" "Vol 1" "$script" "clRed" "" "$(winpath "$work/source")" "$@" |
    tr -d '\r' || true
}
run() { run_lib "$lib" "$@"; }   # SCRIPT [options]

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

echo "-- many calls in one process through the stdcall pointer: the stack stays balanced"
out=$(run "post:0" --null-folder --repeat 40)
expect_eq "$(grep -c '^MakeBackupCD returned 2$' <<< "$out")" "40" "40 calls without a folder"

echo "-- a read-only companion file planted before the call: 2, and the planted program never runs"
# Windows neither deletes nor replaces a read-only file; Wine run by root does replace it, so the
# planted program also keeps itself open (as a running program would), which Wine honours always.
cp "$build/bin/qobz_test_companion.exe" "$app/Dorvane.exe"
chmod a-w "$app/Dorvane.exe"
"$wine" reg add 'HKCU\Software\Halcrest\Dorvane\6.0' /v DVTitle /d "lock:Dorvane.exe,sleep:6000" /f \
  > /dev/null 2>&1
QOBZ_TEST_RECORD=$(winpath "$work/planted.txt") "$wine" "$app/Dorvane.exe" /Start &
planted=$!
for _ in $(seq 100); do [ -s "$work/planted.txt" ] && break; sleep 0.1; done
sleep 0.5
out=$(run "post:0")
expect_eq "$out" "MakeBackupCD returned 2" "planted read-only Dorvane.exe"
[ ! -e "$record" ] || fail "the planted program ran"
wait $planted || true
cmp -s "$app/Dorvane.exe" "$build/bin/qobz_test_companion.exe" || fail "the planted file changed"
expect_eq "$(ls "$app")" "Dorvane.exe
Launcher.dll" "module folder after the refused run (what the unpacking wrote is gone)"
chmod u+w "$app/Dorvane.exe" && rm "$app/Dorvane.exe"

echo "-- a companion file missing from the archive: 2, the others stay until the next call"
mkdir -p "$work/partial"
"$hostbin/qobz" a "$work/partial.qbz" --method NON --entry "Dorvane.exe=$build/bin/qobz_test_companion.exe" \
  --entry "Krovnel.dll=$work/data/Krovnel.dll" --entry "Osvant03.hc=$work/data/Osvant03.hc" \
  --entry "VQ.EXE=$work/data/VQ.EXE"
"$hostbin/qobz" sfx "$linked" "$work/partial.qbz" -o "$work/partial/Launcher.dll" --offset "$offset"
out=$("$wine" "$host" "$(winpath "$work/partial/Launcher.dll")" V T F C "$(winpath "$work/source")" |
      tr -d '\r' || true)
expect_eq "$out" "MakeBackupCD returned 2" "archive without hcorig.hc"
expect_eq "$(ls "$work/partial" | tr '\n' ' ')" "Dorvane.exe Krovnel.dll Launcher.dll Osvant03.hc VQ.EXE " \
  "files after a missing companion file"

echo "-- every entry is unpacked; a companion program stored as dorvane.EXE is Dorvane.exe here"
mkdir -p "$work/whole"
echo "data" > "$work/data/extra.dat"
echo "left by a run" > "$work/data/hci9cd.hc"
"$hostbin/qobz" a "$work/whole.qbz" --method NON --entry "dorvane.EXE=$build/bin/qobz_test_companion.exe" \
  --entry "Krovnel.dll=$work/data/Krovnel.dll" --entry "Osvant03.hc=$work/data/Osvant03.hc" \
  --entry "VQ.EXE=$work/data/VQ.EXE" --entry "hcorig.hc=$work/data/hcorig.hc" \
  --entry "extra.dat=$work/data/extra.dat" --entry "hci9cd.hc=$work/data/hci9cd.hc"
"$hostbin/qobz" sfx "$linked" "$work/whole.qbz" -o "$work/whole/Launcher.dll" --offset "$offset"
out=$(run_lib "$(winpath "$work/whole/Launcher.dll")" "post:0")
expect_eq "$out" "MakeBackupCD returned 0" "archive with data files and dorvane.EXE"
expect_eq "$(grep '^folder=' "$record" | tr -d '\r')" \
  "folder=Krovnel.dll Launcher.dll Osvant03.hc VQ.EXE dorvane.EXE extra.dat hci9cd.hc hcorig.hc" \
  "module folder while the companion runs"
"$wineserver" -w
expect_eq "$(LC_ALL=C ls "$work/whole" | tr '\n' ' ')" "Launcher.dll extra.dat " \
  "module folder after the clean-up (the companion file set only)"

echo "-- a DLL without its archive: 2"
mkdir -p "$work/bare"
cp "$linked" "$work/bare/Launcher.dll"
out=$("$wine" "$host" "$(winpath "$work/bare/Launcher.dll")" V T F C "$(winpath "$work/source")" |
      tr -d '\r' || true)
expect_eq "$out" "MakeBackupCD returned 2" "DLL without archive"

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
# Every file of the tree, read through the folders' handles, is in it as it is.
"$hostbin/qobz" x -q "$work/backups/Week 12.qbz" -C "$work/restored" --mkdirs ||
  fail "the backup does not extract"
diff -r "$work/source" "$work/restored" > /dev/null || fail "the backup differs from its source"
after=$(cd "$work/source" && find . -type f -exec sha256sum {} + | sort)
expect_eq "$after" "$before" "source files after the backup"
echo "wine end to end (${bits}-bit): all passed in $(( $(date +%s) - start_time )) s"
