#!/usr/bin/env bash
# Times whole processes side by side on the same files: `qobz decode --method LH5` against the LHA
# peers extracting the same stream to /dev/null (bsdtar -xOf, 7zz e -so, lhasa pq, lha pq), and
# `qobz encode --method LH5` against `lha a`. Prints MB/s (of unpacked bytes), the ratio of qobz to
# the fastest peer, and the compression ratios. Only ratios measured in one run mean much on a
# shared machine; each time is the best of REPEAT runs.
#
# Usage: scripts/compare-lh5.sh [BUILD_DIR]   (default build; needs bin/qobz, bin/qobz_lha_member
#        and bin/qobz_corpus, and the peers: bsdtar 7zz lhasa lha)
# Corpus, made at run time in a temporary folder from files on this machine:
#   headers.tar  the first 16 MiB of a tar of /usr/include (names sorted, fixed owner and times)
#   man.txt      man-page sources (zcat of /usr/share/man/man[1-8]), up to 8 MiB
#   libstdc.so   a stripped copy of the largest of a few well-known shared libraries
#   random.bin   3 MiB of deterministic random bytes (the test corpus' random sample)
set -euo pipefail
build=${1:-build}
bin=$(cd "$build/bin" && pwd)
REPEAT=${REPEAT:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in bsdtar 7zz lhasa lha tar strip; do
  command -v $tool >/dev/null || { echo "compare-lh5: $tool is missing" >&2; exit 1; }
done

# --- corpus ------------------------------------------------------------------------------------
mkdir -p "$work/corpus"
set +o pipefail  # head ends the producers early on purpose
(cd / && find usr/include -type f -name '*.h' | LC_ALL=C sort |
   tar --no-recursion --owner=0 --group=0 --numeric-owner --mtime=@0 -cf - -T -) |
  head -c 16777216 > "$work/corpus/headers.tar"
find /usr/share/man/man[1-8] -name '*.gz' 2>/dev/null | LC_ALL=C sort | xargs -r zcat -f 2>/dev/null |
  head -c 8388608 > "$work/corpus/man.txt" || true
for lib in /usr/lib/x86_64-linux-gnu/libstdc++.so.6 /usr/lib/x86_64-linux-gnu/libcrypto.so.3 \
           /usr/lib/x86_64-linux-gnu/libc.so.6; do
  [ -f "$lib" ] && strip -o "$work/corpus/libstdc.so" "$lib" 2>/dev/null && break
done
"$bin/qobz_corpus" "$work/gen" --large >/dev/null
cp "$work/gen/random-large" "$work/corpus/random.bin"
set -o pipefail

# Best wall time in milliseconds of REPEAT runs of a command line (run in this shell, so no
# extra shell start-up is timed).
best_ms() {
  local best=999999999 t0 t1 ms
  for _ in $(seq "$REPEAT"); do
    t0=$(date +%s%N)
    eval "$1" >/dev/null 2>&1 || { echo "n/a"; return; }
    t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
    [ "$ms" -lt "$best" ] && best=$ms
  done
  [ "$best" -lt 1 ] && best=1
  echo "$best"
}
mbps() {  # bytes ms
  [ "$2" = n/a ] && { echo "n/a"; return; }
  awk -v b="$1" -v ms="$2" 'BEGIN { printf "%.0f", b / 1048576 / (ms / 1000) }'
}
ratio() {
  { [ "$1" = n/a ] || [ "$2" = n/a ]; } && { echo "n/a"; return; }
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

printf '%-12s %9s %7s | %7s %7s %7s %7s %7s | %7s\n' file bytes packed% qobz bsdtar 7zz lhasa lha \
  'qobz/best'
echo "decode, MB/s of unpacked bytes (whole process, best of $REPEAT):"
enc_lines=()
for f in "$work"/corpus/*; do
  name=$(basename "$f")
  size=$(stat -c %s "$f")
  d="$work/run/$name"
  mkdir -p "$d"
  cp "$f" "$d/$name"
  # The archive the peers read; its stream is what qobz decodes.
  (cd "$d" && lha aq a.lzh "$name" >/dev/null)
  read -r method orig < <("$bin/qobz_lha_member" "$d/a.lzh" "$d/stream")
  if [ "$method" != "-lh5-" ]; then
    # lha stores what it cannot shrink; then our own encoder makes the stream and the archive.
    if "$bin/qobz" encode --method LH5 "$f" "$d/stream" 2>/dev/null; then
      "$bin/qobz_lha_member" --make "$d/stream" "$f" "$d/a.lzh"
    else
      printf '%-12s %9d   (lha stored it as %s and qobz encode cannot make a stream yet)\n' \
        "$name" "$size" "$method"
      continue
    fi
  fi
  packed=$(stat -c %s "$d/stream")
  q=$(best_ms "'$bin/qobz' decode --method LH5 --size $size '$d/stream' /dev/null")
  b=$(best_ms "bsdtar -xOf '$d/a.lzh' > /dev/null")
  z=$(best_ms "7zz e -so '$d/a.lzh' > /dev/null")
  h=$(best_ms "lhasa pq '$d/a.lzh' > /dev/null")
  l=$(best_ms "lha pq '$d/a.lzh' > /dev/null")
  best=n/a
  for t in $b $z $h $l; do
    [ "$t" = n/a ] && continue
    if [ "$best" = n/a ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  # qobz/best as a throughput ratio: best peer time over our time.
  printf '%-12s %9d %6.1f%% | %7s %7s %7s %7s %7s | %7s\n' "$name" "$size" \
    "$(awk -v p="$packed" -v s="$size" 'BEGIN { print 100 * p / s }')" \
    "$(mbps "$size" "$q")" "$(mbps "$size" "$b")" "$(mbps "$size" "$z")" "$(mbps "$size" "$h")" \
    "$(mbps "$size" "$l")" "$(ratio "$best" "$q")"

  qe=$(best_ms "'$bin/qobz' encode --method LH5 '$f' '$d/ours'")
  le=$(best_ms "cd '$d' && rm -f e.lzh && lha aq e.lzh '$name'")
  ours=n/a
  [ -f "$d/ours" ] && [ "$qe" != n/a ] && ours=$(awk -v p="$(stat -c %s "$d/ours")" -v s="$size" \
    'BEGIN { printf "%.1f%%", 100 * p / s }')
  enc_lines+=("$(printf '%-12s %9d | %7s %7s | %7s | %8s %8s' "$name" "$size" \
    "$(mbps "$size" "$qe")" "$(mbps "$size" "$le")" "$(ratio "$le" "$qe")" "$ours" \
    "$(awk -v p="$packed" -v s="$size" 'BEGIN { printf "%.1f%%", 100 * p / s }')")")
done
echo
echo "encode, MB/s (whole process, best of $REPEAT):"
printf '%-12s %9s | %7s %7s | %7s | %8s %8s\n' file bytes qobz 'lha a' qobz/lha 'ours%' 'lha%'
printf '%s\n' "${enc_lines[@]}"
