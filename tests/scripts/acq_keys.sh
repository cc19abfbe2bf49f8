#!/usr/bin/env bash
# Acquisition from the keyboard on the simulated bench, in virtual time: F10 starts FRAMES and
# learns the card number, F11 switches to SUMS, F3 focuses channel 3.
set -u
build="$1"
source_dir="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }
[ -e "$build/libquickusb_sim.so" ] || { echo "FAIL: no simulated bench"; exit 1; }

card=$(sed -n 's/.*"cardNumber": *\([0-9]*\).*/\1/p' "$source_dir/data/sim/good.json")
[ -n "$card" ] || fail "no card number in good.json"

value() { echo "$1" | sed -n "s/^$2 = //p"; }

cat > "$tmp/frames.tsk" <<'SCRIPT'
key 0x1800
wait 10
print Main.CardNumber
print Options.CardNumber
print Main.FramePeriod
print Main.ReadErrors
key 0x1900
wait 5
print Main.AcqInterval
print Main.CardNumber
key 0x1100
print Main.FocusChannel
quit
SCRIPT
out=$("$cli" --sim --virtual-time --settings "$tmp/s.ini" --script "$tmp/frames.tsk")
rc=$?
[ $rc -eq 0 ] || fail "exit status $rc: $out"

[ "$(echo "$out" | grep -c "^Main.CardNumber = $card\$")" -eq 2 ] || fail "Main.CardNumber: $out"
[ "$(value "$out" Options.CardNumber)" == "$card" ] || fail "Options.CardNumber: $out"
period=$(value "$out" Main.FramePeriod)
awk -v p="$period" 'BEGIN { exit !(p >= 0.0196 && p <= 0.0204) }' || fail "Main.FramePeriod $period"
[ "$(value "$out" Main.ReadErrors)" == "0" ] || fail "Main.ReadErrors: $out"
[ "$(value "$out" Main.AcqInterval)" == "0.4" ] || fail "Main.AcqInterval: $out"
[ "$(value "$out" Main.FocusChannel)" == "2" ] || fail "Main.FocusChannel: $out"
echo "PASS"
