#!/usr/bin/env bash
# One table of whole-process speed, ours beside the best peer, every pair timed in the same run:
#   archive   `qobz a --method LH5` of /usr/include vs `jlha a`; `qobz x` of our archive vs
#             `bsdtar -xf` of jlha's archive (each into a fresh folder)
#   LH5       decode of the same stream (`qobz decode` vs `bsdtar -xOf` of jlha's one-member
#             archive); encode (`qobz encode` vs `jlha a`), by wall time: jlha's VM uses both cores
#   LZH       encode (ours only); decode of our -lh1- stream vs `lhasa pq` of it in an archive
#   RLE       encode and decode of 64 MiB of machine code (ours only; target 1 GB/s)
#   stored    `qobz x` of a stored entry of that file vs `cp` of it
# Each time is the best of REPEAT runs (REPEAT_TREE for the /usr/include rows), wall and CPU time
# (user + system) apart, the two sides of a row interleaved run by run. The machine is shared:
# only ratios of one run mean much, and on a busy machine the CPU ratios are the steadier ones.
#   scripts/compare.sh [BUILD_DIR]      (needs bin/qobz, bin/qobz_corpus, bin/lha_member and
#                                        bin/lzh_lha_archive: a build with QOBZ_BENCH=ON)
# Corpus, made at run time: headers.tar (the first 16 MiB of a tar of /usr/include), man.txt (up
# to 8 MiB of man-page sources), binary.so (about 12 MB of stripped shared libraries), random.bin
# (3 MiB of the test corpus' random bytes), code.bin (64 MiB of shared libraries).
set -euo pipefail
build=${1:-build}
bin=$(cd "$build/bin" && pwd)
REPEAT=${REPEAT:-3}
REPEAT_TREE=${REPEAT_TREE:-1}
TREE=${TREE:-/usr/include}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for tool in jlha bsdtar lhasa tar strip "$bin/qobz" "$bin/qobz_corpus" "$bin/lha_member" \
  "$bin/lzh_lha_archive"; do
  command -v "$tool" >/dev/null || { echo "compare: $tool is missing" >&2; exit 1; }
done

# --- corpus ------------------------------------------------------------------------------------
c=$work/corpus
mkdir -p "$c"
set +o pipefail  # head ends the producers early on purpose
(cd / && find "${TREE#/}" -type f -name '*.h' | LC_ALL=C sort |
  tar --no-recursion --owner=0 --group=0 --numeric-owner --mtime=@0 -cf - -T -) |
  head -c 16777216 >"$c/headers.tar"
find /usr/share/man/man[1-8] -name '*.gz' 2>/dev/null | LC_ALL=C sort | xargs -r zcat -f 2>/dev/null |
  head -c 8388608 >"$c/man.txt" || true
libs=$(find /usr/lib/x86_64-linux-gnu -maxdepth 1 -name '*.so*' -type f -size +1M 2>/dev/null |
  LC_ALL=C sort)
for l in $libs; do strip -o "$work/s.so" "$l" 2>/dev/null && cat "$work/s.so"; done |
  head -c 12000000 >"$c/binary.so"
for l in $libs $libs $libs; do cat "$l"; done | head -c 67108864 >"$work/code.bin"
set -o pipefail
"$bin/qobz_corpus" "$work/gen" --large >/dev/null
cp "$work/gen/random-large" "$c/random.bin"

# --- timing ------------------------------------------------------------------------------------
# Wall and CPU (user + system) seconds of one run of a command line (output discarded).
once() {
  local TIMEFORMAT='%3R %3U %3S' t wall user sys
  t=$( { time eval "$1" >/dev/null 2>&1; } 2>&1 ) || { echo "fail fail"; return; }
  read -r wall user sys <<<"$t"
  echo "$wall $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')"
}
min() { awk -v x="$1" -v y="$2" 'BEGIN { print (x == "" || y < x) ? y : x }'; }
# Best wall and CPU times of two command lines, run alternately n times: prints "ours_wall
# ours_cpu peer_wall peer_cpu" (peer "none none" without a peer). A third argument, when given,
# runs before each timed command (clean-up, not timed).
pair() {
  local n=$1 a=$2 b=$3 prep=${4:-true} aw="" ac="" bw="" bc="" w c
  for _ in $(seq "$n"); do
    eval "$prep"
    read -r w c < <(once "$a")
    [ "$w" = fail ] && { echo "fail fail none none"; return; }
    aw=$(min "$aw" "$w") ac=$(min "$ac" "$c")
    if [ -n "$b" ]; then
      eval "$prep"
      read -r w c < <(once "$b")
      [ "$w" = fail ] && continue
      bw=$(min "$bw" "$w") bc=$(min "$bc" "$c")
    fi
  done
  echo "$aw $ac ${bw:-none} ${bc:-none}"
}
rate() {  # bytes seconds -> MB/s
  [ "$2" = none ] && { echo "-"; return; }
  awk -v b="$1" -v s="$2" 'BEGIN { v = b / 1e6 / (s < 0.001 ? 0.001 : s);
    if (v >= 1000) printf "%.2fG", v / 1000; else printf "%.0fM", v }'
}
ratio() {
  { [ "$1" = none ] || [ "$2" = none ]; } && { echo "-"; return; }
  awk -v o="$1" -v p="$2" 'BEGIN { printf "%.2fx", p / (o < 0.001 ? 0.001 : o) }'
}
# work, bytes, ours wall, ours cpu, peer name, peer wall, peer cpu, target. Rates in bytes/s
# (M = 10^6, G = 10^9) by wall time and by CPU time; ratios: peer time over ours.
row() {
  [ "$3" = fail ] && { printf '%-32s | FAILED\n' "$1"; return; }
  printf '%-32s | %7.3fs %6s %6s | %-11s %7s %6s %6s | %6s %6s | %s\n' "$1" "$3" \
    "$(rate "$2" "$3")" "$(rate "$2" "$4")" "$5" \
    "$([ "$6" = none ] && echo - || printf '%.3fs' "$6")" "$(rate "$2" "$6")" "$(rate "$2" "$7")" \
    "$(ratio "$3" "$6")" "$(ratio "$4" "$7")" "$8"
}

printf '%-32s | %-22s | %-33s | %-13s | %s\n' work "ours: wall, B/s wall, cpu" \
  "peer: name, wall, B/s wall, cpu" "ratio wall cpu" target
printf -- '-%.0s' $(seq 1 118)
echo

# --- archives of a whole tree ------------------------------------------------------------------
tree_bytes=$(du -sb "$TREE" | cut -f1)
tree_parent=$(dirname "$TREE")
tree_name=$(basename "$TREE")
# Each side removes its own archive first (timed, a few milliseconds). Between extractions the
# trees of the last ones are removed and the removal written out (sync) untimed: otherwise the
# file system's work on 16,000 deleted files lands in the next timed run.
read -r qa qac ja jac < <(pair "$REPEAT_TREE" \
  "rm -f '$work/tree.qbz'; cd '$tree_parent' && '$bin/qobz' a '$work/tree.qbz' '$tree_name' --method LH5" \
  "rm -f '$work/tree.lzh'; cd '$tree_parent' && jlha aq '$work/tree.lzh' '$tree_name'")
row "qobz a --method LH5 $TREE" "$tree_bytes" "$qa" "$qac" "jlha a" "$ja" "$jac" "2x (wall)"
read -r qx qxc bx bxc < <(pair "$REPEAT_TREE" \
  "'$bin/qobz' x '$work/tree.qbz' -C '$work/xq' --mkdirs" \
  "bsdtar -xf '$work/tree.lzh' -C '$work/xb'" \
  "rm -rf '$work/xq' '$work/xb'; mkdir -p '$work/xq' '$work/xb'; sync; sleep 1")
row "qobz x of that archive" "$tree_bytes" "$qx" "$qxc" "bsdtar -xf" "$bx" "$bxc" "2x"
rm -rf "$work/xq" "$work/xb" "$work/tree.lzh"

# --- LH5 per file ------------------------------------------------------------------------------
for f in "$c"/*; do
  name=$(basename "$f")
  size=$(stat -c %s "$f")
  d=$work/lh5/$name
  mkdir -p "$d"
  cp "$f" "$d/$name"
  (cd "$d" && jlha aq a.lzh "$name" >/dev/null)
  read -r method _ < <("$bin/lha_member" "$d/a.lzh" "$d/stream")
  if [ "$method" != "-lh5-" ]; then  # jlha stored it: wrap our own stream for the peer
    "$bin/qobz" encode --method LH5 "$f" "$d/stream"
    "$bin/lha_member" --make "$d/stream" "$f" "$d/a.lzh"
  fi
  "$bin/qobz" decode --method LH5 --size "$size" "$d/stream" | cmp -s - "$f" ||
    { echo "compare: qobz decode of $name differs" >&2; exit 1; }
  read -r qd qdc bd bdc < <(pair "$REPEAT" "'$bin/qobz' decode --method LH5 --size $size '$d/stream' -" \
    "bsdtar -xOf '$d/a.lzh'")
  row "LH5 decode $name" "$size" "$qd" "$qdc" "bsdtar -xOf" "$bd" "$bdc" "3x"
done
for f in "$c"/*; do
  name=$(basename "$f")
  size=$(stat -c %s "$f")
  d=$work/lh5/$name
  read -r qe qec je jec < <(pair "$REPEAT" "'$bin/qobz' encode --method LH5 '$f' '$d/ours'" \
    "cd '$d' && jlha aq e.lzh '$name'" "rm -f '$d/e.lzh'")
  row "LH5 encode $name" "$size" "$qe" "$qec" "jlha a" "$je" "$jec" "2x (wall)"
done

# --- LZH ---------------------------------------------------------------------------------------
for f in "$c/man.txt" "$c/headers.tar" "$c/binary.so" "$c/random.bin"; do
  name=$(basename "$f")
  size=$(stat -c %s "$f")
  [ "$size" -gt 0 ] || continue
  d=$work/lzh/$name
  mkdir -p "$d"
  "$bin/qobz" encode --method LZH "$f" "$d/stream"
  "$bin/lzh_lha_archive" "$f" "$d/a.lzh"
  lhasa pq "$d/a.lzh" | cmp -s - "$f" || { echo "compare: lhasa output of $name differs" >&2; exit 1; }
  read -r qe qec _ _ < <(pair "$REPEAT" "'$bin/qobz' encode --method LZH '$f' -" "")
  row "LZH encode $name" "$size" "$qe" "$qec" "-" none none "20 MB/s (text)"
  read -r qd qdc ld ldc < <(pair "$REPEAT" "'$bin/qobz' decode --method LZH --size $size '$d/stream' -" \
    "lhasa pq '$d/a.lzh'")
  row "LZH decode $name" "$size" "$qd" "$qdc" "lhasa pq" "$ld" "$ldc" "2x"
done

# --- RLE and stored ----------------------------------------------------------------------------
size=$(stat -c %s "$work/code.bin")
"$bin/qobz" encode --method RLE "$work/code.bin" "$work/code.rle"
read -r re rec _ _ < <(pair "$REPEAT" "'$bin/qobz' encode --method RLE '$work/code.bin' /dev/null" "")
row "RLE encode 64 MiB machine code" "$size" "$re" "$rec" "-" none none "1 GB/s"
read -r rd rdc _ _ < <(pair "$REPEAT" \
  "'$bin/qobz' decode --method RLE --size $size '$work/code.rle' /dev/null" "")
row "RLE decode 64 MiB machine code" "$size" "$rd" "$rdc" "-" none none "1 GB/s"
(cd "$work" && "$bin/qobz" a stored.qbz code.bin --method NON >/dev/null)
read -r sx sxc cpw cpc < <(pair "$REPEAT" "'$bin/qobz' x '$work/stored.qbz' -C '$work/sx'" \
  "cp '$work/code.bin' '$work/sx/copy.bin'" "rm -rf '$work/sx'; mkdir -p '$work/sx'")
row "stored extraction (qobz x) 64 MiB" "$size" "$sx" "$sxc" "cp" "$cpw" "$cpc" "1 GB/s"
