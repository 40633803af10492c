#!/usr/bin/env bash
# The qobz tool end to end: make, list, test and extract archives with every method, keys and
# locks, --offset, and the refusals that keep extraction below its folder.
set -euo pipefail
bin=$1
qobz=$bin/qobz
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p src/sub/deeper
"$bin/qobz_corpus" corpus
cp corpus/text-16385 src/text.txt
cp corpus/binary-8193 src/sub/bin.dat
cp corpus/runs-7937 src/sub/deeper/runs
cp corpus/random-257 src/random
: > src/empty
printf abc > src/sub/A.TXT

methods="NON ${QOBZ_TEST_METHODS:-RLE LZH LH5}"
for m in $methods; do
  for lock in none 1 2; do
    opts=(--method "$m"); xopts=()
    if [ "$lock" != none ]; then opts+=(--key 305419896 --lock "$lock"); xopts=(--key 305419896); fi
    rm -rf out; mkdir out
    "$qobz" a "a-$m-$lock.qbz" src "${opts[@]}" || fail "a $m $lock"
    "$qobz" l "a-$m-$lock.qbz" > list.txt || fail "l $m"
    grep -q 'src\\sub\\A.TXT *3 .* 294 ' list.txt || [ "$lock" != none ] || fail "list of $m: $(cat list.txt)"
    "$qobz" t "a-$m-$lock.qbz" "${xopts[@]}" > /dev/null || fail "t $m $lock"
    "$qobz" x "a-$m-$lock.qbz" -C out --mkdirs "${xopts[@]}" || fail "x $m $lock"
    diff -r src out/src || fail "extracted tree differs for $m $lock"
    if [ "$lock" != none ]; then
      "$qobz" t "a-$m-$lock.qbz" > /dev/null 2>err.txt && fail "locked archive tested without key"
      grep -q 'File locked -- valid key required' err.txt || fail "locked message: $(cat err.txt)"
      "$qobz" t "a-$m-$lock.qbz" --key 7 > /dev/null 2>&1 && fail "wrong key accepted ($m $lock)"
    fi
  done
done

# Selecting entries by stored name, in any letter case.
rm -rf out; mkdir out
"$qobz" x a-NON-none.qbz -C out --mkdirs 'SRC/SUB/a.txt'
[ "$(find out -type f | wc -l)" = 1 ] && [ "$(cat out/src/sub/A.TXT)" = abc ] || fail "selection"

# An archive that starts inside a larger file.
head -c 1000 /dev/urandom > sfx.bin
cat a-NON-none.qbz >> sfx.bin
"$qobz" l sfx.bin --offset 1000 | grep -q 'text.txt' || fail "--offset list"
"$qobz" t sfx.bin --offset 1000 > /dev/null || fail "--offset test"

# Without --mkdirs a missing folder is an error that names the entry.
rm -rf out; mkdir out
if "$qobz" x a-NON-none.qbz -C out 2>err.txt; then fail "missing folder not reported"; fi
grep -q 'a-NON-none.qbz: src\\' err.txt || fail "error line: $(cat err.txt)"

# Names that leave the target folder: absolute ones only with --absolute-names, '..' never.
mk_archive() {  # name content -> stdout: a one-entry stored archive
  local name=$1 content=$2 sum=0 i
  for ((i = 0; i < ${#content}; i++)); do sum=$((sum + $(printf '%d' "'${content:i:1}"))); done
  le() { local v=$1 n=$2 j; for ((j = 0; j < n; j++)); do printf "\\x$(printf %02x $(((v >> (8 * j)) & 255)))"; done; }
  printf 'QOBZ\x1aNON'; le ${#content} 4; printf '\x01'; le 0 8
  le ${#name} 2; le 0x31859978 4; le 32 2; le ${#content} 4; le ${#content} 4; printf '\x00'
  le $sum 4; le 0 4; printf '%s' "$name"; printf '%s' "$content"
}
mkdir -p jail/inner
mk_archive 'inner\..\..\escaped' evil > dotdot.qbz
if (cd jail/inner && "$qobz" x ../../dotdot.qbz --mkdirs --absolute-names 2>../../err.txt); then
  fail "'..' name accepted"
fi
[ ! -e escaped ] && [ ! -e jail/escaped ] || fail "'..' entry written"
grep -q 'refused' err.txt || fail "no refusal message"
mk_archive "$(echo "$work" | tr / '\\')\\abs.txt" absolute > abs.qbz
mkdir -p out2
if "$qobz" x abs.qbz -C out2 2>err.txt; then fail "absolute name accepted"; fi
[ ! -e abs.txt ] || fail "absolute entry written"
"$qobz" x abs.qbz -C out2 --absolute-names || fail "--absolute-names"
[ "$(cat abs.txt)" = absolute ] || fail "absolute entry content"

# Damaged archives fail with one line and a nonzero code, never a crash.
for m in $methods; do
  head -c 200 "a-$m-none.qbz" > cut.qbz
  rc=0; "$qobz" t cut.qbz > /dev/null 2>err.txt || rc=$?
  [ $rc = 1 ] && [ "$(wc -l < err.txt)" = 1 ] || fail "cut $m archive: rc $rc, $(cat err.txt)"
done
printf 'QOBZ\x1aXYZ\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00' > bad-id.qbz
"$qobz" t bad-id.qbz 2>err.txt && fail "unknown method accepted"
grep -q 'Unrecognized compression method: "XYZ" in header' err.txt || fail "$(cat err.txt)"
"$qobz" x nonexistent.qbz 2>/dev/null && fail "missing archive"
rc=0; "$qobz" a --method NOPE x.qbz src 2>/dev/null || rc=$?
[ $rc = 2 ] || fail "usage error code $rc"
"$qobz" x --help | grep -q absolute-names || fail "help"

# Raw streams round-trip.
for m in $methods; do
  for f in corpus/text-16385 corpus/random-257 corpus/runs-7937 corpus/text-0; do
    "$qobz" encode --method "$m" "$f" packed.bin || fail "encode $m $f"
    size=$(stat -c %s "$f")
    "$qobz" decode --method "$m" --size "$size" < packed.bin > back.bin || fail "decode $m $f"
    cmp -s "$f" back.bin || fail "raw round trip $m $f"
  done
done
echo "tool_test: all passed"
