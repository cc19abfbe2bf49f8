#!/usr/bin/env bash
# Headless program: nothing lost, nothing silent. Runs started together with one prefix get
# reports of their own and all their lines stored; a store locked by another program holds the
# lines until it is free (or the record completes them by import); a full disk makes a run
# INCOMPLETE with no torn line; exports refuse pipes and devices; import names bad fields; foreign
# and newer databases stay byte-identical; a stopped run is STOPPED; an unreadable board file ends
# the program.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
mnt=""
cleanup() {
  [ -n "$mnt" ] && umount "$mnt" 2>/dev/null
  [ -n "${holder:-}" ] && kill "$holder" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }
[ -f "$build/libquickusb_sim.so" ] || fail "no simulated bench in $build"
command -v sqlite3 > /dev/null || fail "sqlite3 missing (scripts/bootstrap installs it)"

. "$src/tests/support/bench_script.sh"
whole() {  # $1 prefix: a run of the status steps to its end
  script "$1" "EnableTempOtrDac EnablePowerSupplies"
  echo "waitfor Test.SequencerTimer == 0 timeout 3000"
  echo "quit"
}
run() {  # $1 store, $2 script; output in $out, status in $rc
  out=$("$cli" --sim --virtual-time --settings "$tmp/s.ini" --results-db "$1" --script "$2" 2>&1)
  rc=$?
}
results() { grep -cE '^(PASSED|\*\*\*FAILED) : ' "$1"; }
stored() {  # $1 store, $2 report: "VERDICT LINES" of its run
  "$cli" --results-db "$1" --history --csv | tr -d '\r' | awk -F, -v r="$2" '$12 == r {print $7, $10}'
}

# Five pairs of runs started together with one prefix on one store: ten reports, each a run of
# its own, every line of every run stored.
mkdir "$tmp/pairs"
whole "$tmp/pairs/b" > "$tmp/whole.tsk"
db="$tmp/pairs.sqlite"
for _ in 1 2 3 4 5; do
  "$cli" --sim --virtual-time --settings "$tmp/s1.ini" --results-db "$db" --script "$tmp/whole.tsk" \
    > "$tmp/p1.out" 2>&1 &
  a=$!
  "$cli" --sim --virtual-time --settings "$tmp/s2.ini" --results-db "$db" --script "$tmp/whole.tsk" \
    > "$tmp/p2.out" 2>&1
  rb=$?
  wait $a || fail "first of a pair: $(tail -3 "$tmp/p1.out")"
  [ $rb -eq 0 ] || fail "second of a pair: $(tail -3 "$tmp/p2.out")"
done
for n in 0 1 2 3 4 5 6 7 8 9; do
  r="$tmp/pairs/b_DN_317_$n.txt"
  [ "$(grep -c '^FUNCTIONAL TEST' "$r")" -eq 1 ] || fail "$r holds more than one run"
  [ "$(stored "$db" "$r")" == "PASSED $(results "$r")" ] || fail "$r stored: $(stored "$db" "$r")"
done
[ "$("$cli" --results-db "$db" --history | tail -1)" == "10 runs" ] || fail "ten runs stored"

# A lock held by another program over the whole run: the run goes on, its end says what is not
# stored yet; released while the program ends, every line is stored.
holdLock() {  # $1 store: holds BEGIN IMMEDIATE until $tmp/release exists
  rm -f "$tmp/held" "$tmp/release"
  printf 'BEGIN IMMEDIATE;\nDELETE FROM runs WHERE 0;\n.shell touch %s\n.shell while [ ! -e %s ]; do sleep 0.1; done\nCOMMIT;\n' \
    "$tmp/held" "$tmp/release" | sqlite3 "$1" > /dev/null &
  holder=$!
  for _ in $(seq 1 100); do [ -e "$tmp/held" ] && return; sleep 0.1; done
  fail "sqlite3 took no lock"
}
mkdir "$tmp/locked"
db="$tmp/locked.sqlite"
"$cli" --results-db "$db" --import "$tmp/locked" > /dev/null || fail "new store"
whole "$tmp/locked/b" > "$tmp/lock.tsk"
holdLock "$db"
"$cli" --sim --virtual-time --settings "$tmp/s.ini" --results-db "$db" --script "$tmp/lock.tsk" \
  > "$tmp/lock.out" 2>&1 &
pid=$!
for _ in $(seq 1 300); do grep -q "^Not stored yet: " "$tmp/lock.out" && break; sleep 0.1; done
grep -q "^\[popup\] Test results not all kept: .*Not stored yet: " "$tmp/lock.out" ||
  fail "no word of the lines waiting: $(cat "$tmp/lock.out")"
touch "$tmp/release"
wait $holder
wait $pid || fail "locked run: status $? $(tail -3 "$tmp/lock.out")"
r="$tmp/locked/b_DN_317_0.txt"
[ "$(stored "$db" "$r")" == "PASSED $(results "$r")" ] || fail "after the lock: $(stored "$db" "$r")"

# Still locked when the program ends: status 8, the lines named; the record completes the run.
holdLock "$db"
run "$db" "$tmp/lock.tsk"
[ $rc -eq 8 ] || fail "run ending under a lock: status $rc"
echo "$out" | grep -q "^Not stored: .* of the run $tmp/locked/b_DN_317_1.txt " ||
  fail "unstored lines not named: $out"
touch "$tmp/release"
wait $holder
holder=""
r="$tmp/locked/b_DN_317_1.txt"
imp=$("$cli" --results-db "$db" --import "$tmp/locked") || fail "import: $imp"
echo "$imp" | grep -q "; 1 already in the store" || fail "import: $imp"
[ "$(stored "$db" "$r")" == "PASSED $(results "$r")" ] || fail "completed: $(stored "$db" "$r")"
# A run stored in part (its first lines only) gets the rest and its end from its record.
mkdir "$tmp/part"
head -12 "$tmp/locked/b_DN_317_1.jsonl" > "$tmp/part/b_DN_317_1.jsonl"
"$cli" --results-db "$tmp/part.sqlite" --import "$tmp/part" > /dev/null || fail "part import"
cp "$tmp/locked/b_DN_317_1.jsonl" "$tmp/part/"
imp=$("$cli" --results-db "$tmp/part.sqlite" --import "$tmp/part") || fail "import: $imp"
echo "$imp" | grep -q "; 0 already in the store; 1 completed$" || fail "import: $imp"
[ "$(stored "$tmp/part.sqlite" "$r")" == "PASSED $(results "$r")" ] || fail "part completed"

# A stopped run is STOPPED everywhere and its report says so last; one left midway is UNFINISHED.
db="$tmp/stop.sqlite"
{
  script "$tmp/stop" "EnableTempOtrDac EnableCfcError"
  echo "wait 40"
  echo "commit Test.Stop"
  echo "quit"
} > "$tmp/stop.tsk"
run "$db" "$tmp/stop.tsk"
[ $rc -eq 6 ] || fail "stopped run: status $rc $out"
tail -1 "$tmp/stop_DN_317_0.txt" | grep -q '^TEST STOPPED BY THE OPERATOR => Stop at ' ||
  fail "report's last line: $(tail -1 "$tmp/stop_DN_317_0.txt")"
tail -1 "$tmp/stop_DN_317_0.jsonl" | grep -q '"verdict":"STOPPED"' || fail "record's end"
{
  script "$tmp/stop" "EnableTempOtrDac EnableCfcError"
  echo "wait 40"
  echo "quit"
} > "$tmp/quit.tsk"
run "$db" "$tmp/quit.tsk"
[ "$(stored "$db" "$tmp/stop_DN_317_0.txt" | cut -d' ' -f1)" == STOPPED ] || fail "stored verdict"
[ "$("$cli" --results-db "$db" --history --verdict passed | tail -1)" == "0 runs" ] ||
  fail "an incomplete run passed"
"$cli" --results-db "$db" --failures > /dev/null || fail "--failures"
"$cli" --results-db "$db" --export-junit "$tmp/stop.xml" > /dev/null || fail "export"
grep -q '<error message="the run was stopped before its end" type="STOPPED"' "$tmp/stop.xml" ||
  fail "no STOPPED error in the export"
grep -q 'type="UNFINISHED"' "$tmp/stop.xml" || fail "no UNFINISHED error in the export"

# Exports replace regular files only: a pipe and a device stay, a link to a file is followed.
mkfifo "$tmp/fifo"
dev=/dev/null
[ "$(id -u)" -eq 0 ] && mknod "$tmp/dev" c 1 3 && dev="$tmp/dev"
for target in "$tmp/fifo" "$dev"; do
  out=$("$cli" --results-db "$db" --export-junit "$target" 2>&1)
  [ $? -eq 1 ] || fail "export to $target: $out"
  echo "$out" | grep -q "cannot write $target: it is a " || fail "export to $target: $out"
done
[ -p "$tmp/fifo" ] && [ -c "$dev" ] || fail "a pipe or device was replaced"
echo old > "$tmp/target.xml"
ln -s "$tmp/target.xml" "$tmp/link.xml"
"$cli" --results-db "$db" --export-junit "$tmp/link.xml" > /dev/null || fail "export to a link"
[ -L "$tmp/link.xml" ] && grep -q '<testsuites' "$tmp/target.xml" || fail "link not followed"

# Import checks every field: bad lines named with file and line, nothing half-valid stored.
mkdir "$tmp/bad"
good=$(head -1 "$tmp/locked/b_DN_317_0.jsonl")
{
  echo "$good" | sed 's/"start":"/"start":"not a date","x":"/'
  echo '{"type":"result","check":"A","passed":true}'
  echo "$good" | sed 's/"cardNumber":317/"cardNumber":"abc"/'
  echo "$good" | sed 's/"start":"/"start":"2026-02-30T10:00:00+01:00","x":"/'
  echo "$good"
  echo '{"type":"result","check":null,"passed":false}'
  echo '{"type":"result","check":"B","passed":true,"value":"1.5"}'
  echo '{"type":"end","errorCounts":0,"verdict":42}'
} > "$tmp/bad/r_DN_1_0.jsonl"
out=$("$cli" --results-db "$tmp/bad.sqlite" --import "$tmp/bad" 2>&1)
[ $? -eq 1 ] || fail "bad import: status 0"
for n in "1: 'start' is not an ISO" "2: a result line outside a run" "3: 'cardNumber' is not a whole" \
         "4: 'start' is not an ISO" "6: 'check' is not a text" "7: 'value' is not a number" \
         "8: 'verdict' is not a text"; do
  echo "$out" | grep -q "r_DN_1_0.jsonl: line $n" || fail "line $n not named: $out"
done
h=$("$cli" --results-db "$tmp/bad.sqlite" --history)
[ "$(echo "$h" | tail -1)" == "1 run" ] && echo "$h" | grep -q " UNFINISHED " || fail "bad import: $h"
[ "$("$cli" --results-db "$tmp/bad.sqlite" --history --from 2030-01-01 | tail -1)" == "0 runs" ] ||
  fail "--from"
"$cli" --results-db "$tmp/bad.sqlite" --history --from 2026-02-30 > /dev/null 2>&1
[ $? -eq 2 ] || fail "2026-02-30 taken as a date"

# Foreign, newer and damaged databases: refused, named, byte-identical after a run and a query.
sqlite3 "$tmp/foreign.sqlite" 'CREATE TABLE runs(id INTEGER, x TEXT); INSERT INTO runs VALUES(1, "a");'
sqlite3 "$tmp/other.sqlite" 'CREATE TABLE photos(id INTEGER);'
cp "$tmp/pairs.sqlite" "$tmp/newer.sqlite"
sqlite3 "$tmp/newer.sqlite" 'PRAGMA user_version = 99;'
head -c 4096 /dev/urandom > "$tmp/damaged.sqlite"
for f in foreign other newer damaged; do
  d="$tmp/$f.sqlite"
  cp "$d" "$tmp/copy"
  for q in --history --failures; do
    out=$("$cli" --results-db "$d" $q 2>&1)
    [ $? -eq 1 ] || fail "$f $q: status 0"
    echo "$out" | grep -q "$d: " || fail "$f $q: file not named: $out"
  done
  run "$d" "$tmp/whole.tsk"
  [ $rc -eq 8 ] || fail "run on the $f store: status $rc"
  echo "$out" | grep -q "^Results store not written: $d: " || fail "run on $f: $out"
  cmp -s "$d" "$tmp/copy" || fail "the $f database was changed"
done
# A store of the first version (no marks) is read as it is and brought up to date by a run.
cp "$tmp/pairs.sqlite" "$tmp/v1.sqlite"
sqlite3 "$tmp/v1.sqlite" 'DROP INDEX runs_board; DROP INDEX runs_station; DROP INDEX runs_start;
  ALTER TABLE runs DROP COLUMN station; ALTER TABLE runs DROP COLUMN reason;
  DROP INDEX runs_start_utc; DROP INDEX steps_ordinal; ALTER TABLE runs DROP COLUMN start_utc;
  ALTER TABLE steps DROP COLUMN ordinal; DROP INDEX results_run;
  CREATE INDEX results_run ON results(run_id, line);
  ALTER TABLE runs DROP COLUMN steps_on;
  ALTER TABLE runs DROP COLUMN store_start; ALTER TABLE runs DROP COLUMN store_end;
  ALTER TABLE runs DROP COLUMN stored_by;
  PRAGMA application_id = 0; PRAGMA user_version = 1;'
[ "$("$cli" --results-db "$tmp/v1.sqlite" --history | tail -1)" == "10 runs" ] || fail "v1 read"
run "$tmp/v1.sqlite" "$tmp/whole.tsk"
[ $rc -eq 0 ] && [ "$(sqlite3 "$tmp/v1.sqlite" 'PRAGMA user_version')" == 6 ] || fail "v1 migration"

# A board file that cannot be read ends the program.
out=$("$cli" --virtual-time --sim-config /nonexistent.json --script "$tmp/whole.tsk" 2>&1)
[ $? -eq 1 ] && echo "$out" | grep -q "^tessock-cli: Simulated bench: /nonexistent.json: " ||
  fail "--sim-config /nonexistent.json: $out"

# A full disk (a 64 KiB tmpfs, root only): the run is INCOMPLETE everywhere, no file ends torn.
mnt="$tmp/small"
mkdir "$mnt"
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=64k tmpfs "$mnt" 2>/dev/null; then
  head -c 58000 /dev/zero > "$mnt/filler"
  {
    script "$mnt/b" "EnableTempOtrDac EnablePowerSupplies EnableHvLevels"
    echo "waitfor Test.SequencerTimer == 0 timeout 6000"
    echo "quit"
  } > "$tmp/full.tsk"
  run "$tmp/full.sqlite" "$tmp/full.tsk"
  [ $rc -eq 4 ] || fail "full disk: status $rc"
  echo "$out" | grep -qE "^(Report|Test record) not written: $mnt/b_DN_317_0\.(txt|jsonl): No space" ||
    fail "full disk not said: $out"
  [ "$(stored "$tmp/full.sqlite" "$mnt/b_DN_317_0.txt" | cut -d' ' -f1)" == INCOMPLETE ] ||
    fail "full disk stored as $(stored "$tmp/full.sqlite" "$mnt/b_DN_317_0.txt")"
  for f in "$mnt"/b_*; do
    [ ! -s "$f" ] || [ "$(tail -c 1 "$f" | od -An -c | tr -d ' ')" == '\n' ] || fail "$f torn"
  done
  # Questions on a read-only mount.
  umount "$mnt" && mount -t tmpfs -o size=4m tmpfs "$mnt" || fail "second mount"
  cp "$tmp/pairs.sqlite" "$mnt/ro.sqlite"
  mount -o remount,ro "$mnt" || fail "remount read-only"
  [ "$("$cli" --results-db "$mnt/ro.sqlite" --history | tail -1)" == "10 runs" ] ||
    fail "history on a read-only mount"
  [ "$("$cli" --results-db "$mnt/ro.sqlite" --values "TEMP" | tail -1)" != "" ] || fail "--values ro"
else
  echo "note: not root or no tmpfs mount: the full-disk and read-only-mount cases were not played"
  mnt=""
fi
echo "results kept: all cases played"
