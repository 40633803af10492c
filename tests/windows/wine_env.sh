# Sourced by the tests that run Windows builds under Wine. Set `bits` (32 or 64) and `suite` (its
# name in skip lines), then call wine_setup: it picks the Wine loader for the bitness ($QOBZ_WINE:
# another one), makes a scratch prefix in $work (removed on exit) and sets WINEPREFIX and friends.
# Then wine_probe PROGRAM STATUS checks that the machine runs the build's programs at all.
# The 32-bit leg is optional: where 32-bit Wine is missing or cannot run them, the test exits 77
# (skipped) saying "SKIPPED: <suite>: <why>". wine64 is required: the 64-bit leg fails instead.
fail() { echo "FAIL: $*"; exit 1; }
skip() {
  [ "$bits" = 32 ] || fail "$* (wine64 is required: scripts/install-deps.sh)"
  echo "SKIPPED: $suite: $*"
  exit 77
}

wine_setup() {
  local suffix
  suffix=$([ "$bits" = 64 ] && echo 64 || true)
  wine=${QOBZ_WINE:-/usr/lib/wine/wine$suffix}
  # Debian's /usr/bin/wine starts the 32-bit loader only where wine32 is installed: no fallback.
  [ -x "$wine" ] || [ "$bits" = 32 ] || wine=$(command -v wine64 || true)
  [ -x "$wine" ] || skip "no ${bits}-bit Wine loader" \
    "(Debian package $([ "$bits" = 32 ] && echo wine32:i386 || echo wine64) is not installed)"
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  work=$(mktemp -d)
  export WINEPREFIX="$work/prefix" WINEARCH=win$bits WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
}

# Runs PROGRAM, which must exit with STATUS; then lets the new prefix finish its set-up (wineboot
# runs in the background, and a registry query made meanwhile can come back empty).
wine_probe() {
  local status=0
  "$wine" "$1" > "$work/probe.txt" 2>&1 || status=$?
  [ $status = "$2" ] || skip "this machine cannot run ${bits}-bit Windows programs under $wine" \
    "(probe exit $status: $(head -c 300 "$work/probe.txt" | tr '\n' ' '))"
  "$wineserver" -w
}
