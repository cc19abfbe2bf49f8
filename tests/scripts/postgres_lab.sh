#!/usr/bin/env bash
# Headless program on a PostgreSQL store of its own server: two benches (stations) test one
# board into one store, the board's runs and the yield per station answer from it; with the server
# stopped in the middle of a run the run ends normally, and --sync after the restart stores every
# line of it; the same with the server's processes stopped (SIGSTOP) and let go on after the
# program ended.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
pg=$(mktemp -d /tmp/tessock-pg.XXXXXX)
frozen=()
cleanup() {
  [ -n "${pid:-}" ] && kill -9 "$pid" 2> /dev/null
  [ ${#frozen[@]} -gt 0 ] && kill -CONT "${frozen[@]}"
  bash "$src/tests/support/pg_server.sh" stop "$pg"
  rm -rf "$tmp"
}
trap cleanup EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }
[ -f "$build/libquickusb_sim.so" ] || fail "no simulated bench in $build"
command -v psql > /dev/null || fail "psql missing (scripts/bootstrap installs postgresql)"
bash "$src/tests/support/pg_server.sh" start "$pg" || fail "the PostgreSQL server did not start"
psql "postgresql:///postgres?host=$pg&user=tessock" -qc "CREATE DATABASE lab" || fail "createdb"
store="postgresql:///lab?host=$pg&user=tessock"
"$cli" --results-db "$store" --init-store > "$tmp/init" 2>&1 || fail "--init-store: $(cat "$tmp/init")"
count() { psql "$store" -tAc "SELECT COUNT(*) FROM results" 2> /dev/null; }

. "$src/tests/support/bench_script.sh"
{
  script "$tmp/bench" "EnableTempOtrDac EnablePowerSupplies"
  echo "waitfor Test.SequencerTimer == 0 timeout 3000"
  echo "quit"
} > "$tmp/run.tsk"

# Two benches, one board: the good board passes on bench-1, the defect board fails on bench-2.
"$cli" --sim --virtual-time --settings "$tmp/s.ini" --results-db "$store" --station bench-1 \
  --script "$tmp/run.tsk" > "$tmp/out1" 2>&1 || fail "bench-1 run: $(tail -3 "$tmp/out1")"
"$cli" --sim-config "$src/data/sim/temp1_down.json" --virtual-time --settings "$tmp/s.ini" \
  --results-db "$store" --station bench-2 --script "$tmp/run.tsk" > "$tmp/out2" 2>&1
rc=$?  # the board fails a line: status 5
[ $rc -eq 5 ] || fail "bench-2 run: status $rc: $(tail -3 "$tmp/out2")"
board=$("$cli" --results-db "$store" --board BRD-0000000000000317) || fail "--board: $board"
echo "$board" | grep -qE ' bench-1 +317 +bench +PASSED ' || fail "--board, bench-1: $board"
echo "$board" | grep -qE ' bench-2 +317 +bench +FAILED ' || fail "--board, bench-2: $board"
[ "$(echo "$board" | tail -1)" == "2 runs" ] || fail "--board: $board"
yield=$("$cli" --results-db "$store" --yield --partial-runs --by station --csv) || fail "--yield: $yield"
echo "$yield" | grep -q '^bench-1,1,1,1.0000,1,0' || fail "--yield bench-1: $yield"
echo "$yield" | grep -q '^bench-2,1,0,0.0000,1,0' || fail "--yield bench-2: $yield"

# The server stops in the middle of a run (real time): the run goes on to its end, its lines
# wait; after the restart --sync stores them and the run is whole.
"$cli" --sim --settings "$tmp/s.ini" --results-db "$store" --station bench-3 \
  --script "$tmp/run.tsk" > "$tmp/out3" 2>&1 &
pid=$!
before=$(count)
for _ in $(seq 300); do
  [ "$(count)" -gt "$before" ] && break
  sleep 0.05
done
[ "$(count)" -gt "$before" ] || fail "no line of the third run reached the server"
bash "$src/tests/support/pg_server.sh" halt "$pg" || fail "the server did not stop"
wait "$pid"
rc=$?
pid=""
# Status 8: lines are not in the store yet (they wait for it); the report is whole. The last
# message names the store and the run's record.
[ $rc -eq 8 ] || fail "run with the server stopped: status $rc $(tail -5 "$tmp/out3")"
grep -q "^Not stored: .* result lines and the end of the run $tmp/bench_DN_317_2.txt are not in \
the results store $store (" "$tmp/out3" || fail "waiting lines not said: $(tail -5 "$tmp/out3")"
grep -q "; its record is $tmp/bench_DN_317_2.jsonl\. The run waits in the store's outbox: \
tessock-cli --sync" "$tmp/out3" || fail "waiting record not named: $(tail -5 "$tmp/out3")"
[ "$(grep -cE '^(PASSED|\*\*\*FAILED) : ' "$tmp/bench_DN_317_2.txt")" -eq 12 ] ||
  fail "the report of the third run is not whole"
bash "$src/tests/support/pg_server.sh" restart "$pg" || fail "the server did not start again"
sync=$("$cli" --results-db "$store" --sync) || fail "--sync: $sync"
echo "$sync" | grep -q "^synced 1 record: .* 1 run completed, 0 added; 0 still waiting" ||
  fail "--sync: $sync"
third=$("$cli" --results-db "$store" --history --station bench-3) || fail "--history: $third"
echo "$third" | grep -qE ' bench-3 +317 +bench +PASSED.* +ended +0 +12 ' || fail "third run: $third"
again=$("$cli" --results-db "$store" --sync) || fail "second --sync: $again"
echo "$again" | grep -q "^synced 0 records" || fail "second --sync: $again"

# Every process of the server stopped (SIGSTOP: its socket still accepts, nothing answers) in
# the middle of a run: the run goes on to its end and the program ends by itself (the writer
# gives the server 10 s at the end, then gives up the statement it waits on), status 8; the
# run waits in the outbox, and once the server goes on (SIGCONT) --sync stores it whole. The
# location lets a statement take 10 minutes: only the end's interrupt ends the wait in time.
# The guard (2 minutes) only ends a program that would hang.
slow="$store&options=-c%20statement_timeout%3D600000"
"$cli" --sim --settings "$tmp/s.ini" --results-db "$slow" --station bench-4 \
  --script "$tmp/run.tsk" > "$tmp/out4" 2>&1 &
pid=$!
before=$(count)
for _ in $(seq 300); do
  [ "$(count)" -gt "$before" ] && break
  sleep 0.05
done
[ "$(count)" -gt "$before" ] || fail "no line of the fourth run reached the server"
postmaster=$(head -1 "$pg/data/postmaster.pid")
frozen=("$postmaster")
kill -STOP "$postmaster"
frozen+=($(ps -o pid= --ppid "$postmaster"))
kill -STOP "${frozen[@]}"
for _ in $(seq 1200); do
  kill -0 "$pid" 2> /dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2> /dev/null && fail "the program was held by the stopped server: $(tail -5 "$tmp/out4")"
wait "$pid"
rc=$?
pid=""
kill -CONT "${frozen[@]}"
frozen=()
[ $rc -eq 8 ] || fail "run with the server stopped: status $rc $(tail -5 "$tmp/out4")"
grep -q "^Not stored: .* of the run $tmp/bench_DN_317_3.txt are not in the results store $slow" \
  "$tmp/out4" && grep -q "; its record is $tmp/bench_DN_317_3.jsonl\. " "$tmp/out4" ||
  fail "waiting lines not said: $(tail -5 "$tmp/out4")"
[ "$(grep -cE '^(PASSED|\*\*\*FAILED) : ' "$tmp/bench_DN_317_3.txt")" -eq 12 ] ||
  fail "the report of the fourth run is not whole"
sync=$("$cli" --results-db "$slow" --sync) || fail "--sync after SIGCONT: $sync"
echo "$sync" | grep -q "^synced 1 record: .*; 0 still waiting" || fail "--sync after SIGCONT: $sync"
fourth=$("$cli" --results-db "$store" --history --station bench-4) || fail "--history: $fourth"
echo "$fourth" | grep -qE ' bench-4 +317 +bench +PASSED.* +ended +0 +12 ' || fail "fourth run: $fourth"
[ "$(echo "$fourth" | tail -1)" == "1 run" ] || fail "fourth run: $fourth"
echo PASS
