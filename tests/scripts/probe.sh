#!/usr/bin/env bash
# tessock-cli --probe on the simulated boards: the good board is usable (status 0, "OK"), each
# defect board is named by its fault (status 3); the unplugged board is probed after the 120 s
# it takes its module to go. Without a library the check says so.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }
printf 'wait 125\n' >"$tmp/later.tsk"

# board | extra options | exit status | line the output must hold
cases=(
  "good||0|^OK$"
  "crc_fibre_a||3|^FAULT: CRC errors on fibre A \([1-9][0-9]* in 2\.[0-9] s\)$"
  "lost_fibre_b||3|^FAULT: lost frames on fibre B \([1-9][0-9]* in 2\.[0-9] s\)$"
  "unplugged|--script $tmp/later.tsk|3|^FAULT: no QuickUSB module found$"
  "good|--module QUSB-9|3|^FAULT: module QUSB-9 not found$"
)
for c in "${cases[@]}"; do
  IFS='|' read -r board extra want line <<<"$c"
  # shellcheck disable=SC2086
  "$cli" --sim-config "$src/data/sim/$board.json" --virtual-time --settings "$tmp/s.ini" \
    $extra --probe >"$tmp/out" 2>&1
  rc=$?
  [ $rc -eq "$want" ] || fail "$board $extra: exit status $rc, wanted $want: $(cat "$tmp/out")"
  grep -Eq "$line" "$tmp/out" || fail "$board $extra: no [$line]: $(cat "$tmp/out")"
  [ "$(tail -1 "$tmp/out" | cut -c1-2)" == "$(echo "$line" | cut -c2-3)" ] ||
    fail "$board: the summary is not the last line: $(cat "$tmp/out")"
done

# The figures of the good board: the simulated library, its module with what the library reads
# back, the JTAG id, about 25000 frames a second on both fibres, card 317 everywhere, no error.
"$cli" --sim --virtual-time --settings "$tmp/s.ini" --probe >"$tmp/out" 2>&1
for l in "^Library: .*/libquickusb_sim\.so \(the simulated bench\)$" "^Modules found: 1$" \
  "^  QUSB-0 \(driven by this program\): WORDWIDE 0x1, .* FPGATYPE 0x1, CPUCONFIG 0x12, board number 3$" \
  "^FPGA JTAG id: 0x0A5E1093$" "^FRAMES fibre A: [0-9]+ reads, 0 failed, 2[45][0-9]{3} frames/s, card number 317$" \
  "^FRAMES fibre B: [0-9]+ reads, 0 failed, 2[45][0-9]{3} frames/s, card number 317$" \
  "^SUMS: [0-9]+ reads, 0 failed, 2[45][0-9]{3} frames/s over 2\.[0-9] s, card number 317$" \
  "^  CRC errors: fibre A 0, fibre B 0; lost frames: fibre A 0, fibre B 0$"; do
  grep -Eq "$l" "$tmp/out" || fail "good board: no [$l]: $(cat "$tmp/out")"
done

# No library: named, and no reading attempted.
"$cli" --quickusb-lib "$tmp/none.so" --virtual-time --settings "$tmp/s.ini" --probe >"$tmp/out" 2>&1
[ $? -eq 3 ] || fail "no library: $(cat "$tmp/out")"
grep -q "^FAULT: the QuickUSB library cannot be loaded$" "$tmp/out" || fail "no library: $(cat "$tmp/out")"
grep -q "^FRAMES" "$tmp/out" && fail "no library, yet a reading: $(cat "$tmp/out")"
echo PASS
