#!/usr/bin/env bash
# Headless program: bench runs of the good board (twice) and three defect boards fill the results
# store; the history questions rank the defect lines, print the offset currents of the runs and
# export one JUnit failure per failed line; importing the reports again adds nothing; a run killed
# with SIGKILL stays in the store up to its last line, unfinished.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
db="$tmp/results.sqlite"
fail() { echo "FAIL: $*"; exit 1; }
[ -f "$build/libquickusb_sim.so" ] || fail "no simulated bench in $build"

. "$src/tests/support/bench_script.sh"

mkdir "$tmp/reports"
{
  script "$tmp/reports/bench" "Enable10pA EnableTempOtrDac EnablePowerSupplies"
  echo "wait 200"
  echo "commit TabSlope.StopMeasure"
  echo "waitfor Test.SequencerTimer == 0 timeout 3000"
  echo 'expect Test.StepTitle == "END OF TEST"'
  echo "quit"
} > "$tmp/run.tsk"
start=$(date +%s.%N)
for board in good good temp1_down dead_channel m5v_monitor_stuck; do
  "$cli" --sim-config "$src/data/sim/$board.json" --virtual-time --settings "$tmp/s.ini" \
    --results-db "$db" --script "$tmp/run.tsk" > "$tmp/out.txt" 2>&1
  rc=$?  # 0 for a board that passes, 5 for one that fails
  [ $rc -eq 0 ] || [ $rc -eq 5 ] || fail "$board run: status $rc: $(tail -3 "$tmp/out.txt")"
  grep -q "Results store not written" "$tmp/out.txt" && fail "$board: $(cat "$tmp/out.txt")"
done
end=$(date +%s.%N)

history=$("$cli" --results-db "$db" --history) || fail "--history"
[ "$(echo "$history" | tail -1)" == "5 runs" ] || fail "history: $history"
[ "$(echo "$history" | grep -c ' bench    PASSED ')" -eq 2 ] || fail "two passed runs: $history"
[ "$(echo "$history" | grep -c ' bench    FAILED ')" -eq 3 ] || fail "three failed runs: $history"
[ "$("$cli" --results-db "$db" --history --verdict failed --card 317 | tail -1)" == "3 runs" ] ||
  fail "verdict filter"
[ "$("$cli" --results-db "$db" --history --check "TEMP_1" --to 2000-01-01 | tail -1)" == "0 runs" ] ||
  fail "date filter"

failedLines=$(cat "$tmp"/reports/bench_DN_317_?.txt | grep -c '^\*\*\*FAILED : ')
[ "$failedLines" -ge 3 ] || fail "only $failedLines failed lines"
failures=$("$cli" --results-db "$db" --failures) || fail "--failures"
for check in "TEST STATUS TEMP_1 OK STATE" "Offset current calc CH4 : # [pA]" \
             "TEST STATUS POWER SUPPLIES WHEN VOLTAGE REDUCED (NO OK STATE) of M5V"; do
  echo "$failures" | grep -qxF "     1        5      1  $check" || fail "no ranked '$check': $failures"
done
sum=$(echo "$failures" | awk 'NR > 1 && $1 ~ /^[0-9]+$/ && NF > 3 {s += $1} END {print s}')
[ "$sum" -eq "$failedLines" ] || fail "failures rank $sum lines, reports hold $failedLines"

values=$("$cli" --results-db "$db" --values "Offset current calc CH") || fail "--values"
[ "$(echo "$values" | grep -c '^  5 values  min ')" -eq 8 ] || fail "values: $values"
echo "$values" | grep -qxF 'Offset current calc CH1 : # [pA]' || fail "values: $values"

"$cli" --results-db "$db" --export-junit "$tmp/junit.xml" > /dev/null || fail "--export-junit"
[ "$(grep -c '<failure ' "$tmp/junit.xml")" -eq "$failedLines" ] || fail "JUnit failures"
# The result lines, and the steps these partial runs left out as skipped cases of their own.
[ "$(grep -c '<testcase ' "$tmp/junit.xml")" -eq $((300 + $(grep -c '<skipped ' "$tmp/junit.xml"))) ] ||
  fail "JUnit cases"
[ "$(grep -c '<skipped message="switched off for this run"' "$tmp/junit.xml")" -gt 0 ] ||
  fail "JUnit: the steps a partial run left out"

again=$("$cli" --results-db "$db" --import "$tmp/reports") || fail "--import"
[ "$again" == "imported 0 runs with 0 result lines from 5 files; 5 already in the store" ] ||
  fail "import into the live store: $again"
fresh=$("$cli" --results-db "$tmp/fresh.sqlite" --import "$tmp/reports") || fail "--import"
[ "$fresh" == "imported 5 runs with 300 result lines from 5 files; 0 already in the store" ] ||
  fail "import into a fresh store: $fresh"

# Real time: the CFC error step is under way (it lasts up to 110 s) when the kill comes.
{
  script "$tmp/kill" "EnableTempOtrDac EnablePowerSupplies EnableCfcError"
  echo "wait 600"
  echo "quit"
} > "$tmp/kill.tsk"
"$cli" --sim --settings "$tmp/s.ini" --results-db "$db" --script "$tmp/kill.tsk" > /dev/null 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  grep -q "TEST STATUS CFC ERROR => Start" "$tmp/kill_DN_317_0.txt" 2>/dev/null && break
  sleep 0.1
done
sleep 1
kill -9 $pid
wait $pid 2>/dev/null
lines=$(grep -cE '^(PASSED|\*\*\*FAILED) : ' "$tmp/kill_DN_317_0.txt")
[ "$lines" -gt 0 ] || fail "the killed run wrote no result line"
killed=$("$cli" --results-db "$db" --history --verdict unfinished)
echo "$killed" | grep -qE "^ +6  .* UNFINISHED  -  +0 +$lines  $tmp/kill_DN_317_0.txt\$" ||
  fail "killed run ($lines lines): $killed"
echo "history: 5 runs in $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.2f", b-a}') s wall time"
