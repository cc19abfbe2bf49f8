#!/usr/bin/env bash
# The desktop program under a script on the simulated bench, in real time: F10 starts FRAMES,
# each of the five panels is opened and saved as a PNG, and a file selection pop-up is
# answered by the script instead of waiting for a person.
set -u
build="$1"
source_dir="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
gui="$build/tessock"
fail() { echo "FAIL: $*"; exit 1; }
[ -x "$gui" ] || { echo "FAIL: desktop program not built"; exit 1; }
[ -e "$build/libquickusb_sim.so" ] || { echo "FAIL: no simulated bench"; exit 1; }
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$source_dir/tests/gui/lsan.supp}"

cat > "$tmp/shots.tsk" <<SCRIPT
key 0x1800
wait 3
screenshot Main $tmp/main.png
expect Main.ReadErrors == 0
commit Main.OpenOptions
commit Main.ViewRaw
commit Main.OpenTest
wait 1
screenshot Options $tmp/options.png
screenshot RawData $tmp/rawdata.png
screenshot ShowFrame $tmp/showframe.png
screenshot Test $tmp/test.png
key 0x1800
commit TabBData.ChooseLinearityFile
print TabBData.LinearityFile
quit
SCRIPT
out=$(timeout 120 "$gui" --sim --settings "$tmp/s.ini" --ui-dir "$source_dir/ui" --script "$tmp/shots.tsk" 2>"$tmp/err")
rc=$?
[ $rc -eq 0 ] || fail "exit status $rc: $out $(cat "$tmp/err")"

# A PNG with its width and height (big-endian, bytes 16..23).
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'; }
for shot in main options rawdata showframe test; do
  f="$tmp/$shot.png"
  [ -s "$f" ] || fail "$shot.png not written"
  [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" == "211PNG" ] || fail "$shot.png is no PNG"
  read -r w h < <(png_size "$f")
  minh=200
  [ "$shot" == showframe ] && minh=100  # the frame view holds three lines of text
  [ "$w" -ge 300 ] && [ "$h" -ge "$minh" ] || fail "$shot.png is ${w}x${h}"
done
# The main window with two live graphs holds far more detail than an empty one.
[ "$(stat -c %s "$tmp/main.png")" -gt 40000 ] || fail "main.png looks empty"
echo "$out" | grep -q '^\[popup\] .*no file queued: cancelled' || fail "file pop-up not answered: $out"
# The script may not name a panel that does not exist.
printf 'screenshot Nowhere %s/x.png\n' "$tmp" > "$tmp/bad.tsk"
timeout 60 "$gui" --settings "$tmp/s.ini" --ui-dir "$source_dir/ui" --script "$tmp/bad.tsk" >/dev/null 2>&1
[ $? -eq 2 ] || fail "an unknown panel is not a script error"
# A damaged panel file stops the start with a message naming it, not with a crash.
cp -r "$source_dir/ui" "$tmp/badui"
head -c 900 "$source_dir/ui/Tessock_RawData_panel.ui" > "$tmp/badui/Tessock_RawData_panel.ui"
printf 'quit\n' > "$tmp/quit.tsk"
timeout 60 "$gui" --sim --settings "$tmp/s.ini" --ui-dir "$tmp/badui" --script "$tmp/quit.tsk" >/dev/null 2>"$tmp/bad.err"
rc=$?
[ $rc -eq 1 ] || fail "damaged panel file: exit status $rc $(cat "$tmp/bad.err")"
grep -q "Tessock_RawData_panel.ui" "$tmp/bad.err" || fail "damaged panel file not named: $(cat "$tmp/bad.err")"
echo "PASS"
