#!/usr/bin/env bash
# The suites a test run skipped: the "SKIPPED: <suite>: <reason>" lines in the last ctest log of
# each build folder given, each once, in the order first seen.
# Usage: scripts/skipped.sh [--summary] BUILD_DIR...
#   --summary: one line for the end of `make test` instead, naming every skipped suite and why.
set -uo pipefail
summary=0
[ "${1:-}" = --summary ] && { summary=1; shift; }
lines=$(for dir in "$@"; do
  log=$dir/Testing/Temporary/LastTest.log
  [ -f "$log" ] && grep -ah '^SKIPPED: ' "$log"
done | awk '!seen[$0]++')
if [ $summary = 0 ]; then
  [ -z "$lines" ] || printf '%s\n' "$lines"
  exit 0
fi
if [ -z "$lines" ]; then
  echo "make test: all suites passed, none skipped"
else
  n=$(printf '%s\n' "$lines" | wc -l)
  echo "make test: all suites passed; $n skipped: $(printf '%s\n' "$lines" |
    sed 's/^SKIPPED: \([^:]*\): \(.*\)$/\1 (\2)/' | paste -sd ';' | sed 's/;/; /g')"
fi
