#!/usr/bin/env bash
# Headless program: the measurement steps and the linearity test of a bench run on the simulated
# good board in virtual time. The operator stops the 10 pA wait once every period LED is on.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }
[ -f "$build/libquickusb_sim.so" ] || fail "no simulated bench in $build"

{
  echo "set TabBData.LinearityFile \"$src/data/Card_3_linearity.txt\""
  echo "set TabBData.BenchReportPrefix \"$tmp/bench\""
  echo "commit Main.OpenTest"
  echo "wait 60"
  echo 'set TabBData.DeviceBarcode1 "VELTRA317"'
  echo 'set TabBData.DeviceBarcode2 "VELTRA-N317"'
  echo 'set TabBData.BoardBarcode "BRD-0000000000000317"'
  echo 'set TabBData.Otr1Barcode "OTR1-000000001"'
  echo 'set TabBData.Otr2Barcode "OTR2-000000002"'
  echo 'set TabBData.PcbVersion 7'
  for s in EnableCrcLostFrame EnableTempOtrDac EnablePowerSupplies EnableHvLevels \
           EnableIntegratorLevel EnableCfcError EnableCfcTestMode EnableOtrReset \
           EnableDacCounters EnableLongTimeCrc; do
    echo "set TabBData.$s 0"
  done
  for s in Enable10pA Enable200Counts EnableCalibrate EnableSaveDacValues EnableLinearity; do
    echo "set TabBData.$s 1"
  done
  echo "commit Test.StartBench"
  for c in 1 2 3 4 5 6 7 8; do echo "waitfor TabSlope.PeriodOk$c == 1 timeout 200"; done
  echo "commit TabSlope.StopMeasure"
  echo "waitfor Test.SequencerTimer == 0 timeout 3000"
  echo 'expect Test.StepTitle == "END OF TEST"'
  echo "quit"
} > "$tmp/run.tsk"

start=$(date +%s.%N)
out=$("$cli" --sim --virtual-time --settings "$tmp/s.ini" --script "$tmp/run.tsk")
rc=$?
end=$(date +%s.%N)
[ $rc -eq 0 ] || fail "exit status $rc: $(echo "$out" | tail -5)"
report="$tmp/bench_DN_317_0.txt"
[ -f "$report" ] || fail "no report $report"
failed=$(grep -c '^\*\*\*FAILED : ' "$report")
passed=$(grep -c '^PASSED : ' "$report")
[ "$failed" -eq 0 ] || fail "$failed failed lines: $(grep '^\*\*\*FAILED' "$report" | head -5)"
[ "$passed" -eq 113 ] || fail "$passed passed lines, 113 expected"
grep -qx 'PASSED : LINEARITY COMPLETE TEST ' "$report" || fail "no passed LINEARITY COMPLETE TEST"
rows=$(sed -n '/^Linearity test result structure$/,$p' "$report" |
  grep -cE '^[0-9]\.[0-9]{6}e[+-][0-9]{2}( -?[0-9]\.[0-9]{6}e[+-][0-9]{2}){8}$')
[ "$rows" -eq 20 ] || fail "$rows linearity table rows, 20 expected"
echo "measurement run: $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.2f", b-a}') s wall time"
