#!/usr/bin/env bash
# Static checks of the shipped 32-bit launcher (wine_e2e.sh runs it): a PE32 DLL for i386
# exporting exactly MakeBackupCD (undecorated, stdcall), importing only system DLLs, its image no
# larger than the archive offset of 431,616, and the companion archive at that offset.
# Usage: static_checks.sh BUILD_WIN32
set -euo pipefail
build=$(cd "$1" && pwd)
objdump=i686-w64-mingw32-objdump
command -v $objdump > /dev/null || objdump=objdump
offset=$(sed -n 's/^set(QOBZ_SHIPPED_ARCHIVE_OFFSET \([0-9]*\))$/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
[ -n "$offset" ] || { echo "FAIL: no QOBZ_SHIPPED_ARCHIVE_OFFSET in CMakeLists.txt"; exit 1; }
linked="$build/launcher/linked/Launcher.dll"
packed="$build/lib/Launcher.dll"
fail() { echo "FAIL: $*"; exit 1; }
for f in "$linked" "$packed"; do [ -f "$f" ] || fail "missing $f"; done
[ "$(cat "$build/launcher/offset.txt")" = $offset ] || fail "the build used offset $(cat "$build/launcher/offset.txt")"

# Imports and the format of each 32-bit binary of the set.
system_dlls='^(kernel32|advapi32|user32|msvcrt|ntdll|shell32|ws2_32|bcrypt)\.dll$'
check_pe32() {  # FILE
  local info
  info=$($objdump -p "$1")
  grep -q "file format pei-i386" <<< "$info" || fail "$1 is not PE32 for i386"
  local dlls
  dlls=$(echo "$info" | sed -n 's/^[[:space:]]*DLL Name: //p')
  [ -n "$dlls" ] || fail "$1 imports nothing"
  while read -r dll; do
    echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system_dlls" || fail "$1 imports $dll"
  done <<< "$dlls"
  echo "ok: $(basename "$1") is PE32 i386, imports: $(echo $dlls)"
}
check_pe32 "$linked"
for f in Dorvane.exe Krovnel.dll VQ.EXE; do check_pe32 "$build/companion/$f"; done

# The one export, by its plain name.
info=$($objdump -p "$linked")
exports=$(echo "$info" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p')
[ "$exports" = "MakeBackupCD" ] || fail "exports are [$exports]"
echo "ok: the only export is MakeBackupCD"

# stdcall: the function removes its five 4-byte arguments (ret $0x14).
rva=$(echo "$info" | sed -n 's/.*\[ *0\] +base\[ *1\] *\([0-9a-f]*\) Export RVA.*/\1/p')
base=$(echo "$info" | sed -n 's/^ImageBase[[:space:]]*\([0-9a-f]*\)/\1/p')
[ -n "$rva" ] && [ -n "$base" ] || fail "export address not found"
start=$(printf '0x%x' $(( 0x$base + 0x$rva )))
first_ret=$($objdump -d --start-address="$start" --stop-address=$(( start + 512 )) "$linked" |
            grep -m1 -E '\sret' || true)
grep -Eq 'ret +\$0x14' <<< "$first_ret" || fail "MakeBackupCD does not return as stdcall: $first_ret"
echo "ok: MakeBackupCD returns with ret \$0x14 (stdcall)"

# Sizes: the linked file and its image fit below the archive.
size=$(stat -c %s "$linked")
image=$(( 0x$(echo "$info" | sed -n 's/^SizeOfImage[[:space:]]*\([0-9a-f]*\)/\1/p') ))
[ "$size" -le $offset ] || fail "the linked DLL is $size bytes, above $offset"
[ "$image" -le $offset ] || fail "SizeOfImage is $image, above $offset"
echo "ok: linked size $size, image size $image, both <= $offset"

# The packed file: the linked DLL, zero bytes, the archive at the offset.
cmp -n "$size" "$linked" "$packed" || fail "the packed DLL does not start with the linked one"
pad=$(( offset - size ))
[ "$(head -c $offset "$packed" | tail -c $pad | tr -d '\0' | wc -c)" = 0 ] || fail "padding is not zero"
magic=$(dd if="$packed" bs=1 skip=$offset count=5 2>/dev/null | od -An -tx1 | tr -d ' \n')
[ "$magic" = "514f425a1a" ] || fail "no archive header at $offset (found $magic)"
cmp <(tail -c +$(( offset + 1 )) "$packed") "$build/companion/companion.qbz" || fail "appended bytes differ from the archive"
echo "ok: archive at $offset ($(( $(stat -c %s "$packed") - offset )) bytes)"
echo "i686 static checks: all passed"
