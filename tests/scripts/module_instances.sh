#!/usr/bin/env bash
# Two tessock-cli instances, one per module of a simulated bench with two modules, run the whole
# functional bench test at the same time, each with its own settings, report prefix and results
# store: each ends with its own report, record and verdict, and names its module in the
# information box and in the record.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
echo '{"name": "two_modules", "module": {"others": ["QUSB-1"]}}' >"$tmp/two.json"

for m in QUSB-0 QUSB-1; do
  mkdir "$tmp/$m"
  {
    echo "set TabBData.LinearityFile \"$src/data/Card_3_linearity.txt\""
    echo "set TabBData.BenchReportPrefix \"$tmp/$m/bench\""
    sed -n '/^commit Main.OpenTest/,/^quit/p' "$src/scripts/demo"
  } >"$tmp/$m/run.tsk"
  "$build/tessock-cli" --sim-config "$tmp/two.json" --module "$m" --virtual-time --unattended \
    --settings "$tmp/$m/s.ini" --results-db "$tmp/$m/results.sqlite" --script "$tmp/$m/run.tsk" \
    >"$tmp/$m/out" 2>&1 &
  echo $! >"$tmp/$m/pid"
done
for m in QUSB-0 QUSB-1; do
  wait "$(cat "$tmp/$m/pid")" || fail "$m: exit status $?: $(tail -20 "$tmp/$m/out")"
done
for m in QUSB-0 QUSB-1; do
  grep -qx "$m" "$tmp/$m/out" || fail "$m: the information box does not name the module"
  report=$(ls "$tmp/$m"/bench_DN_317_*.txt 2>/dev/null)
  [ "$(echo "$report" | wc -w)" -eq 1 ] || fail "$m: reports [$report]"
  record="${report%.txt}.jsonl"
  head -1 "$record" | grep "\"type\":\"run\"" | grep -q "\"module\":\"$m\"" || fail "$m: record: $(head -1 "$record")"
  grep -q '"type":"end".*"verdict":"PASSED"' "$record" || fail "$m: verdict: $(tail -1 "$record")"
  [ -s "$tmp/$m/results.sqlite" ] || fail "$m: nothing in its results store"
done
# A module the library does not list: said, and the program goes on without hardware.
printf 'print Main.ModuleName\n' >"$tmp/name.tsk"
"$build/tessock-cli" --sim-config "$tmp/two.json" --module QUSB-2 --virtual-time \
  --settings "$tmp/s.ini" --script "$tmp/name.tsk" >"$tmp/out" 2>&1 || fail "QUSB-2: $(cat "$tmp/out")"
grep -qx "Module 'QUSB-2' not found; the library lists QUSB-0, QUSB-1" "$tmp/out" ||
  fail "QUSB-2: $(cat "$tmp/out")"
grep -qx "Board(s) not found" "$tmp/out" || fail "QUSB-2: $(cat "$tmp/out")"
echo PASS
