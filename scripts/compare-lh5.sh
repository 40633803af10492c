#!/usr/bin/env bash
# Times whole processes side by side on the same files: `qobz decode --method LH5` against the LHA
# peers extracting the same stream to /dev/null (bsdtar -xOf, 7zz e -so, lhasa pq, jlha pq), and
# `qobz encode --method LH5` (and with --best) against `jlha a`. Prints MB/s (of unpacked bytes),
# the ratio of qobz to the fastest peer, and the compression ratios. Only ratios measured in one
# run mean much on a shared machine; each time is the best of REPEAT runs.
#
# Usage: scripts/compare-lh5.sh [BUILD_DIR]   (default build; needs bin/qobz, bin/lha_member
#        and bin/qobz_corpus, and the peers: bsdtar 7zz lhasa jlha)
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

for tool in bsdtar 7zz lhasa jlha tar strip; do
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

# Best wall time and best CPU time (user + system) in milliseconds of REPEAT runs of a command
# line, run in this shell so that no extra shell start-up is timed. CPU time is the steadier
# measure on a shared machine; both are printed.
best_ms() {
  local best_wall=999999999 best_cpu=999999999 t wall user sys cpu
  local TIMEFORMAT='%3R %3U %3S'
  for _ in $(seq "$REPEAT"); do
    t=$( { time eval "$1" >/dev/null 2>&1; } 2>&1 ) || { echo "n/a n/a"; return; }
    read -r wall user sys <<< "$t"
    wall=$(awk -v x="$wall" 'BEGIN { printf "%d", x * 1000 }')
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%d", (u + s) * 1000 }')
    [ "$wall" -lt "$best_wall" ] && best_wall=$wall
    [ "$cpu" -lt "$best_cpu" ] && best_cpu=$cpu
  done
  [ "$best_wall" -lt 1 ] && best_wall=1
  [ "$best_cpu" -lt 1 ] && best_cpu=1
  echo "$best_wall $best_cpu"
}
mbps() {  # bytes ms
  [ "$2" = n/a ] && { echo "n/a"; return; }
  awk -v b="$1" -v ms="$2" 'BEGIN { printf "%.0f", b / 1048576 / (ms / 1000) }'
}
mbps1() {  # bytes ms, one decimal
  [ "$2" = n/a ] && { echo "n/a"; return; }
  awk -v b="$1" -v ms="$2" 'BEGIN { printf "%.1f", b / 1048576 / (ms / 1000) }'
}
ratio() {
  { [ "$1" = n/a ] || [ "$2" = n/a ]; } && { echo "n/a"; return; }
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

echo "decode: MB/s of unpacked bytes by wall time (and by CPU time), best of $REPEAT runs each;"
echo "ratio: the fastest peer's time over qobz's time"
printf '%-12s %9s %7s | %11s %11s %11s %11s %11s | %5s %5s\n' file bytes packed% qobz bsdtar \
  7zz lhasa jlha wall cpu
enc_lines=()
for f in "$work"/corpus/*; do
  name=$(basename "$f")
  size=$(stat -c %s "$f")
  d="$work/run/$name"
  mkdir -p "$d"
  cp "$f" "$d/$name"
  # The archive the peers read; its stream is what qobz decodes.
  (cd "$d" && jlha aq a.lzh "$name" >/dev/null)
  read -r method orig < <("$bin/lha_member" "$d/a.lzh" "$d/stream")
  if [ "$method" != "-lh5-" ]; then
    # jlha stores what it cannot shrink; then our own encoder makes the stream and the archive.
    if "$bin/qobz" encode --method LH5 "$f" "$d/stream" 2>/dev/null; then
      "$bin/lha_member" --make "$d/stream" "$f" "$d/a.lzh"
    else
      printf '%-12s %9d   (jlha stored it as %s and qobz encode cannot make a stream yet)\n' \
        "$name" "$size" "$method"
      continue
    fi
  fi
  packed=$(stat -c %s "$d/stream")
  read -r qw qc < <(best_ms "'$bin/qobz' decode --method LH5 --size $size '$d/stream' /dev/null")
  cols=() best_w=n/a best_c=n/a
  for cmd in "bsdtar -xOf '$d/a.lzh'" "7zz e -so '$d/a.lzh'" "lhasa pq '$d/a.lzh'" \
             "jlha pq '$d/a.lzh'"; do
    read -r w c < <(best_ms "$cmd")
    cols+=("$(mbps "$size" "$w")($(mbps "$size" "$c"))")
    [ "$w" = n/a ] && continue
    if [ "$best_w" = n/a ] || [ "$w" -lt "$best_w" ]; then best_w=$w; fi
    if [ "$best_c" = n/a ] || [ "$c" -lt "$best_c" ]; then best_c=$c; fi
  done
  printf '%-12s %9d %6.1f%% | %11s %11s %11s %11s %11s | %5s %5s\n' "$name" "$size" \
    "$(awk -v p="$packed" -v s="$size" 'BEGIN { print 100 * p / s }')" \
    "$(mbps "$size" "$qw")($(mbps "$size" "$qc"))" "${cols[@]}" \
    "$(ratio "$best_w" "$qw")" "$(ratio "$best_c" "$qc")"

  read -r qe qec < <(best_ms "'$bin/qobz' encode --method LH5 '$f' '$d/ours'")
  read -r le lec < <(best_ms "cd '$d' && rm -f e.lzh && jlha aq e.lzh '$name'; cd - >/dev/null")
  read -r be bec < <(best_ms "'$bin/qobz' encode --method LH5 --best '$f' '$d/best'")
  percent_of() {  # packed-file size
    [ -f "$1" ] && [ "$2" != n/a ] && awk -v p="$(stat -c %s "$1")" -v s="$size" \
      'BEGIN { printf "%.2f%%", 100 * p / s }' || echo n/a
  }
  ours=$(percent_of "$d/ours" "$qe")
  best=$(percent_of "$d/best" "$be")
  # How much smaller --best is than the smaller of jlha's stream and ours.
  gain=n/a
  [ "$best" != n/a ] && [ "$ours" != n/a ] && gain=$(awk -v b="$(stat -c %s "$d/best")" \
    -v o="$(stat -c %s "$d/ours")" -v j="$packed" 'BEGIN { m = o < j ? o : j; printf "%.2f%%", 100 * (1 - b / m) }')
  enc_lines+=("$(printf '%-12s %9d | %11s %11s | %5s %5s | %8s %8s | %11s %8s %7s' "$name" \
    "$size" "$(mbps "$size" "$qe")($(mbps "$size" "$qec"))" \
    "$(mbps "$size" "$le")($(mbps "$size" "$lec"))" "$(ratio "$le" "$qe")" "$(ratio "$lec" "$qec")" \
    "$ours" "$(awk -v p="$packed" -v s="$size" 'BEGIN { printf "%.2f%%", 100 * p / s }')" \
    "$(mbps1 "$size" "$be")($(mbps1 "$size" "$bec"))" "$best" "$gain")")
done
echo
echo "encode: MB/s by wall time (and by CPU time), best of $REPEAT; ratio: jlha's time over ours;"
echo "sizes in percent of the file; --best gain: how much smaller than the smaller of ours and jlha's"
printf '%-12s %9s | %11s %11s | %5s %5s | %8s %8s | %11s %8s %7s\n' file bytes qobz 'jlha a' wall \
  cpu 'ours%' 'jlha%' '--best MB/s' 'best%' gain
printf '%s\n' "${enc_lines[@]}"
