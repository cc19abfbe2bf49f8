#!/usr/bin/env bash
# Recording, raw capture and replay from a script on the simulated bench, in virtual time: one
# record file with a second of FRAMES, SUMS and RAWDATA, a 150 s capture into three parts paged
# through to its end, and a replay file that does not exist.
set -u
build="$1"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }
[ -e "$build/libquickusb_sim.so" ] || { echo "FAIL: no simulated bench"; exit 1; }

cat > "$tmp/record.tsk" <<SCRIPT
choose "$tmp/run.txt"
commit Main.RecordFile
set Main.MultipleRunSave 1
commit Main.MultipleRunSave
set Main.ReadOutMode 1
commit Main.ReadOutMode
commit Main.StartStop
wait 1
commit Main.StartStop
set Main.ReadOutMode 2
commit Main.ReadOutMode
commit Main.StartStop
wait 1
commit Main.StartStop
set Main.ReadOutMode 0
commit Main.ReadOutMode
commit Main.StartStop
wait 1
commit Main.StartStop
commit Main.EndRecord
print Main.RecordFileName
quit
SCRIPT
out=$("$cli" --sim --virtual-time --settings "$tmp/s.ini" --script "$tmp/record.tsk")
rc=$?
[ $rc -eq 0 ] || fail "record: exit status $rc: $out"
f="$tmp/run.txt"
[ "$(grep -c '^MODE OF OPERATION : FRAMES$' "$f")" -eq 1 ] || fail "FRAMES header"
[ "$(grep -c '^MODE OF OPERATION : SUMS_MAXIMUMS_ANALYSIS$' "$f")" -eq 1 ] || fail "SUMS header"
[ "$(grep -c '^RAWDATA$' "$f")" -eq 1 ] || fail "RAWDATA header"
[ "$(grep -cE '^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}$' "$f")" -eq 3 ] ||
  fail "three date lines"
frames=$(grep -cE '^[0-9]+\.[0-9]{6}  ([0-9]{4} ){16}([0-9]{3} ){7}[0-9]{4} [0-9]{4,} [0-9]{4,} 0317$' "$f")
[ "$frames" -ge 49 ] && [ "$frames" -le 51 ] || fail "$frames FRAMES lines"
sums=$(awk 'NF == 136 && $98 == "0" && $99 == "317" && $2 ~ /e[+]/' "$f" | wc -l)
[ "$sums" -ge 2 ] && [ "$sums" -le 3 ] || fail "$sums SUMS lines"
raw=$(grep -cE '^[0-9]+\.[0-9]{6}  ([0-9]+ ){99}$' "$f")
[ "$raw" -ge 2 ] && [ "$raw" -le 3 ] || fail "$raw RAWDATA lines"
echo "$out" | grep -q '^Main.RecordFileName =  $' || fail "record name not cleared: $out"

# A slow module (10 ms a call) keeps the 150 s capture to a few megabytes.
echo '{"name": "slow", "module": {"callSeconds": 0.01}}' > "$tmp/slow.json"
cat > "$tmp/capture.tsk" <<SCRIPT
choose "$tmp/cap"
commit Main.FastFile
set Main.RawCaptureSeconds 150
commit Main.RawCapture
choose "$tmp/cap_1.dat"
commit Main.ReplayOpen
SCRIPT
for k in $(seq 1 40); do
  echo "commit Main.ReplayNext" >> "$tmp/capture.tsk"
done
cat >> "$tmp/capture.tsk" <<SCRIPT
print Main.FileOffset
choose "$tmp/no such file.dat"
commit Main.ReplayOpen
quit
SCRIPT
out=$("$cli" --sim-config "$tmp/slow.json" --virtual-time --settings "$tmp/s.ini" \
  --conversion-file "$tmp/conv/tempIO.txt" --script "$tmp/capture.tsk")
rc=$?
[ $rc -eq 0 ] || fail "capture: exit status $rc: $out"
for n in 1 2 3; do [ -s "$tmp/cap_$n.dat" ] || fail "no part $n"; done
[ -e "$tmp/cap_4.dat" ] && fail "a fourth part"
[ "$(wc -l < "$tmp/conv/tempIO.txt")" -eq 50000 ] || fail "text conversion"
size=$(stat -c %s "$tmp/cap_1.dat")
[ "$(echo "$out" | grep -c '^\[popup\] Message: End of the file$')" -eq 1 ] || fail "end: $out"
last=$(( (size / 200000) * 100000 ))
echo "$out" | grep -q "^Main.FileOffset = $last\$" || fail "offset $last: $out"
echo "$out" | grep -q "^\[popup\] Message: error opening file $tmp/no such file.dat" ||
  fail "no pop-up for a missing file: $out"
echo "PASS"
