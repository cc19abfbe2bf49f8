#!/usr/bin/env bash
# Headless program on a PostgreSQL store of its own server: two benches (stations) test one
# board into one store, the board's runs and the yield per station answer from it; with the server
# stopped in the middle of a run the run ends normally, and --sync after the restart stores every
# line of it.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
pg=$(mktemp -d /tmp/tessock-pg.XXXXXX)
cleanup() {
  [ -n "${pid:-}" ] && kill "$pid" 2> /dev/null
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
yield=$("$cli" --results-db "$store" --yield --by station --csv) || fail "--yield: $yield"
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
# Status 4: lines are not in the store yet (they wait for it); the report is whole.
[ $rc -eq 4 ] || fail "run with the server stopped: status $rc $(tail -5 "$tmp/out3")"
grep -q "result lines and the end of the run .* are not in the results store" "$tmp/out3" ||
  fail "waiting lines not said: $(tail -5 "$tmp/out3")"
[ "$(grep -cE '^(PASSED|\*\*\*FAILED) : ' "$tmp/bench_DN_317_2.txt")" -eq 12 ] ||
  fail "the report of the third run is not whole"
bash "$src/tests/support/pg_server.sh" restart "$pg" || fail "the server did not start again"
sync=$("$cli" --results-db "$store" --sync) || fail "--sync: $sync"
echo "$sync" | grep -q "^synced 1 record: .* 1 run completed, 0 added; 0 still waiting" ||
  fail "--sync: $sync"
third=$("$cli" --results-db "$store" --history --station bench-3) || fail "--history: $third"
echo "$third" | grep -qE ' bench-3 +317 +bench +PASSED +ended +0 +12 ' || fail "third run: $third"
again=$("$cli" --results-db "$store" --sync) || fail "second --sync: $again"
echo "$again" | grep -q "^synced 0 records" || fail "second --sync: $again"
echo PASS
