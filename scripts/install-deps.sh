#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, and only those that are missing.
# Usage: scripts/install-deps.sh [demo|test]
set -euo pipefail
what=${1:-test}

# The demo needs a compiler and CMake only.
pkgs=(build-essential cmake)
if [ "$what" = test ]; then
  # Unit tests, sanitizers and fuzzers (clang + libFuzzer), benchmarks, and the LHA peers used as
  # black boxes.
  pkgs+=(libgtest-dev clang libfuzzer-14-dev libclang-rt-14-dev libbenchmark-dev
         lhasa jlha-utils 7zip libarchive-tools)
fi
# Each part of the project may list what it needs in scripts/packages/*.txt: one or more names per
# line; "test:NAME" only for `make test`, anything else for both commands.
for list in scripts/packages/*.txt; do
  [ -f "$list" ] || continue
  while read -r line; do
    line=${line%%#*}
    for word in $line; do
      case "$word" in
        demo:*) pkgs+=("${word#demo:}") ;;
        test:*) [ "$what" = test ] && pkgs+=("${word#test:}") ;;
        *) pkgs+=("$word") ;;
      esac
    done
  done < "$list"
done

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  # Packages of another architecture (NAME:i386) need that architecture enabled first.
  for p in "${missing[@]}"; do
    case "$p" in
      *:*) arch=${p##*:}
           [ "$arch" = "$(dpkg --print-architecture)" ] ||
             dpkg --print-foreign-architectures | grep -qx "$arch" ||
             $sudo dpkg --add-architecture "$arch" ;;
    esac
  done
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
