#!/usr/bin/env bash
# Eight benches at once writing one PostgreSQL store, against one bench alone: tessock-cli
# processes in virtual time, bench runs of the 10 pA, temperature/OTR and power-supply steps on
# the good board and the temp1_down board in turn. Prints each set's wall time, the mean wall
# time of one run, and whether every line of every run is in the store.
#   bench/concurrent_benches.sh [BUILD] [BENCHES]      (default: build, 8)
set -eu
src="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$src/build}"
n="${2:-8}"
tmp=$(mktemp -d)
pg=$(mktemp -d /tmp/tessock-pg.XXXXXX)
trap 'bash "$src/tests/support/pg_server.sh" stop "$pg"; rm -rf "$tmp"' EXIT
bash "$src/tests/support/pg_server.sh" start "$pg"
psql "postgresql:///postgres?host=$pg&user=tessock" -qc "CREATE DATABASE lab"
store="postgresql:///lab?host=$pg&user=tessock"
"$build/tessock-cli" --results-db "$store" --init-store > /dev/null
export XDG_DATA_HOME="$tmp/data" XDG_CONFIG_HOME="$tmp/config"
. "$src/tests/support/bench_script.sh"
run_script() {  # $1 report prefix: the 10 pA measurement stopped after 200 s, two status steps
  script "$1" "Enable10pA EnableTempOtrDac EnablePowerSupplies"
  printf 'wait 200\ncommit TabSlope.StopMeasure\nwaitfor Test.SequencerTimer == 0 timeout 3000\nquit\n'
}
one() {  # $1 index, $2 set name: one bench, its wall time in $tmp/$2.$1.time
  local board=good
  [ $(($1 % 2)) -eq 1 ] && board=temp1_down
  mkdir -p "$tmp/$2.$1"
  run_script "$tmp/$2.$1/b" > "$tmp/$2.$1/run.tsk"
  local t0 rc=0
  t0=$(date +%s%N)
  "$build/tessock-cli" --sim-config "$src/data/sim/$board.json" --virtual-time \
    --settings "$tmp/$2.$1/s.ini" --results-db "$store" --station "bench-$1" \
    --script "$tmp/$2.$1/run.tsk" > "$tmp/$2.$1/out" 2>&1 || rc=$?
  # 0 PASSED; 5 FAILED is the temp1_down board's verdict, no fault of the bench.
  [ $rc -eq 0 ] || [ $rc -eq 5 ] || echo "bench $1 ($2): status $rc"
  echo $((($(date +%s%N) - t0) / 1000000)) > "$tmp/$2.$1.time"
}
lines_in_reports() { cat "$tmp"/$1.*/b_DN_*.txt | grep -cE '^(PASSED|\*\*\*FAILED) : '; }
ms() { echo $(($(date +%s%N) / 1000000)); }
t0=$(ms)
one 0 alone
alone=$(($(ms) - t0))
t0=$(ms)
for k in $(seq 0 $((n - 1))); do one "$k" many & done
wait
many=$(($(ms) - t0))
mean=$((($(cat "$tmp"/many.*.time | paste -sd+)) / n))
stored=$(psql "$store" -tAc "SELECT COUNT(*) FROM results")
unfinished=$(psql "$store" -tAc "SELECT COUNT(*) FROM runs WHERE finished = 0")
expected=$(($(lines_in_reports alone) + $(lines_in_reports many)))
echo "one bench alone: $alone ms wall"
echo "$n benches at once: $many ms wall for all, $mean ms mean per run ($(nproc) cores)"
echo "result lines in the reports: $expected, in the store: $stored; runs without their end: $unfinished"
