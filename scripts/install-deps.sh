#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, and only those that are missing.
# Usage: scripts/install-deps.sh [demo|test]
#
# What is needed is listed in scripts/packages/*.txt: names separated by blanks, "#" starts a
# comment; "test:NAME" only for `make test`, any other name for both commands. A trailing "?" marks
# a package the tests can do without: the suites that need it say "SKIPPED: <suite>: <reason>".
# NAME:ARCH is a package of another architecture; that architecture is enabled for it alone, after
# everything else is in, and taken away again when the package cannot be had.
#
# A mirror caught mid-sync, or one that lacks a package, must not stop the tests: an index that
# fails to download is tried again a few times and then done without, a batch that fails is
# installed one package at a time, and every package that could not be installed is listed in one
# block at the end with apt's reason. Only a required package that is missing fails the script.
# QOBZ_APT_TRIES (3) and QOBZ_APT_PAUSE (10 seconds) set the retries of `apt-get update`.
set -uo pipefail
cd "$(dirname "$0")/.."
what=${1:-test}
case "$what" in
  demo | test) ;;
  *) echo "usage: $0 [demo|test]" >&2; exit 2 ;;
esac
tries=${QOBZ_APT_TRIES:-3}
pause=${QOBZ_APT_PAUSE:-10}

required=()
optional=()
for list in scripts/packages/*.txt; do
  [ -f "$list" ] || continue
  while read -r line; do
    line=${line%%#*}
    for word in $line; do
      case "$word" in
        test:*) [ "$what" = test ] || continue; word=${word#test:} ;;
        demo:*) word=${word#demo:} ;;
      esac
      case "$word" in
        *\?) optional+=("${word%\?}") ;;
        *) required+=("$word") ;;
      esac
    done
  done < "$list"
done

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
declare -A seen=()
for p in "${required[@]}" "${optional[@]}"; do
  [ -z "${seen[$p]:-}" ] || continue
  seen[$p]=1
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
native=$(dpkg --print-architecture)

# Refreshes the package indexes. An index that fails (a mirror mid-sync answers with a file of the
# wrong size) is tried again; after the last try the indexes that did download are used.
apt_update() {
  local try out rc failed
  for ((try = 1; ; try++)); do
    out=$($sudo apt-get update 2>&1)
    rc=$?
    failed=$(printf '%s\n' "$out" | sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)/  \1: \2/p')
    [ $rc != 0 ] || [ -n "$failed" ] || return 0
    [ "$try" -lt "$tries" ] || break
    echo "apt-get update: an index failed to download; trying again in $pause s ($try of $tries)"
    sleep "$pause"
  done
  echo "apt-get update: going on with the indexes that did download. Failed:"
  [ -n "$failed" ] && printf '%s\n' "$failed" ||
    printf '%s\n' "$out" | grep -E '^[EW]: ' | sed 's/^/  /'
}

# The lines of apt-get's output on standard input that say why it installed nothing.
apt_reason() {
  local lines
  lines=$(grep -E '^E: |^ .* : (Pre)?Depends:|^ +(Pre)?Depends:|: (Conflicts|Breaks):' |
    sed 's/^ *//' | grep -v '^E: Unable to correct problems')
  [ -n "$lines" ] || lines="apt-get failed without saying why"
  printf '%s\n' "$lines" | head -n 3 | paste -sd '|' | sed 's/|/; /g'
}

# Never removes or downgrades anything to make room: a package that conflicts with what is
# installed (say 32-bit Wine of another version than the 64-bit one) fails alone.
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends --no-remove \
    -o DPkg::Lock::Timeout=300 "$@"
}

declare -A why=()
# Installs the packages together, or one at a time when the batch fails.
install_all() {
  local out p
  [ $# -gt 0 ] || return 0
  echo "Installing: $*"
  out=$(apt_install "$@" 2>&1) && return 0
  [ $# -gt 1 ] || { why[$1]=$(apt_reason <<< "$out"); return; }
  echo "Installing them together failed; trying one at a time."
  for p in "$@"; do
    out=$(apt_install "$p" 2>&1) || why[$p]=$(apt_reason <<< "$out")
  done
}

ours=()
foreign=()
for p in "${missing[@]}"; do
  case "$p" in
    *:"$native" | *:all) ours+=("$p") ;;
    *:*) foreign+=("$p") ;;
    *) ours+=("$p") ;;
  esac
done

if [ ${#ours[@]} -gt 0 ]; then
  apt_update
  install_all "${ours[@]}"
fi

# Packages of another architecture, one at a time, each on its own: the architecture is enabled
# only for it, and a failure there leaves everything else as it was.
for p in "${foreign[@]}"; do
  arch=${p##*:}
  added=0
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch" && added=1
  fi
  apt_update
  install_all "$p"
  if ! installed "$p" && [ $added = 1 ]; then
    $sudo dpkg --remove-architecture "$arch" 2> /dev/null &&
      echo "dpkg: the $arch architecture was enabled for $p alone and is taken away again"
  fi
done

lost_required=()
lost_optional=()
for p in "${missing[@]}"; do
  installed "$p" && continue
  case " ${required[*]} " in
    *" $p "*) lost_required+=("$p") ;;
    *) lost_optional+=("$p") ;;
  esac
done
if [ $((${#lost_required[@]} + ${#lost_optional[@]})) -gt 0 ]; then
  echo
  echo "==== Packages that could not be installed ===="
  for p in "${lost_required[@]}"; do echo "  $p (required): ${why[$p]:-not installed}"; done
  for p in "${lost_optional[@]}"; do echo "  $p (optional): ${why[$p]:-not installed}"; done
  [ ${#lost_optional[@]} = 0 ] ||
    echo "  The suites that need an optional package are skipped, each saying why."
  echo "==============================================="
fi
if [ ${#lost_required[@]} -gt 0 ]; then
  echo "install-deps: required packages are missing: ${lost_required[*]}" >&2
  exit 1
fi
exit 0
