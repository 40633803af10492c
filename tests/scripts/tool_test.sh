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
    grep -q '^ *3 .* 294 *0 src/sub/A.TXT$' list.txt || [ "$lock" != none ] || fail "list of $m: $(cat list.txt)"
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


# An archive that starts inside a larger file.
head -c 1000 /dev/urandom > sfx.bin
cat a-NON-none.qbz >> sfx.bin
"$qobz" l sfx.bin --offset 1000 | grep -q 'text.txt' || fail "--offset list"
"$qobz" t sfx.bin --offset 1000 > /dev/null || fail "--offset test"

# With --no-mkdirs a missing folder is an error that names the entry, with "/" between folders.
rm -rf out; mkdir out
if "$qobz" x a-NON-none.qbz -C out --no-mkdirs 2>err.txt; then fail "missing folder not reported"; fi
grep -q 'a-NON-none.qbz: src/' err.txt && ! grep -qF '\' err.txt || fail "error line: $(cat err.txt)"

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

# Hostile archives and target folders. Archives are built from raw fields: le VALUE BYTES.
le() { local v=$1 n=$2 j; for ((j = 0; j < n; j++)); do printf "\\x$(printf %02x $(((v >> (8 * j)) & 255)))"; done; }
ar_header() { printf 'QOBZ\x1aNON'; le "$1" 4; printf '\x01'; le 0 8; }  # TOTAL
ar_entry() {  # NAME CONTENT [METHOD [UNPACKED [CHECKSUM]]]: a stored-layout entry
  local name=$1 content=$2 method=${3:-0} sum=${5:-0} i
  if [ -z "${5:-}" ]; then
    for ((i = 0; i < ${#content}; i++)); do sum=$((sum + $(printf '%d' "'${content:i:1}"))); done
  fi
  le ${#name} 2; le 0x31859978 4; le 32 2; le "${4:-${#content}}" 4; le ${#content} 4
  printf "\\x$(printf %02x "$method")"; le "$sum" 4; le 0 4; printf '%s%s' "$name" "$content"
}
# A colon is an ordinary character on POSIX, in names and in -C.
{ ar_header 5; ar_entry 'docs\agenda 10:30.txt' hello; } > colon.qbz
{ ar_header 2; ar_entry 'a:b.txt' ab; } > top-colon.qbz
rm -rf hx; mkdir hx
"$qobz" x colon.qbz -C "hx/new:dir" --mkdirs || fail "colon in a name or in -C"
[ "$(cat 'hx/new:dir/docs/agenda 10:30.txt')" = hello ] || fail "colon entry content"
"$qobz" x top-colon.qbz -C hx || fail "a:b.txt refused as absolute"
[ "$(cat hx/a:b.txt)" = ab ] || fail "a:b.txt content"
# Links, FIFOs and links to folders in the target are replaced or refused, never followed.
echo precious > victim; mkdir -p elsewhere
{ ar_header 4; ar_entry link EVIL; } > link.qbz
{ ar_header 4; ar_entry 'dir\f' EVIL; } > dirlink.qbz
rm -rf hx; mkdir hx; ln -s ../victim hx/link
"$qobz" x link.qbz -C hx || fail "x over a link"
[ "$(cat victim)" = precious ] && [ ! -L hx/link ] && [ "$(cat hx/link)" = EVIL ] || fail "link followed"
rm hx/link; mkfifo hx/link
timeout 10 "$qobz" x link.qbz -C hx --check-space || fail "x over a FIFO"
[ -f hx/link ] && [ "$(cat hx/link)" = EVIL ] || fail "FIFO not replaced"
ln -s ../elsewhere hx/dir
if "$qobz" x dirlink.qbz -C hx --mkdirs 2>err.txt; then fail "link to a folder followed"; fi
[ -z "$(ls elsewhere)" ] || fail "file written through a link to a folder"
grep -q 'symbolic link' err.txt || fail "link refusal: $(cat err.txt)"
# l, t and x see the same entries: the next header comes after PackedSize bytes, whatever the
# entry's method read; an unknown method or output past an entry's size is damage.
ar_entry hidden.txt secret > hidden.bin  # a whole entry, hidden in a custom entry's packed data
{ ar_header 1; le 6 2; le 0x31859978 4; le 32 2; le 0 4; le "$(stat -c %s hidden.bin)" 4
  printf '\x03'; le 0 8; printf custom; cat hidden.bin; ar_entry z z; } > hidden.qbz
rm -rf hx; mkdir hx
rc=0; "$qobz" x hidden.qbz -C hx 2>/dev/null || rc=$?
[ $rc = 1 ] || fail "x hidden.qbz: rc $rc"
[ ! -e hx/hidden.txt ] && [ ! -e hx/custom ] && [ -e hx/z ] || fail "x hidden.qbz made: $(ls hx)"
[ "$("$qobz" l hidden.qbz | grep -c 'hidden.txt')" = 0 ] || fail "l lists hidden.txt"
{ ar_header 3; ar_entry m abc 9; } > method9.qbz
{ ar_header 1; ar_entry big "$(head -c 300000 /dev/zero | tr '\0' A)" 0 1 0; } > big.qbz
for f in method9 big; do
  rm -rf hx; mkdir hx
  rc=0; "$qobz" x $f.qbz -C hx --check-space 2>err.txt || rc=$?
  [ $rc = 1 ] || fail "$f.qbz: rc $rc"
  [ "$(find hx -type f -size +1c | wc -l)" = 0 ] || fail "$f.qbz wrote more than its header says"
done
[ ! -e hx/big ] && { "$qobz" x method9.qbz -C hx 2>/dev/null; [ ! -e hx/m ]; } ||
  fail "partial file left, or a file made for an unknown method"
# Truncated archives and offsets that find no archive are errors naming the archive, exit 1.
{ ar_header 6; ar_entry one 1111; ar_entry two 22; } > two.qbz
head -c 60 two.qbz > cut-header.qbz
head -c 77 two.qbz > cut-name.qbz
{ ar_header 9; ar_entry one 1111; } > short-total.qbz
head -c 15 two.qbz > tiny.qbz; : > empty.qbz
for f in cut-header cut-name short-total tiny empty "two --offset 100" "two --offset 17592186044416"; do
  for cmd in l t x; do
    rm -rf hx; mkdir hx
    set -- ${f%% *}.qbz ${f#* }; [ "$f" = "${f%% *}" ] && set -- "$f.qbz"
    rc=0; "$qobz" $cmd "$@" $([ $cmd = x ] && echo "-C hx") > /dev/null 2>err.txt || rc=$?
    [ $rc = 1 ] && grep -q "^qobz: $1: " err.txt || fail "$cmd $f: rc $rc, $(cat err.txt)"
  done
done
"$qobz" t two.qbz > /dev/null || fail "t two.qbz"

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

# ---- Writing archives: nothing lost, nothing replaced that is not ours, names x accepts ----
expect_rc() {  # expected-rc command... ; stdout in out.txt, stderr in err.txt
  local want=$1 rc=0; shift
  "$@" > out.txt 2> err.txt || rc=$?
  [ "$rc" = "$want" ] || fail "rc $rc, not $want: $* ($(cat err.txt))"
}
no_temp() { [ -z "$(find "$@" -name '.qobz-*')" ] || fail "temporary file left in $*"; }

# A damaged entry never costs the file it would replace, an absolute one included.
printf precious > abs.txt
{ ar_header 7; ar_entry "$(echo "$work" | tr / '\\')\\abs.txt" damaged 0 7 1; } > absbad.qbz
expect_rc 1 "$qobz" x absbad.qbz --absolute-names
[ "$(cat abs.txt)" = precious ] || fail "damaged absolute entry replaced the file"
no_temp "$work" -maxdepth 1

# A failed run keeps the previous archive: the 2 GiB file does not fit, after other entries.
mkdir -p w/big && cp src/text.txt w/big/a.txt && truncate -s 2G w/big/z.bin
"$qobz" a w/prev.qbz src/text.txt
cp w/prev.qbz w/prev.copy
expect_rc 1 "$qobz" a w/prev.qbz w/big
cmp -s w/prev.qbz w/prev.copy || fail "failed a changed the previous archive"
no_temp w
rm -rf w/big

# Destinations that are not regular files get the archive and stay what they were.
"$qobz" a w/ref.qbz src -j 1
"$qobz" a w/ref3.qbz src -j 3
cmp -s w/ref.qbz w/ref3.qbz || fail "-j 3 gives another archive than -j 1"
"$qobz" a - src | cat > w/dash.qbz || fail "a to -"
"$qobz" a /dev/stdout src | cat > w/stdout.qbz || fail "a to /dev/stdout"
mkfifo w/fifo; cat w/fifo > w/fifo.qbz & reader=$!
"$qobz" a w/fifo src || fail "a to a FIFO"; wait $reader
[ -p w/fifo ] || fail "FIFO replaced"
for f in dash stdout fifo; do cmp -s w/ref.qbz "w/$f.qbz" || fail "archive through $f differs"; done
# Raw streams go into a FIFO or a device as they are made, through no temporary file.
mkfifo w/rawfifo; cat w/rawfifo > w/raw.lh5 & reader=$!
"$qobz" encode --method LH5 w/ref.qbz w/rawfifo || fail "encode to a FIFO"; wait $reader
[ -p w/rawfifo ] || fail "FIFO replaced by encode"
"$qobz" encode --method LH5 w/ref.qbz | cmp -s - w/raw.lh5 || fail "encode into a FIFO differs"
"$qobz" decode --method LH5 --size "$(stat -c %s w/ref.qbz)" w/raw.lh5 /dev/stdout |
  cmp -s - w/ref.qbz || fail "decode to /dev/stdout"
if mknod w/full c 1 7 2> /dev/null; then  # a /dev/full of our own (as root)
  expect_rc 1 "$qobz" a w/full src
  grep -q 'No space left' err.txt || fail "full device: $(cat err.txt)"
  [ -c w/full ] || fail "device removed after a failed a"
  expect_rc 1 "$qobz" decode --method LH5 --size "$(stat -c %s w/ref.qbz)" w/raw.lh5 w/full
  grep -q 'No space left' err.txt || fail "decode into a full device: $(cat err.txt)"
fi

# sfx never follows what is planted beside its output.
printf 'precious' > w/victim; ln -s victim w/lib.out.tmp
printf 'MZ-library' > w/lib.bin
"$qobz" sfx w/lib.bin w/ref.qbz -o w/lib.out --offset 4096 || fail sfx
[ "$(cat w/victim)" = precious ] || fail "sfx wrote through a planted link"
"$qobz" t w/lib.out --offset 4096 > /dev/null || fail "sfx output"
no_temp w

# An input that is the output is refused; the archive inside an input folder is passed over.
cp src/text.txt w/notes.txt; ln w/notes.txt w/hard.txt
expect_rc 1 "$qobz" a w/notes.txt w/notes.txt
expect_rc 1 "$qobz" a w/notes.txt src w/hard.txt
expect_rc 1 "$qobz" encode --method LH5 w/notes.txt w/hard.txt
cmp -s w/notes.txt src/text.txt || fail "input overwritten by its own output"
mkdir -p w/self && cp src/random w/self/
"$qobz" a w/self/self.qbz w/self && expect_rc 0 "$qobz" a w/self/self.qbz w/self
grep -q 'self.qbz: skipped: it is the archive being written' err.txt || fail "$(cat err.txt)"
"$qobz" l w/self/self.qbz | grep -q 'self\.qbz$' && fail "archive stored inside itself"

# Stored names are normalised; a leading / or ../ is dropped with tar's warning.
base=$(basename "$work")
while IFS='|' read -r operand stored warning; do
  expect_rc 0 "$qobz" a w/names.qbz "$operand"
  "$qobz" l w/names.qbz > list.txt
  n=$(echo "$stored" | tr '\\' /) awk '$NF == ENVIRON["n"] { found = 1 } END { exit !found }' list.txt ||
    fail "$operand stored as: $(cat list.txt)"
  if [ -n "$warning" ]; then grep -qF "leading \"$warning\"" err.txt || fail "$operand: no warning"
  else [ ! -s err.txt ] || fail "$operand: $(cat err.txt)"; fi
  "$qobz" x w/names.qbz -C w --mkdirs > /dev/null 2>&1 || fail "x refuses the name of $operand"
done <<EOF2
./src/sub/../sub/./A.TXT|src\sub\A.TXT|
src//sub/deeper/../A.TXT|src\sub\A.TXT|
../$base/src/sub/A.TXT|$base\src\sub\A.TXT|../
$work/src/sub/A.TXT|$(echo "${work#/}" | tr / '\\')\src\sub\A.TXT|/
EOF2
expect_rc 0 "$qobz" a w/names.qbz --entry '..\in\..\..\up.txt=src/sub/A.TXT'
"$qobz" l w/names.qbz | grep -q ' up\.txt$' || fail "--entry name not normalised"

# Odd things inside a folder are passed over by name; the rest is archived; exit 1.
mkdir -p w/odd/sub
cp src/sub/A.TXT w/odd/sub/ok.txt
mkfifo w/odd/fifo
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' w/odd/sock ||
  true
ln -s nowhere w/odd/dangling
ln -s sub/ok.txt w/odd/file-link
ln -s .. w/odd/sub/loop
expect_rc 1 "$qobz" a w/odd.qbz w/odd
for n in fifo sock dangling; do
  [ -e "w/odd/$n" ] || [ -L "w/odd/$n" ] || continue
  grep -q "w/odd/$n: skipped" err.txt || fail "$n not named: $(cat err.txt)"
done
"$qobz" t w/odd.qbz > /dev/null || fail "archive with odd files skipped is broken"
"$qobz" l w/odd.qbz > list.txt
grep -q ' w/odd/file-link$' list.txt && grep -q ' w/odd/sub/ok.txt$' list.txt || fail "$(cat list.txt)"
grep -q loop list.txt && fail "link loop entered twice: $(cat list.txt)"
as_user=()  # root reads anything: the unreadable file is tried as nobody
[ "$(id -u)" != 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$(id -u)" != 0 ] || command -v setpriv > /dev/null; then
  rm -f w/odd/fifo w/odd/sock w/odd/dangling
  printf x > w/odd/secret; chmod 000 w/odd/secret; chmod 777 w; chmod o+x "$work"
  expect_rc 1 "${as_user[@]}" "$qobz" a w/unreadable.qbz w/odd
  grep -q "w/odd/secret: skipped" err.txt || fail "unreadable file: $(cat err.txt)"
  "$qobz" t w/unreadable.qbz > /dev/null || fail "archive without the unreadable file"
fi

# ---- The command line, by command ----
mkdir -p "$work/cl" && cd "$work/cl"
# Options: --version, help from the option table, -Cdir and --directory=DIR, bundles, errors.
v=$("$qobz" --version) && [[ $v =~ ^qobz\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version: $v"
"$qobz" --help | grep -qF "$v" && "$qobz" sfx --help | grep -q -- '-o, --output OUT' || fail help
expect_rc 2 "$qobz" x --bogus base.qbz
# a: inputs below -C, --exclude, then an existing archive gets entries added and replaced; what
# it had is copied over as it is (same rows in the listing, still LZH), empty entries first.
expect_rc 0 "$qobz" a -C.. --method=LZH --exclude='*.dat' --exclude=deeper base.qbz src
[ "$("$qobz" l -1 base.qbz | sort | tr '\n' ' ')" = "src/empty src/random src/sub/A.TXT src/text.txt " ] ||
  fail "a -C/--exclude: $("$qobz" l -1 base.qbz)"
"$qobz" l base.qbz | grep -E ' src/(text\.txt|random)$' > kept.txt
mkdir -p src/sub && printf 'new A' > src/sub/A.TXT && printf n > new.txt && : > new-empty
long=$(printf 'd%.0s' {1..70})/long.txt
expect_rc 0 "$qobz" a -v --directory=. --method NON base.qbz new.txt src/sub/A.TXT new-empty \
  --entry "$long=new.txt"
[ "$(tr '\n' ' ' < out.txt)" = "new-empty new.txt src/sub/A.TXT $long " ] || fail "a -v: $(cat out.txt)"
"$qobz" l base.qbz > list.txt
grep -qFxf kept.txt list.txt && grep -q ' 5 .* NON .* src/sub/A.TXT$' list.txt ||
  fail "a on an existing archive: $(cat list.txt)"
[ "$("$qobz" l -1 base.qbz | head -2 | tr '\n' ' ')" = "src/empty new-empty " ] || fail "empty entries not first"
# l: the name last, in a column that long names do not move; -1 the names alone.
[ "$(sed '1d;$d' list.txt | awk '{ print index($0, $NF) }' | sort -u | wc -l)" = 1 ] || fail "columns: $(cat list.txt)"
[ "$("$qobz" l -1 base.qbz | wc -l)" = 7 ] && ! "$qobz" l -1 base.qbz | grep -q ' ' || fail "l -1"
# x: folders made, wildcards case-sensitive on the stored names, a folder selects what is below
# it, a pattern that selects nothing is named (exit 1); existing files replaced unless -k; -O.
expect_rc 1 "$qobz" x -Co base.qbz 'src/*.txt' SRC/RANDOM
grep -q 'base.qbz: SRC/RANDOM: not found' err.txt && [ -f o/src/text.txt ] && [ ! -e o/src/sub ] ||
  fail "x patterns: $(cat err.txt)"
expect_rc 0 "$qobz" x -Co base.qbz src/sub
[ "$(cat o/src/sub/A.TXT)" = 'new A' ] || fail "x of a folder"
echo old > o/src/text.txt && echo old > o/new.txt
"$qobz" x -Co base.qbz src/text.txt && expect_rc 0 "$qobz" x -kq -Co base.qbz new.txt &&
  cmp -s o/src/text.txt ../src/text.txt && [ "$(cat o/new.txt)" = old ] || fail "x replace / -k"
[ "$("$qobz" x -O base.qbz new.txt src/sub/A.TXT)" = 'nnew A' ] || fail "x -O"
# "-" reads the archive from standard input, as it comes.
[ "$(cat base.qbz | "$qobz" l -1 -)" = "$("$qobz" l -1 base.qbz)" ] || fail "l -"
cat base.qbz | "$qobz" t -q - && cat base.qbz | "$qobz" x -Cp - src/sub && [ -f p/src/sub/A.TXT ] ||
  fail "t - / x -"
# t and x: -q says nothing, -v names each entry; a damaged entry is reported, the rest goes on,
# its partial file is removed (a file it would replace stays), exit 1 at the end. No progress bar unless stderr is a terminal.
expect_rc 0 "$qobz" t -q base.qbz && [ ! -s out.txt ] && [ ! -s err.txt ] || fail "t -q"
expect_rc 0 "$qobz" t -v base.qbz && grep -qx 'OK  src/sub/A.TXT' out.txt || fail "t -v"
{ ar_header 9; ar_entry one 111; ar_entry two 222 0 3 7; ar_entry three 333; } > damaged.qbz
expect_rc 1 "$qobz" t damaged.qbz
grep -q 'damaged.qbz: two: Bad checksum' err.txt && grep -qx '2 entries OK, 1 damaged' out.txt ||
  fail "t past damage: $(cat out.txt err.txt)"
rm -rf hx && mkdir hx && echo keep > hx/two && expect_rc 1 "$qobz" x -v -Chx damaged.qbz
[ "$(ls -A hx | tr '\n' ' ')" = "one three two " ] && [ "$(cat hx/two)" = keep ] && grep -qx three out.txt ||
  fail "x past damage: $(ls -A hx)"
# An unknown method is damage in the entry expanded alone: l shows its code, t reports that entry
# and goes on, x of the other entries succeeds.
{ ar_header 9; ar_entry one 111; ar_entry odd 222 7; ar_entry three 333; } > odd.qbz
expect_rc 0 "$qobz" l odd.qbz
grep -q '^ *3 *3 .* 7 .* odd$' out.txt || fail "l of a method 7 entry: $(cat out.txt err.txt)"
expect_rc 1 "$qobz" t odd.qbz
grep -qx "qobz: odd.qbz: odd: Can't recognize compressed file header" err.txt &&
  grep -qx '2 entries OK, 1 damaged' out.txt || fail "t past method 7: $(cat out.txt err.txt)"
rm -rf hx && mkdir hx && expect_rc 0 "$qobz" x -Chx odd.qbz one three
expect_rc 1 "$qobz" x -Chx odd.qbz
[ "$(ls -A hx | tr '\n' ' ')" = "one three " ] && grep -q 'odd.qbz: odd: ' err.txt ||
  fail "x past method 7: $(ls -A hx; cat err.txt)"
# x and t on three threads: the same files, lines and exit codes as on one, past damaged and
# refused entries, an archive cut short, and names made in order (a file, then a folder of it).
{ ar_header 18; ar_entry one 111; ar_entry 'f\two' 222 0 3 7; ar_entry '..\up' 333
  ar_entry 'f\g\three' 333; ar_entry odd 666 7; ar_entry 'f\four' 444; ar_entry five 555; } > par.qbz
head -c -2 par.qbz > cut.qbz
{ ar_header 9; ar_entry f 111; ar_entry 'f\g' 222; ar_entry f 333; } > order.qbz
# Names apart in case only: shared out where the target tells case apart, in order where not.
{ ar_header 9; ar_entry 'd\Aa' 111; ar_entry 'd\aa' 222; ar_entry 'D\aa' 333; } > case.qbz
for ar in par cut case order; do
  for j in 1 3; do
    rm -rf p "p$j" && mkdir p && for c in x t; do
      rc=0; "$qobz" $c -v -j$j $([ $c = x ] && echo -Cp) $ar.qbz > $c$j.out 2> $c$j.err || rc=$?
      echo "rc $rc" >> $c$j.out
    done
    mv p "p$j"
  done
  diff -r p1 p3 && no_temp p3 && cmp -s x1.out x3.out && cmp -s x1.err x3.err && cmp -s t1.out t3.out &&
    cmp -s t1.err t3.err || fail "x/t -j3 differ from -j1 on $ar: $(cat x3.out x3.err t3.out t3.err)"
done
[ "$(cd p1 && find . -type f | sort | tr '\n' ' ')" = "./f " ] && [ "$(cat p1/f)" = 333 ] ||
  fail "x of order.qbz: $(cat x1.err)"
if command -v script > /dev/null; then
  script -qc "stty cols 50; '$qobz' t base.qbz" /dev/null | tr '\r' '\n' > tty.txt
  grep -q 'entries.*/s' tty.txt && [ "$(awk '{ gsub(/\033\[K/, "") } length > 50' tty.txt)" = "" ] ||
    fail "progress bar: $(cat -v tty.txt)"
  script -qc "'$qobz' t -q base.qbz" /dev/null | grep -q entries && fail "progress under -q"
fi
# d: the entries the names select go, the others stay as they are; a name that selects
# nothing is named and exits 1.
cp base.qbz before.qbz
expect_rc 1 "$qobz" d base.qbz nothing
grep -q 'nothing: not found' err.txt && cmp -s base.qbz before.qbz || fail "d nothing"
expect_rc 0 "$qobz" d -v base.qbz src/sub 'd*'
[ "$(tr '\n' ' ' < out.txt)" = "src/sub/A.TXT $long " ] || fail "d -v: $(cat out.txt)"
"$qobz" l base.qbz | grep -qFxf kept.txt && "$qobz" t -q base.qbz && [ "$("$qobz" l -1 base.qbz | wc -l)" = 5 ] ||
  fail "d: $("$qobz" l base.qbz)"
cd "$work"

# Standard output that fails ends the command: one message and exit 1 on a full disk, nothing
# at all when the reader goes away (SIGPIPE, as with other tools), never an error per entry.
seq 1 100000 > many.txt
for i in $(seq 1 200); do echo "$i" > "m$i"; done
"$qobz" a -q stdout.qbz many.txt m* || fail "a stdout.qbz"
for cmd in "l" "l -1" "t -v" "x -O"; do
  rc=0; $qobz $cmd stdout.qbz > /dev/full 2> err.txt || rc=$?
  [ $rc = 1 ] && [ "$(wc -l < err.txt)" = 1 ] && grep -q 'No space left' err.txt ||
    fail "$cmd > /dev/full: rc $rc, $(head -3 err.txt)"
  { $qobz $cmd stdout.qbz 2> err.txt; } | head -c 1 > /dev/null || true
  [ ! -s err.txt ] || fail "$cmd | head: $(head -3 err.txt)"
done

# The job count fits what the process may open: -j 64 under a 256-descriptor limit, with every
# thread's walk holding a deep chain of folders.
for i in $(seq 1 100); do
  d=deep/$(printf 'a/%.0s' $(seq 1 $((i % 20 + 1))))x$i; mkdir -p "$d"; echo "$i" > "$d/f"
done
"$qobz" a -q deep.qbz deep || fail "a deep.qbz"
mkdir dx
(ulimit -n 256; "$qobz" x -q -j 64 deep.qbz -C dx && "$qobz" t -q -j 64 deep.qbz) ||
  fail "x and t -j 64 under ulimit -n 256"
[ "$(find dx -type f | wc -l)" = 100 ] || fail "x -j 64 wrote $(find dx -type f | wc -l) files"

# Parallel x and t hold a buffer per job, never the archive's entries: the peak resident size
# (VmHWM, read while the command runs) stays below 64 MiB (a sanitizer build's own overhead
# included) for an archive of about 19 MB, where holding its entries costs four times that.
seq 1 12000000 > seq.txt
mkdir wide
for i in $(seq 1 24); do dd if=seq.txt of="wide/f$i" bs=1000000 skip="$i" count=3 status=none; done
"$qobz" a -q wide.qbz wide || fail "a wide.qbz"
peak_kib() {  # runs a command, answers its peak resident size in KiB
  "$@" & local pid=$! peak=0 now
  while now=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2> /dev/null) && [ -n "$now" ]; do
    peak=$now; sleep 0.02
  done
  wait $pid || fail "$*"
  echo "$peak"
}
mkdir wx
for cmd in "x -q -j 8 wide.qbz -C wx" "t -q -j 8 wide.qbz"; do
  kib=$(peak_kib $qobz $cmd)
  [ "$kib" -lt 65536 ] || fail "$cmd: peak $kib KiB for an archive of $(stat -c %s wide.qbz) bytes"
done
cmp -s wide/f7 wx/wide/f7 || fail "x -j 8 wide.qbz"

echo "tool_test: all passed"
