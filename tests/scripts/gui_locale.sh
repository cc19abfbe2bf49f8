#!/usr/bin/env bash
# The desktop program on a desktop whose language writes numbers with a decimal comma and names
# days and months in its own words: panel files, scripts, the linearity file and every
# printf-formatted text still use the point, and the report's date line is ctime's English text
# that the program's own import reads back.
set -u
build="$1"
source_dir="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
gui="$build/tessock"
fail() { echo "FAIL: $*"; exit 1; }
[ -x "$gui" ] || { echo "FAIL: desktop program not built"; exit 1; }
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$source_dir/tests/gui/lsan.supp}"

# A comma locale: an installed one, else one built from the locale sources into the temporary
# folder (glibc finds it through LOCPATH).
comma=""
for l in $(locale -a 2>/dev/null); do
  case "$l" in de_DE.utf8 | fr_FR.utf8 | de_DE.UTF-8 | fr_FR.UTF-8 | nl_NL.utf8 | it_IT.utf8) comma="$l"; break ;; esac
done
if [ -z "$comma" ] && command -v localedef >/dev/null && [ -e /usr/share/i18n/locales/de_DE ]; then
  mkdir -p "$tmp/locales"
  if localedef -i de_DE -f UTF-8 "$tmp/locales/de_DE.UTF-8" >/dev/null 2>&1; then
    export LOCPATH="$tmp/locales"
    comma="de_DE.UTF-8"
  fi
fi
[ -n "$comma" ] || { echo "FAIL: no locale with a decimal comma"; exit 1; }
[ "$(LC_ALL=$comma locale decimal_point 2>/dev/null)" == "," ] || { echo "FAIL: $comma has no comma"; exit 1; }

mkdir -p "$tmp/reports"
cat > "$tmp/locale.tsk" <<SCRIPT
set Main.RawCaptureSeconds 12.5
expect Main.RawCaptureSeconds == 12.5
expect Main.AcqInterval == 0.02
set TabBData.LinearityFile "$source_dir/data/Card_3_linearity.txt"
commit Main.OpenOptions
print Options.CurrentSelect1
set Options.CurrentSelect1 0
commit Options.CurrentSelect1
print Options.ModulationFrequency
key 0x1800
wait 1
print Main.FramePeriod
set TabBData.BenchReportPrefix "$tmp/reports/bench"
commit Main.OpenTest
set TabBData.DeviceBarcode1 "VELTRA317"
set TabBData.DeviceBarcode2 "VELTRA-N317"
set TabBData.BoardBarcode "BRD-0000000000000317"
set TabBData.Otr1Barcode "OTR1-000000001"
set TabBData.Otr2Barcode "OTR2-000000002"
set TabBData.PcbVersion 7
SCRIPT
for s in 10pA 200Counts CrcLostFrame TempOtrDac PowerSupplies HvLevels Calibrate SaveDacValues \
  Linearity IntegratorLevel CfcError CfcTestMode OtrReset DacCounters LongTimeCrc; do
  echo "set TabBData.Enable$s 0" >> "$tmp/locale.tsk"
done
cat >> "$tmp/locale.tsk" <<SCRIPT
commit Test.StartBench
waitfor Test.StepTitle == "END OF TEST" timeout 60
quit
SCRIPT
out=$(LC_ALL="$comma" timeout 60 "$gui" --sim --settings "$tmp/s.ini" --ui-dir "$source_dir/ui" \
  --results-db "$tmp/live.sqlite" --script "$tmp/locale.tsk" 2>"$tmp/err")
rc=$?
[ $rc -eq 0 ] || fail "exit status $rc: $out $(cat "$tmp/err")"
# The ring labels are "%.3e" of the currents read with "%f" from the linearity file.
echo "$out" | grep -qx 'Options.CurrentSelect1 = 7 (1.000e-07)' || fail "ring label: $out"
echo "$out" | grep -qx 'Options.ModulationFrequency = 15.25878906' || fail "frequency: $out"
echo "$out" | grep -Eq '^Main.FramePeriod = [0-9]+\.[0-9]+$' || fail "frame period: $out"
# The report's date line: ctime's English day and month, whatever the desktop's language.
report=$(ls "$tmp"/reports/bench_DN_*_*.txt 2>/dev/null | head -n 1)
[ -n "$report" ] || fail "no report: $out"
date_line=$(sed -n 5p "$report")
echo "$date_line" | grep -Eqx '(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}' ||
  fail "date line [$date_line] in $report"
imported=$("$build/tessock-cli" --results-db "$tmp/fresh.sqlite" --import "$tmp/reports") ||
  fail "--import of $report: $imported"
echo "$imported" | grep -q "^imported 1 run with" || fail "--import of $report: $imported"
echo "PASS"
