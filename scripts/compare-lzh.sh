#!/usr/bin/env bash
# LZH speed beside lhasa, whole process, best of N runs, each pair timed side by side:
#   decode: `lhasa pq ARCHIVE` extracting our -lh1- entry vs `qobz decode --method LZH`
#   encode: `qobz encode --method LZH`, MB/s of unpacked data, and the packed/unpacked ratio.
# Inputs: 8 MB of man-page text (when /usr/share/man has any) and every generated corpus file
# larger than 1 MB. The machine may be busy: only the ratios of one run mean much.
#   scripts/compare-lzh.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build}
runs=${2:-5}
bin=$build/bin
for tool in "$bin/qobz" "$bin/qobz_corpus" "$bin/lzh_lha_archive"; do
  [[ -x $tool ]] || { echo "missing $tool: build with benchmarks first (make build)" >&2; exit 1; }
done
command -v lhasa >/dev/null || { echo "lhasa is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/qobz_corpus" "$work/corpus" --large >/dev/null
inputs=()
if compgen -G "/usr/share/man/man1/*.gz" >/dev/null; then
  (zcat /usr/share/man/man1/*.gz 2>/dev/null || true) | head -c 8000000 >"$work/man-pages.txt"
  inputs+=("$work/man-pages.txt")
fi
while IFS= read -r f; do inputs+=("$f"); done < <(find "$work/corpus" -type f -size +1024k | sort)

now() { date +%s.%N; }
# Best wall time of one command over the runs, in seconds; stdout discarded.
best_of() {
  local best=""
  for ((i = 0; i < runs; i++)); do
    local t0 t1
    t0=$(now)
    "$@" >/dev/null
    t1=$(now)
    best=$(awk -v a="$best" -v d="$(awk -v x="$t0" -v y="$t1" 'BEGIN{print y-x}')" \
      'BEGIN{if (a == "" || d < a) print d; else print a}')
  done
  echo "$best"
}

printf '%-22s %9s %7s %10s %10s %10s %7s\n' file size ratio "enc MB/s" "dec MB/s" "lhasa MB/s" "dec/lha"
for f in "${inputs[@]}"; do
  name=$(basename "$f")
  size=$(stat -c %s "$f")
  "$bin/qobz" encode --method LZH "$f" "$work/packed"
  "$bin/lzh_lha_archive" "$f" "$work/archive.lzh"
  # Both decoders must give the input back before their times count.
  "$bin/qobz" decode --method LZH --size "$size" "$work/packed" | cmp -s - "$f" ||
    { echo "$name: qobz decode differs" >&2; exit 1; }
  lhasa pq "$work/archive.lzh" | cmp -s - "$f" || { echo "$name: lhasa output differs" >&2; exit 1; }
  packed=$(stat -c %s "$work/packed")
  enc=$(best_of "$bin/qobz" encode --method LZH "$f" -)
  # Interleave the two decoders run by run so that both see the same load.
  dec="" lha=""
  for ((k = 0; k < runs; k++)); do
    d=$(runs=1 best_of "$bin/qobz" decode --method LZH --size "$size" "$work/packed" -)
    l=$(runs=1 best_of lhasa pq "$work/archive.lzh")
    dec=$(awk -v a="$dec" -v b="$d" 'BEGIN{if (a == "" || b < a) print b; else print a}')
    lha=$(awk -v a="$lha" -v b="$l" 'BEGIN{if (a == "" || b < a) print b; else print a}')
  done
  awk -v n="$name" -v s="$size" -v p="$packed" -v e="$enc" -v d="$dec" -v l="$lha" 'BEGIN{
    printf "%-22s %9d %7.3f %10.1f %10.1f %10.1f %7.2f\n", n, s, p / s, s / e / 1e6, s / d / 1e6,
      s / l / 1e6, l / d }'
done
