#!/usr/bin/env bash
# Rewrites and raw streams against hostile inputs, one table per rule: a rewritten archive is never
# more open than the one it replaces and keeps its group; an input named again that cannot be read
# leaves the archive byte for byte as it was (unless --keep-unreadable); an entry whose data end
# early is damage; encode and decode read a FIFO or a pipe to its end.
set -euo pipefail
bin=$1
qobz=$bin/qobz
work=$(mktemp -d)
trap 'kill -9 ${pid:-} 2>/dev/null || true; chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
chmod 755 "$work"
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
leftovers() { find "$1" -name '.qobz-*' | grep -q . && fail "$2: temporary files left: $(ls -A "$1")" || true; }
# Permission bits stop root from nothing: as root, the tool runs as nobody where they must count.
root=$([ "$(id -u)" = 0 ] && echo 1 || echo 0)
as_user() { if [ $root = 1 ]; then setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; else "$@"; fi; }
give() { if [ $root = 1 ]; then chown -R 65534:65534 "$@"; fi; }

# --- A rewrite never widens access, and keeps the group where the caller may set it. ---
# Rows: command, mode before, whether the caller may set the group (else nobody rewrites a file
# of a group it is not in), mode after.
for row in "a 600 yes 600" "d 600 yes 600" "a 640 yes 640" "d 604 yes 604" \
           "a 640 no 600" "d 660 no 600"; do
  read -r cmd before may after <<< "$row"
  [ "$may" = yes ] || [ $root = 1 ] || continue
  c=$work/mode-${row// /-}; mkdir "$c"; cd "$c"
  mkdir dir; echo one > dir/a.txt; echo two > dir/b.txt
  "$qobz" a -q arc.qbz dir
  echo three > dir/b.txt
  chmod "$before" arc.qbz
  if [ "$may" = yes ]; then
    chgrp 4242 arc.qbz 2>/dev/null || chgrp "$(id -G | tr ' ' '\n' | tail -1)" arc.qbz
    group=$(stat -c %g arc.qbz); run=()
  else
    give .; chgrp 4242 arc.qbz; group=65534; run=(as_user)
  fi
  if [ "$cmd" = a ]; then "${run[@]}" "$qobz" a -q arc.qbz dir; else "${run[@]}" "$qobz" d -q arc.qbz dir/a.txt; fi \
    || fail "$row: exit $?"
  [ "$(stat -c %a arc.qbz)" = "$after" ] || fail "$row: mode $(stat -c %a arc.qbz)"
  [ "$(stat -c %g arc.qbz)" = "$group" ] || fail "$row: group $(stat -c %g arc.qbz), not $group"
  leftovers . "$row"
  cd "$work"
done

# While a is rewriting a private archive, its temporary file is private too: the tool is held
# mid-way by a standard output that nobody reads.
c=$work/during; mkdir -p "$c/big"; cd "$c"
long=$(printf 'n%.0s' {1..200})
for i in $(seq 1 1000); do echo "$i" > "big/$long$i"; done
"$qobz" a -q arc.qbz big
chmod 600 arc.qbz
mkfifo held; exec 3<> held
"$qobz" a -v -j 1 arc.qbz big >&3 2>/dev/null & pid=$!
temp=
for _ in $(seq 1 600); do
  temp=$(find . -maxdepth 1 -name '.qobz-*' -size +0 | head -1)
  [ -n "$temp" ] && break
  sleep 0.05
done
[ -n "$temp" ] || fail "no temporary file seen while a rewrites"
[ "$(stat -c %a "$temp")" = 600 ] || fail "the rewrite's temporary file is $(stat -c %a "$temp")"
kill -9 $pid; wait $pid 2>/dev/null || true; pid=; exec 3>&-
cd "$work"

# --- a onto an existing archive loses nothing. ---
# Rows: how dir/a.txt (or the folder dir/sub) became unreadable, whether --keep-unreadable is
# given, and the path the error names.
for row in "perm no dir/a.txt" "perm yes dir/a.txt" "fifo no dir/a.txt" "fifo yes dir/a.txt" \
           "dangling no dir/a.txt" "dangling yes dir/a.txt" "folder no dir/sub" \
           "folder yes dir/sub"; do
  read -r how keep named <<< "$row"
  c=$work/lose-$(echo "$row" | tr " /" --); mkdir "$c"; cd "$c"
  mkdir -p dir/sub; echo old-a > dir/a.txt; echo old-b > dir/b.txt; echo old-c > dir/sub/c.txt
  "$qobz" a -q arc.qbz dir
  echo new-b > dir/b.txt
  case $how in
    perm) chmod 000 dir/a.txt ;;
    fifo) rm dir/a.txt; mkfifo dir/a.txt ;;
    dangling) rm dir/a.txt; ln -s missing dir/a.txt ;;
    folder) chmod 000 dir/sub ;;
  esac
  give .
  cp -p arc.qbz before.qbz
  opts=(); [ "$keep" = yes ] && opts=(--keep-unreadable)
  rc=0; (cd "$c" && as_user "$qobz" a -q arc.qbz dir "${opts[@]}") 2> err.txt || rc=$?
  grep -qF "$named" err.txt || fail "$row: the error does not name $named: $(cat err.txt)"
  leftovers . "$row"
  if [ "$keep" = no ]; then
    [ $rc != 0 ] || fail "$row: exit 0"
    cmp -s arc.qbz before.qbz || fail "$row: the archive changed"
  else
    [ $rc = 1 ] || fail "$row: exit $rc"
    mkdir out; "$qobz" x -q arc.qbz -C out
    [ "$(cat out/dir/a.txt)" = old-a ] && [ "$(cat out/dir/sub/c.txt)" = old-c ] \
      || fail "$row: an old entry was lost"
    [ "$(cat out/dir/b.txt)" = new-b ] || fail "$row: the rest was not updated"
  fi
  cd "$work"
done

# --- Short data are damage. ---
# Rows: method, bytes cut off the end of a one-entry archive whose data end in zeros (so the byte
# sum still matches).
c=$work/short; mkdir "$c"; cd "$c"
{ printf ab; head -c 400 /dev/zero; } > z
for row in "NON 1" "NON 300" "RLE 1" "RLE 2"; do
  read -r method cut <<< "$row"
  rm -rf out; mkdir out
  "$qobz" a -q --method "$method" whole.qbz z
  head -c $(($(stat -c %s whole.qbz) - cut)) whole.qbz > short.qbz; rm whole.qbz
  "$qobz" t -q short.qbz 2>/dev/null && fail "t passes $row"
  "$qobz" x -q short.qbz -C out 2>/dev/null && fail "x passes $row"
  [ -z "$(ls -A out)" ] || fail "x $row left $(ls -A out)"
done

# The raw commands read any input to its end. Rows: method, options of decode.
head -c 70000 /dev/urandom > in.bin; head -c 50000 /dev/zero >> in.bin
for row in "NON" "RLE" "LH5 --size 120000"; do
  read -r method dopts <<< "$row"
  mkfifo f1 f2
  "$qobz" encode --method "$method" in.bin ref.enc
  cat in.bin > f1 & "$qobz" encode --method "$method" f1 fifo.enc
  cat in.bin | "$qobz" encode --method "$method" /dev/stdin stdin.enc
  cmp ref.enc fifo.enc && cmp ref.enc stdin.enc || fail "encode $row from a FIFO or a pipe"
  # shellcheck disable=SC2086
  { cat ref.enc > f2 & "$qobz" decode --method "$method" $dopts f2 fifo.dec; }
  # shellcheck disable=SC2086
  cat ref.enc | "$qobz" decode --method "$method" $dopts /dev/stdin stdin.dec
  cmp in.bin fifo.dec && cmp in.bin stdin.dec || fail "decode $row from a FIFO or a pipe"
  rm -f f1 f2 ./*.enc ./*.dec
done
echo "rewrite tests passed"
