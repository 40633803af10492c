#!/usr/bin/env bash
# The library as other programs get it: `cmake --install` of a static and of a shared build, the
# layout of the install tree, and the examples built and run four ways: with find_package, with
# pkg-config, through add_subdirectory of the source tree and through FetchContent. The shared library has a SONAME.
# Usage: check_package.sh [WORK_DIR]   (default: build-package in the source tree)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$src/build-package}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
jobs=${JOBS:-2}
launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fail() { echo "FAIL: $*"; exit 1; }

# A sample archive with folders, made by the installed tool; the names every example must print.
make_sample() {  # TOOL
  mkdir -p "$work/in/docs/sub"
  printf 'first file\n' > "$work/in/a.txt"
  seq 1 3000 > "$work/in/docs/numbers.txt"
  printf 'deep\n' > "$work/in/docs/sub/deep.txt"
  (cd "$work/in" && "$1" a "$work/sample.qbz" a.txt docs > /dev/null)
  printf '%s\n' 'a.txt' 'docs\numbers.txt' 'docs\sub\deep.txt' > "$work/expected.txt"
}

run_examples() {  # LABEL DIR_OF_BINARIES
  local label=$1 bin=$2
  for list in list_c list_cpp; do
    [ -x "$bin/$list" ] || continue
    "$bin/$list" "$work/sample.qbz" > "$work/out.txt" || fail "$label: $list failed"
    cmp -s "$work/out.txt" "$work/expected.txt" || fail "$label: $list printed $(cat "$work/out.txt")"
  done
  "$bin/extract_c" "$work/sample.qbz" 'docs\numbers.txt' "$work/numbers.out" 2> "$work/progress.txt" ||
    fail "$label: extract to a file failed"
  grep -q '100%' "$work/progress.txt" || fail "$label: no progress to 100%: $(cat "$work/progress.txt")"
  cmp -s "$work/numbers.out" "$work/in/docs/numbers.txt" || fail "$label: extracted file differs"
  "$bin/extract_c" "$work/sample.qbz" 'a.txt' > "$work/a.out" || fail "$label: extract to stdout failed"
  cmp -s "$work/a.out" "$work/in/a.txt" || fail "$label: extracted data differ"
  if "$bin/extract_c" "$work/sample.qbz" 'missing' 2> /dev/null; then fail "$label: missing entry passed"; fi
  echo "ok: $label"
}

install_build() {  # NAME CMAKE_ARGS...
  local name=$1; shift
  cmake -S "$src" -B "$work/$name" -DCMAKE_BUILD_TYPE=Release -DQOBZ_LAUNCHER=OFF \
    "${launcher[@]}" "$@" > "$work/$name.log"
  nice -n 5 cmake --build "$work/$name" -j "$jobs" >> "$work/$name.log"
  cmake --install "$work/$name" --prefix "$work/$name-prefix" >> "$work/$name.log"
}

# 1. Static (the default), with the tool: the install tree holds exactly what users expect.
install_build static -DQOBZ_TOOLS=ON
prefix=$work/static-prefix
for f in bin/qobz include/qobz/qobz.h include/qobz/version.h include/qobz/compress.h \
         include/qobz/archive_reader.h lib/libqobz.a lib/pkgconfig/qobz.pc \
         lib/cmake/qobz/qobzConfig.cmake lib/cmake/qobz/qobzConfigVersion.cmake \
         share/man/man1/qobz.1; do
  [ -e "$prefix/$f" ] || fail "install tree lacks $f"
done
# Only include/ is public: no internal header is installed or reached for.
extra=$(cd "$prefix/include" && find . -type f ! -path './qobz/*.h')
[ -z "$extra" ] || fail "unexpected files under include: $extra"
if grep -rlE '#include "(platform|codecs|archive)/' "$prefix/include"; then
  fail "an installed header includes an internal one"
fi
version=$(sed -n 's/^#define QOBZ_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/qobz/version.h")
[ "$version" = "$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion qobz)" ] ||
  fail "qobz.pc and version.h disagree"
echo "ok: install tree of version $version"
make_sample "$prefix/bin/qobz"

# 2. find_package against the static install.
cmake -S "$src/examples" -B "$work/find-static" -DCMAKE_PREFIX_PATH="$prefix" "${launcher[@]}" \
  > "$work/find-static.log"
cmake --build "$work/find-static" -j "$jobs" >> "$work/find-static.log"
run_examples "find_package, static" "$work/find-static"

# 3. pkg-config with nothing but the C compiler.
pc_build() {  # PREFIX DIR: the C examples built with the flags pkg-config gives for PREFIX
  local flags libs c
  mkdir -p "$2"
  flags=$(PKG_CONFIG_PATH=$1/lib/pkgconfig pkg-config --cflags qobz)
  libs=$(PKG_CONFIG_PATH=$1/lib/pkgconfig pkg-config --libs qobz)
  for c in list extract; do
    # shellcheck disable=SC2086
    cc -std=c11 -Wall -Wextra -pedantic -Werror $flags "$src/examples/$c.c" -o "$2/${c}_c" $libs
  done
}
pc_build "$prefix" "$work/pc"
run_examples "pkg-config, static" "$work/pc"

# 4. add_subdirectory of the source tree: no install, no internal paths.
cmake -S "$src/examples" -B "$work/subdir" -DQOBZ_SOURCE_TREE="$src" "${launcher[@]}" \
  > "$work/subdir.log"
nice -n 5 cmake --build "$work/subdir" -j "$jobs" >> "$work/subdir.log"
run_examples "add_subdirectory" "$work/subdir"

# 5. FetchContent of a source archive.
tar -C "$src" --exclude='./build*' --exclude=./.git -czf "$work/qobz-src.tar.gz" .
cmake -S "$src/examples" -B "$work/fetch" -DQOBZ_FETCH_URL="file://$work/qobz-src.tar.gz" \
  "${launcher[@]}" > "$work/fetch.log"
nice -n 5 cmake --build "$work/fetch" -j "$jobs" >> "$work/fetch.log"
run_examples "FetchContent" "$work/fetch"

# 6. Shared: a versioned library with a SONAME, found by find_package and by pkg-config.
install_build shared -DBUILD_SHARED_LIBS=ON -DQOBZ_TOOLS=OFF
sprefix=$work/shared-prefix
major=${version%%.*}
[ -f "$sprefix/lib/libqobz.so.$version" ] || fail "no libqobz.so.$version"
[ "$(readlink "$sprefix/lib/libqobz.so")" = "libqobz.so.$major" ] || fail "libqobz.so link"
soname=$(objdump -p "$sprefix/lib/libqobz.so.$version" | sed -n 's/^ *SONAME *//p')
[ "$soname" = "libqobz.so.$major" ] || fail "SONAME is '$soname'"
[ ! -e "$sprefix/lib/libqobz.a" ] || fail "the shared build installed a static library"
echo "ok: shared library with SONAME $soname"
cmake -S "$src/examples" -B "$work/find-shared" -DCMAKE_PREFIX_PATH="$sprefix" "${launcher[@]}" \
  > "$work/find-shared.log"
cmake --build "$work/find-shared" -j "$jobs" >> "$work/find-shared.log"
objdump -p "$work/find-shared/list_c" | grep -q "NEEDED *libqobz.so.$major" ||
  fail "list_c does not load libqobz.so.$major"
run_examples "find_package, shared" "$work/find-shared"
pc_build "$sprefix" "$work/pc-shared"
(export LD_LIBRARY_PATH=$sprefix/lib; run_examples "pkg-config, shared" "$work/pc-shared")
echo "check_package: all passed"
