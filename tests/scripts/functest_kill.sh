#!/usr/bin/env bash
# A functional test killed with SIGKILL in the middle of a step leaves its report and its record
# complete up to their last line: every line is written whole, with its line end.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cat > "$tmp/run.tsk" <<SCRIPT
set TabBData.LinearityFile "$src/data/Card_3_linearity.txt"
set TabBData.BenchReportPrefix "$tmp/kill"
commit Main.OpenTest
set TabBData.DeviceBarcode1 "VELTRA317"
set TabBData.DeviceBarcode2 "VELTRA-N317"
set TabBData.BoardBarcode "BRD-0000000000000317"
set TabBData.Otr1Barcode "OTR1-000000001"
set TabBData.Otr2Barcode "OTR2-000000002"
set TabBData.PcbVersion 7
set TabBData.Enable10pA 0
set TabBData.Enable200Counts 0
set TabBData.EnableCrcLostFrame 0
set TabBData.EnableTempOtrDac 1
set TabBData.EnablePowerSupplies 1
set TabBData.EnableHvLevels 0
set TabBData.EnableCalibrate 0
set TabBData.EnableSaveDacValues 0
set TabBData.EnableLinearity 0
set TabBData.EnableIntegratorLevel 0
set TabBData.EnableCfcError 1
set TabBData.EnableCfcTestMode 0
set TabBData.EnableOtrReset 0
set TabBData.EnableDacCounters 0
set TabBData.EnableLongTimeCrc 0
commit Test.StartBench
wait 600
quit
SCRIPT
# Real time: the CFC error step is under way (it lasts up to 110 s) when the kill comes.
"$build/tessock-cli" --sim --settings "$tmp/s.ini" --script "$tmp/run.tsk" > "$tmp/out.txt" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  grep -q "TEST STATUS CFC ERROR => Start" "$tmp/kill_DN_317_0.txt" 2>/dev/null && break
  sleep 0.1
done
sleep 1
kill -9 $pid
wait $pid 2>/dev/null

report="$tmp/kill_DN_317_0.txt"
record="$tmp/kill_DN_317_0.jsonl"
[ -s "$report" ] || fail "no report"
[ -s "$record" ] || fail "no record"
[ "$(tail -c 1 "$report" | od -An -c | tr -d ' ')" == '\n' ] || fail "report ends mid-line"
[ "$(tail -c 1 "$record" | od -An -c | tr -d ' ')" == '\n' ] || fail "record ends mid-line"
grep -q "TEST STATUS CFC ERROR => Start at" "$report" || fail "the CFC error step had not started"
[ "$(grep -c '^PASSED : ' "$report")" -eq 12 ] || fail "result lines: $(grep -c '^PASSED' "$report")"
bad=$(grep -cv '^{.*}$' "$record")
[ "$bad" -eq 0 ] || fail "$bad record lines are not whole objects"
[ "$(grep -c '"type":"result"' "$record")" -eq 12 ] || fail "record results differ from the report"
grep -q '"type":"end"' "$record" && fail "a killed run has no end line"
echo "killed run: report and record whole"
