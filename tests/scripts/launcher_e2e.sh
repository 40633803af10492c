#!/usr/bin/env bash
# MakeBackupCD end to end on POSIX: a real library with an appended archive, loaded by the host,
# starting a scripted companion (tests/companion) from the checked file, with the hand-off store
# in a scratch folder. Then the shipped companion set makes and verifies a real backup.
# Usage: launcher_e2e.sh BIN_DIR BUILD_DIR
set -euo pipefail
umask 022   # the launcher refuses folders that others may write to
bin=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
offset=$(cat "$build/launcher/offset.txt")
linked="$build/launcher/linked/libqobzlaunch.so"
for f in "$linked" "$bin/qobz" "$bin/qobz_host" "$bin/qobz_test_companion"; do
  [ -e "$f" ] || { echo "missing $f"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QOBZ_HANDOFF_DIR="$work/store"
export QOBZ_TEST_RECORD="$work/record.txt"
key="$QOBZ_HANDOFF_DIR/Software/Halcrest/Dorvane/6.0"
app="$work/Host App/lib dir"      # a module folder with blanks
mkdir -p "$app" "$work/data" "$work/source/sub"
echo "one" > "$work/source/a.txt"
head -c 20000 /dev/urandom > "$work/source/sub/b.bin"
for f in Krovnel.dll Osvant03.hc VQ.EXE hcorig.hc; do echo "test data for $f" > "$work/data/$f"; done

fail() { echo "FAIL: $*"; exit 1; }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected [$2], got [$1]"; }

"$bin/qobz" a "$work/test.qbz" --method NON --entry "Dorvane.exe=$bin/qobz_test_companion" \
  --entry "Krovnel.dll=$work/data/Krovnel.dll" --entry "Osvant03.hc=$work/data/Osvant03.hc" \
  --entry "VQ.EXE=$work/data/VQ.EXE" --entry "hcorig.hc=$work/data/hcorig.hc"
"$bin/qobz" sfx "$linked" "$work/test.qbz" -o "$app/libqobzlaunch.so" --offset "$offset"
lib="$app/libqobzlaunch.so"

# The packing step refuses a library larger than the offset, and writes nothing.
if "$bin/qobz" sfx "$linked" "$work/test.qbz" -o "$work/too-small.so" --offset 1000 \
    2> "$work/err.txt"; then fail "sfx accepted an offset below the library size"; fi
grep -q "larger than the archive offset" "$work/err.txt" || fail "sfx message: $(cat "$work/err.txt")"
[ ! -e "$work/too-small.so" ] || fail "sfx left a file behind"

run_lib() {  # run_lib LIBRARY SCRIPT [host options...]: prints the host's output
  local library=$1 script=$2; shift 2
  rm -f "$QOBZ_TEST_RECORD"
  "$bin/qobz_host" "$library" "Vol 1" "$script" "clRed" "" "$work/source" "$@" || true
}
run() { run_lib "$lib" "$@"; }   # run SCRIPT [host options...]
# pack DIR ENTRY=PATH...: DIR/libqobzlaunch.so carrying an archive of the entries
pack() {
  local dir=$1 entry args=(); shift
  for entry in "$@"; do args+=(--entry "$entry"); done
  mkdir -p "$dir"
  rm -f "$work/pack.qbz"
  "$bin/qobz" a "$work/pack.qbz" --method NON "${args[@]}"
  "$bin/qobz" sfx "$linked" "$work/pack.qbz" -o "$dir/libqobzlaunch.so" --offset "$offset"
}
data_files=("Krovnel.dll=$work/data/Krovnel.dll" "Osvant03.hc=$work/data/Osvant03.hc"
            "VQ.EXE=$work/data/VQ.EXE" "hcorig.hc=$work/data/hcorig.hc")

echo "-- a posted 0 ends the call with 0; settings, command line and clean-up"
out=$(run "post:0")
expect_eq "$out" "MakeBackupCD returned 0" "result"
expect_eq "$(grep '^argv=' "$QOBZ_TEST_RECORD")" "argv=$app/Dorvane.exe|/Start" "arguments"
expect_eq "$(grep '^cmdline=' "$QOBZ_TEST_RECORD")" "cmdline=$app/Dorvane.exe /Start" "command line"
expect_eq "$(grep '^DVVolume=' "$QOBZ_TEST_RECORD")" "DVVolume=Vol 1" "DVVolume"
expect_eq "$(grep '^DVColorText=' "$QOBZ_TEST_RECORD")" "DVColorText=" "DVColorText"
expect_eq "$(grep '^DVFolderPath=' "$QOBZ_TEST_RECORD")" "DVFolderPath=$work/source" "DVFolderPath"
expect_eq "$(grep '^DVResult=' "$QOBZ_TEST_RECORD")" "DVResult=100" "DVResult while running"
expect_eq "$(cat "$key/DVResult")" "0" "DVResult after the run"
expect_eq "$(grep '^folder=' "$QOBZ_TEST_RECORD")" \
  "folder=Dorvane.exe Krovnel.dll Osvant03.hc VQ.EXE hcorig.hc libqobzlaunch.so" "folder while running"
expect_eq "$(ls "$app")" "libqobzlaunch.so" "module folder after clean-up"
! ls -A "$key" | grep -q tmp || fail "temporary value left in the store: $(ls -A "$key")"

echo "-- 150 keeps the call waiting; a negative value is returned"
out=$(run "post:150,sleep:1300,post:-1")
expect_eq "$out" "MakeBackupCD returned -1" "result after 150"

echo "-- a deleted or non-numeric value keeps waiting"
out=$(run "delete,sleep:1200,post:abc,sleep:1200,post:42")
expect_eq "$out" "MakeBackupCD returned 42" "result after deleted and non-numeric values"

echo "-- two calls in a row"
out=$(run "post:0" --repeat 2)
expect_eq "$out" "MakeBackupCD returned 0
MakeBackupCD returned 0" "two calls"
expect_eq "$(grep -c '^argv=' "$QOBZ_TEST_RECORD")" "2" "companion runs"

echo "-- no folder: 2, settings stored, nothing started"
out=$(run "post:0" --null-folder)
expect_eq "$out" "MakeBackupCD returned 2" "null FolderPath"
expect_eq "$(cat "$key/DVResult")" "100" "DVResult after a failed call"
expect_eq "$(cat "$key/DVFolderPath")" "" "DVFolderPath of a null pointer"
[ ! -e "$QOBZ_TEST_RECORD" ] || fail "the companion ran"

echo "-- a module folder that others may write to, or a hand-off store that others control: 2"
chmod 1777 "$app"
out=$(run "post:0")
expect_eq "$out" "MakeBackupCD returned 2" "module folder with mode 1777"
[ ! -e "$QOBZ_TEST_RECORD" ] || fail "the companion ran from a shared folder"
chmod 755 "$app"
chmod 770 "$QOBZ_HANDOFF_DIR"
out=$(run "post:0")
expect_eq "$out" "MakeBackupCD returned 2" "group-writable hand-off store"
[ ! -e "$QOBZ_TEST_RECORD" ] || fail "the companion ran with a shared store"
for companion in "$bin/qobz_test_companion" "$build/companion/Dorvane.exe"; do
  if "$companion" /Start 2> "$work/err.txt"; then fail "$companion used a shared store"; fi
  grep -q "store folder \"$QOBZ_HANDOFF_DIR\" may be written by other users" "$work/err.txt" ||
    fail "$companion's message: $(cat "$work/err.txt")"
done
chmod 700 "$QOBZ_HANDOFF_DIR"

echo "-- a module folder that only its owner's private group may also write (umask 002): accepted"
# The group holds no one but the owner when it is the owner's primary group and lists no other
# member; root's group on most systems, and every user's own group where user groups are private.
members=$(getent group "$(id -g)" | cut -d: -f4)
if [ -z "$members" ] || [ "$members" = "$(id -un)" ]; then private=0; else private=2; fi
chgrp "$(id -g)" "$app"
chmod 775 "$app"
out=$(run "post:0")
expect_eq "$out" "MakeBackupCD returned $private" "module folder 775 of the owner's own group"
if [ "$(id -u)" = 0 ]; then   # root may give the folder to a group that is not its own
  chgrp nogroup "$app"
  out=$(run "post:0")
  expect_eq "$out" "MakeBackupCD returned 2" "module folder 775 of another group"
  chgrp "$(id -g)" "$app"
fi
chmod 755 "$app"

echo "-- every entry is unpacked: data files and hci9cd.hc too; the clean-up takes the set only"
echo "data" > "$work/data/extra.dat"
echo "left by a run" > "$work/data/hci9cd.hc"
pack "$work/whole" "Dorvane.exe=$bin/qobz_test_companion" "${data_files[@]}" \
  "extra.dat=$work/data/extra.dat" "hci9cd.hc=$work/data/hci9cd.hc"
out=$(run_lib "$work/whole/libqobzlaunch.so" "post:0")
expect_eq "$out" "MakeBackupCD returned 0" "archive with data files"
expect_eq "$(grep '^folder=' "$QOBZ_TEST_RECORD")" \
  "folder=Dorvane.exe Krovnel.dll Osvant03.hc VQ.EXE extra.dat hci9cd.hc hcorig.hc libqobzlaunch.so" \
  "folder while running"
expect_eq "$(LC_ALL=C ls "$work/whole" | tr '\n' ' ')" "extra.dat libqobzlaunch.so " "folder after the run"

echo "-- a companion program stored as dorvane.EXE is another file here: 2, nothing started"
pack "$work/cased" "dorvane.EXE=$bin/qobz_test_companion" "${data_files[@]}" \
  "extra.dat=$work/data/extra.dat"
out=$(run_lib "$work/cased/libqobzlaunch.so" "post:0")
expect_eq "$out" "MakeBackupCD returned 2" "companion program in other letter case"
[ ! -e "$QOBZ_TEST_RECORD" ] || fail "a companion ran"
expect_eq "$(LC_ALL=C ls "$work/cased" | tr '\n' ' ')" \
  "Krovnel.dll Osvant03.hc VQ.EXE dorvane.EXE extra.dat hcorig.hc libqobzlaunch.so " \
  "folder after the refused run"

echo "-- a library without its archive: 2"
cp "$linked" "$work/bare.so"
out=$("$bin/qobz_host" "$work/bare.so" V T F C "$work/source" || true)
expect_eq "$out" "MakeBackupCD returned 2" "library without archive"

echo "-- a companion that is not a program cannot start: 2 at once"
printf 'not a program' > "$work/data/fake.exe"
pack "$work/fake" "Dorvane.exe=$work/data/fake.exe" "${data_files[@]}"
start=$(date +%s)
out=$("$bin/qobz_host" "$work/fake/libqobzlaunch.so" V T F C "$work/source" || true)
expect_eq "$out" "MakeBackupCD returned 2" "companion that cannot start"
[ $(( $(date +%s) - start )) -lt 3 ] || fail "the call waited for a companion that never ran"

echo "-- the shipped companion set makes a real backup"
packed="$build/lib/libqobzlaunch.so"
mkdir -p "$work/real lib"
cp "$packed" "$work/real lib/"
before=$(cd "$work/source" && find . -type f -exec sha256sum {} + | sort)
out=$(DORVANE_BACKUP_DIR="$work/backups" "$bin/qobz_host" "$work/real lib/libqobzlaunch.so" \
        "Week 12" "Title" "clBtnFace" "clWindowText" "$work/source" 2>&1 || true)
echo "$out"
echo "$out" | grep -q "MakeBackupCD returned 0" || fail "real backup: $out"
[ -s "$work/backups/Week 12.qbz" ] || fail "no backup archive"
after=$(cd "$work/source" && find . -type f -exec sha256sum {} + | sort)
expect_eq "$after" "$before" "source files after the backup"
expect_eq "$(ls "$work/real lib")" "libqobzlaunch.so" "module folder after the real run"
# The backup expands to the source files (the component is the reader).
"$build/companion/VQ.EXE" "$work/backups/Week 12.qbz" || fail "backup does not verify"

echo "-- the companion's own failures are posted as codes below 100"
mkdir -p "$work/blocked"
touch "$work/blocked/file"   # a file where the backup folder should be
out=$(DORVANE_BACKUP_DIR="$work/blocked/file/sub" "$bin/qobz_host" \
        "$work/real lib/libqobzlaunch.so" V T F C "$work/source" 2>/dev/null || true)
expect_eq "$out" "MakeBackupCD returned 20" "backup folder that cannot be made"

echo "-- hostile set-ups, one table: nothing runs that was not checked, no link is followed"
# Each case builds its tree in a folder of its own below $work and answers, on its last line of
# output, what the call returned; `expect` is that result, and after every case neither a planted
# program nor anything outside the case's tree may have been touched.
printf '#!/bin/sh\necho planted >> "%s"\n' "$work/planted.txt" > "$work/planted.sh"
chmod 755 "$work/planted.sh"
echo "outside" > "$work/outside.txt"
cp "$work/outside.txt" "$work/outside.orig"
root_only() { [ "$(id -u)" = 0 ] || { echo "skip: needs root to give a folder to another user"; return 1; }; }
case_other_owner_parent() {  # a folder above the module folder belongs to another user
  root_only || return 0
  pack "$1/p/lib" "Dorvane.exe=$bin/qobz_test_companion" "${data_files[@]}"
  chown nobody "$1/p"
  run_lib "$1/p/lib/libqobzlaunch.so" "post:0"
}
case_world_writable_parent() {  # anyone may rename the module folder away
  pack "$1/p/lib" "Dorvane.exe=$bin/qobz_test_companion" "${data_files[@]}"
  chmod 777 "$1/p"
  run_lib "$1/p/lib/libqobzlaunch.so" "post:0"
}
case_group_writable_parent() {  # a group that holds other users may rename it
  root_only || return 0
  pack "$1/p/lib" "Dorvane.exe=$bin/qobz_test_companion" "${data_files[@]}"
  chgrp nogroup "$1/p"
  chmod 775 "$1/p"
  run_lib "$1/p/lib/libqobzlaunch.so" "post:0"
}
case_sticky_parent() {  # like /tmp: no one may rename what is the caller's, so it is accepted
  pack "$1/p/lib" "Dorvane.exe=$bin/qobz_test_companion" "${data_files[@]}"
  chmod 1777 "$1/p"
  run_lib "$1/p/lib/libqobzlaunch.so" "post:0"
}
case_linked_module_folder() {  # the library is reached through a link, which is not followed
  pack "$1/real" "Dorvane.exe=$bin/qobz_test_companion" "${data_files[@]}"
  ln -s real "$1/link"
  run_lib "$1/link/libqobzlaunch.so" "post:0"
}
case_swapped_module_folder() {  # another user's folder, a companion planted in it, and the module
  root_only || return 0         # folder trade names while the launcher runs, for 4 s at most
  [ -x "$bin/qobz_test_swapper" ] || { echo "skip: no qobz_test_swapper (Linux only)"; return 0; }
  local f swapper planter rc calls=0 out last="no call answered" start ms
  # The packed companion cannot start, so every call ends at once with 2. The planted one is a
  # program (a script would be read again by its name, maybe from the other folder): should it be
  # started through a name that no longer leads to what was checked, it leaves a record.
  printf 'not a program' > "$1/fake"
  pack "$1/lib" "Dorvane.exe=$1/fake" "${data_files[@]}"
  mkdir "$1/evil"
  cp "$work/data/"{Krovnel.dll,Osvant03.hc,VQ.EXE,hcorig.hc} "$1/lib/libqobzlaunch.so" "$1/evil/"
  cp "$bin/qobz_test_companion" "$1/evil/Dorvane.exe"
  chown nobody "$1/evil"
  rm -f "$QOBZ_TEST_RECORD"
  cd "$1/evil"  # before any swap: the other user keeps the set whole there, under either name
  (while [ ! -e "$1/stop" ]; do
    for f in Krovnel.dll Osvant03.hc VQ.EXE hcorig.hc; do [ -e $f ] || cp "$work/data/$f" .; done
    cp "$bin/qobz_test_companion" .next && mv -f .next Dorvane.exe
  done) &
  planter=$!
  cd "$OLDPWD"
  start=${EPOCHREALTIME/./}
  "$bin/qobz_test_swapper" 4 "$1/lib" "$1/evil" "$1/stop" 2> "$1/swap.err" &
  swapper=$!
  while kill -0 $swapper 2> /dev/null && [ ! -e "$QOBZ_TEST_RECORD" ]; do
    rc=0; out=$(timeout 10 "$bin/qobz_host" "$1/lib/libqobzlaunch.so" V post:0 F C "$work/source" \
      2> /dev/null) || rc=$?
    [ $rc != 124 ] || { last="a call still waiting after 10 s"; break; }
    [ -n "$out" ] || continue  # the host could not load the library from what the name held
    calls=$((calls + 1)) last=$out
    [ "$out" = "MakeBackupCD returned 2" ] || break
  done
  ms=$(((${EPOCHREALTIME/./} - start) / 1000))
  touch "$1/stop"
  rc=0; wait $swapper || rc=$?
  wait $planter
  [ $rc = 77 ] && { echo "skip: $(cat "$1/swap.err")"; return 0; }
  [ $rc = 0 ] || fail "qobz_test_swapper: $(cat "$1/swap.err")"
  [ ! -e "$QOBZ_TEST_RECORD" ] || last="the planted companion ran: call $calls, $ms ms in"
  echo "$last"
}
backup() {  # backup SOURCE BACKUPS: the shipped companion set backs SOURCE up into BACKUPS
  mkdir -p "$3/lib"
  cp "$packed" "$3/lib/"
  DORVANE_BACKUP_DIR="$2" "$bin/qobz_host" "$3/lib/libqobzlaunch.so" "Week 12" T F C "$1" \
    2> "$3/err.txt" | grep '^MakeBackupCD' || true
}
case_planted_part_link() {  # a link, then a file, at the name the backup once used for its draft
  mkdir -p "$1/backups"
  ln -s "$work/outside.txt" "$1/backups/Week 12.qbz.part"
  local first
  first=$(backup "$work/source" "$1/backups" "$1")
  expect_eq "$first" "MakeBackupCD returned 0" "backup beside a planted link"
  rm "$1/backups/Week 12.qbz.part"
  echo "planted" > "$1/backups/Week 12.qbz.part"
  chmod 444 "$1/backups/Week 12.qbz.part"
  first=$(backup "$work/source" "$1/backups" "$1")
  expect_eq "$(cat "$1/backups/Week 12.qbz.part")" "planted" "file at the old draft name"
  "$build/companion/VQ.EXE" "$1/backups/Week 12.qbz" > /dev/null || fail "backup does not verify"
  echo "$first"
}
case_links_in_source() {  # a loop of links and links leading out of the tree: stored as nothing
  mkdir -p "$1/src/sub"
  echo "a" > "$1/src/a.txt"
  echo "b" > "$1/src/sub/b.txt"
  ln -s .. "$1/src/sub/loop"
  ln -s "$work" "$1/src/out"
  ln -s "$work/outside.txt" "$1/src/file-link"
  local result
  result=$(backup "$1/src" "$1/backups" "$1")
  expect_eq "$("$bin/qobz" l "$1/backups/Week 12.qbz" | grep -c 'a.txt\|b.txt')" "2" "files kept"
  if "$bin/qobz" l "$1/backups/Week 12.qbz" | grep -q 'loop\|out\|file-link'; then
    fail "a link was followed: $("$bin/qobz" l "$1/backups/Week 12.qbz")"
  fi
  grep -q "is a link, not followed" "$1/err.txt" || fail "no warning: $(cat "$1/err.txt")"
  echo "$result"
}
# case                     expected result
while read -r name expect; do
  dir="$work/case-$name"
  mkdir -p "$dir"
  rm -f "$work/planted.txt"
  echo "   $name"
  out=$("case_$name" "$dir" | tail -n 1) || true
  case "$out" in
    skip:*) echo "SKIPPED: script.launcher_e2e ($name): ${out#skip: }"; continue ;;
  esac
  expect_eq "$out" "MakeBackupCD returned $expect" "$name"
  [ ! -e "$work/planted.txt" ] || fail "$name: the planted program ran"
  cmp -s "$work/outside.txt" "$work/outside.orig" || fail "$name: a file outside was written"
  if [ "$expect" = 2 ] && [ -e "$QOBZ_TEST_RECORD" ]; then fail "$name: the companion ran"; fi
done << 'TABLE'
other_owner_parent         2
world_writable_parent      2
group_writable_parent      2
sticky_parent              0
linked_module_folder       2
swapped_module_folder      2
planted_part_link          0
links_in_source            0
TABLE
echo "launcher end to end: all passed"
