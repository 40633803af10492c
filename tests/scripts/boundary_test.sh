#!/usr/bin/env bash
# The extraction boundary against hostile archives, targets and neighbours, one table: names that
# would leave -C or that no file may bear, entries the tool cannot expand, over-long paths, a
# folder swapped for a link while x runs, and signals in the middle of x and a. After every case
# nothing exists outside the target that was not there before, and nothing half-made is left.
set -euo pipefail
bin=$1
qobz=$bin/qobz
work=$(mktemp -d)
trap 'kill -9 ${pid:-} ${swapper:-} 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
le() { local v=$1 n=$2 j; for ((j = 0; j < n; j++)); do printf "\\x$(printf %02x $(((v >> (8 * j)) & 255)))"; done; }
# An archive of one stored-layout entry: NAME is a printf format (so that it may hold a NUL).
one_entry() {  # NAME CONTENT METHOD
  local n; n=$(printf "$1" | wc -c)
  printf 'QOBZ\x1aNON'; le ${#2} 4; printf '\x01'; le 0 8
  le "$n" 2; le 0x31859978 4; le 32 2; le ${#2} 4; le ${#2} 4; printf "\\x$(printf %02x "$3")"
  local sum=0 i; for ((i = 0; i < ${#2}; i++)); do sum=$((sum + $(printf '%d' "'${2:i:1}"))); done
  le $sum 4; le 0 4; printf "$1"; printf '%s' "$2"
}
snapshot() { find "$work" -path "$work/t" -prune -o -print | sort; }
long=$(printf 'x%.0s' {1..300})
# Rows: name (printf format), method, x's exit code, what l must show of the name ('-': no check).
rows=(
  'n\\..\x00a\\..\x00b\\evil.txt|0|1|\x00'
  'ok\x00\\..\\..\\evil.txt|0|1|\x00'
  '..\\evil.txt|0|1|-'
  '\\evil-abs.txt|0|1|-'
  'C:\\..\\..\\evil.txt|0|1|-'
  'sub\\..\\..\\evil.txt|0|1|-'
  "deep\\\\$long\\\\f|0|1|-"
  'custom.txt|3|1|custom.txt'
)
for row in "${rows[@]}"; do
  IFS='|' read -r name method want shown <<< "$row"
  rm -rf t; mkdir t
  one_entry "$name" EVIL "$method" > t/arc.qbz
  mkdir t/in; before=$(snapshot)
  rc=0; "$qobz" x t/arc.qbz -C t/in --mkdirs 2> t/err || rc=$?
  [ $rc = "$want" ] || fail "x '$name': exit $rc: $(cat t/err)"
  [ "$(snapshot)" = "$before" ] || fail "x '$name' wrote outside the target: $(snapshot)"
  [ -z "$(find t/in -type f)" ] || fail "x '$name' made $(find t/in -type f)"
  grep -q . t/err || fail "x '$name': no message"
  if [ "$shown" != - ]; then
    "$qobz" l t/arc.qbz | grep -qF "$shown" || fail "l shows '$name' as $("$qobz" l t/arc.qbz)"
    grep -qF "$shown" t/err || fail "x names '$name' as $(cat t/err)"
  fi
  if [ "$method" = 3 ]; then
    rc=0; "$qobz" t t/arc.qbz > /dev/null 2>&1 || rc=$?
    [ $rc = 1 ] || fail "t passes a custom entry: exit $rc"
  fi
done

# a and d keep a name x refuses byte for byte, warn naming it escaped, and exit 1.
rm -rf t; mkdir t; echo other > t/other
one_entry 'bad\x00name' EVIL 0 > t/arc.qbz
for cmd in "a t/arc.qbz t/other" "d t/arc.qbz t/other"; do
  rc=0; "$qobz" $cmd 2> t/err || rc=$?
  [ $rc = 1 ] && grep -qF 'bad\x00name' t/err || fail "$cmd on a NUL name: exit $rc: $(cat t/err)"
  grep -qaF "$(printf 'bad\x00nameEVIL' | tr '\0' '?')" <(tr '\0' '?' < t/arc.qbz) ||
    fail "$cmd lost the name's bytes"
done

# A folder of the target and a link to outside trade names (qobz_test_swapper, 5 s at most) while
# x writes and replaces files in it: at worst an entry fails, nothing is written or removed outside.
if [ ! -x "$bin/qobz_test_swapper" ]; then
  echo "SKIPPED: script.boundary_test (folder swap race): no qobz_test_swapper (Linux only)"
else
  rm -rf t; mkdir -p t/src/d t/in t/out
  for i in $(seq 1 40); do echo "new $i" > "t/src/d/f$i"; echo "mine $i" > "t/out/f$i"; done
  (cd t/src && "$qobz" a -q ../race.qbz d)
  "$qobz" x t/race.qbz -C t/in --mkdirs
  ln -s ../out t/in/link
  outside_changed() {  # names in `changed` the first file outside that is not as it was
    local i line; changed=
    for ((i = 1; i <= 40; i++)); do  # builtins only, so that x runs as often as it can
      { read -r line < "t/out/f$i" && [ "$line" = "mine $i" ]; } 2> /dev/null || changed=f$i
      [ -z "$changed" ] || return 0
    done
  }
  start=${EPOCHREALTIME/./}
  "$bin/qobz_test_swapper" 5 t/in/d t/in/link 2> t/swap.err & swapper=$!
  while kill -0 $swapper 2> /dev/null; do
    "$qobz" x t/race.qbz -C t/in --mkdirs 2> /dev/null || true
    outside_changed
    [ -z "$changed" ] || fail "x wrote through a swapped folder: $changed," \
      "$(((${EPOCHREALTIME/./} - start) / 1000)) ms in"
  done
  rc=0; wait $swapper || rc=$?; swapper=
  if [ $rc = 77 ]; then
    echo "SKIPPED: script.boundary_test (folder swap race): $(cat t/swap.err)"
  else
    [ $rc = 0 ] || fail "qobz_test_swapper: $(cat t/swap.err)"
    [ "$(ls -A t/out | wc -l)" = 40 ] || fail "x left files outside: $(ls -A t/out)"
  fi
fi

# Signals: SIGTERM in the middle of x (an archive read from a stalled pipe) and of a (a long
# --best run): exit 143, no partial file under a final name, no temporary file left.
rm -rf t; mkdir -p t/in t/src
head -c 20000000 /dev/urandom > t/src/big
(cd t/src && "$qobz" a -q ../big.qbz big --method NON)
for replace in no yes; do
  [ $replace = yes ] && echo old > t/in/big
  (head -c 1000000 t/big.qbz; sleep 5) | "$qobz" x - -C t/in &
  pid=$!; sleep 1; kill -TERM $pid; rc=0; wait $pid || rc=$?
  [ $rc = 143 ] || fail "x on SIGTERM: exit $rc"
  if [ $replace = yes ]; then [ "$(cat t/in/big)" = old ] || fail "x replaced a file with a part"
  else [ ! -e t/in/big ] || fail "x left a partial file"; fi
  [ -z "$(find t/in -name '.qobz-*')" ] || fail "x left $(ls -A t/in)"
done
(cd t/src && "$qobz" a -q ../new.qbz big --best) & pid=$!
sleep 0.5; kill -TERM $pid; rc=0; wait $pid || rc=$?
[ $rc = 143 ] || fail "a on SIGTERM: exit $rc"
[ ! -e t/new.qbz ] && [ -z "$(find t -name '.qobz-*')" ] || fail "a left $(ls -A t t/src)"
echo "boundary tests passed"
