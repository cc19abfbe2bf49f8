#!/usr/bin/env bash
# What the operator sees of a run, end to end: the desktop program without a display names the
# problem (and a wrong option first) instead of aborting inside Qt; the headless program prints
# a progress line as each step begins; every run ends with an HTML report beside its text
# report, which holds every result line of the record, opens in a real browser (headless
# Chromium) without errors, and is made again from the record by --html-report.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
gui="$build/tessock"
fail() { echo "FAIL: $*"; exit 1; }
[ -x "$gui" ] || fail "desktop program not built"
[ -f "$build/libquickusb_sim.so" ] || fail "no simulated bench in $build"
command -v chromium >/dev/null || fail "chromium missing (scripts/bootstrap installs it)"

# No display: the options are checked first, then the missing display is named. Exit 2 each.
nodisplay() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$gui" "$@" 2>"$tmp/err" >/dev/null; }
nodisplay --sim --settings "$tmp/s.ini"
[ $? -eq 2 ] || fail "no display: exit status $? $(cat "$tmp/err")"
grep -q "no display found" "$tmp/err" && grep -q "tessock-cli" "$tmp/err" || fail "no display: $(cat "$tmp/err")"
nodisplay --sim --bogus
[ $? -eq 2 ] && grep -q "unknown option --bogus" "$tmp/err" || fail "bad option: $(cat "$tmp/err")"
nodisplay -platform xcb --virtual-time
[ $? -eq 2 ] || fail "--virtual-time accepted by the desktop program"
grep -q -- "--virtual-time is an option of the headless program tessock-cli only" "$tmp/err" ||
  fail "--virtual-time: $(cat "$tmp/err")"

. "$src/tests/support/bench_script.sh"
run() {  # $1 board, $2 report prefix
  {
    script "$2" "EnableTempOtrDac EnablePowerSupplies EnableHvLevels EnableIntegratorLevel EnableCfcError"
    echo "waitfor Test.SequencerTimer == 0 timeout 3000"
    echo "quit"
  } > "$tmp/run.tsk"
  "$cli" --sim-config "$src/data/sim/$1.json" --virtual-time --settings "$tmp/s.ini" \
    --results-db "$tmp/db.sqlite" --script "$tmp/run.tsk" > "$tmp/$1.out" 2>&1
  local rc=$?  # 0 for a board that passes, 5 for one that fails
  [ $rc -eq 0 ] || [ $rc -eq 5 ] || fail "$1 run: status $rc: $(tail -3 "$tmp/$1.out")"
}

for board in good dead_channel; do
  run "$board" "$tmp/$board"
  out="$tmp/$board.out"
  # One progress line per step, numbered among the five steps switched on.
  [ "$(grep -c '^\[step [1-5]/5\] ' "$out")" -eq 5 ] || fail "$board progress lines: $(grep '^\[step' "$out")"
  grep -q '^\[step 1/5\] TEST STATUS TEMP OTR DAC OVERFLOW  elapsed 0:00:00  left ~[0-9]*:[0-5][0-9]:[0-5][0-9]$' "$out" ||
    fail "$board first progress line: $(grep '^\[step' "$out" | head -1)"
  record="$tmp/${board}_DN_317_0.jsonl"
  html="$tmp/${board}_DN_317_0.html"
  [ -s "$html" ] || fail "$board: no HTML report beside the text report"

  # Every result line of the record is in the page: as many rows, each check text there.
  results=$(grep -c '"type":"result"' "$record")
  [ "$results" -gt 20 ] || fail "$board: $results result lines"
  [ "$(grep -c '<tr id="r[0-9]*"' "$html")" -eq "$results" ] || fail "$board: rows differ from $results result lines"
  while IFS= read -r check; do
    esc=$(printf '%s' "$check" | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g')
    grep -qF -- "$esc" "$html" || fail "$board: result line not in the page: $check"
  done < <(sed -n 's/.*"check":"\([^"]*\)".*/\1/p' "$record")
  verdict=$(sed -n 's/.*"verdict":"\([A-Z]*\)".*/\1/p' "$record")
  grep -q "id=\"verdict\">$verdict" "$html" || fail "$board: verdict $verdict not in the page"

  # A real browser: it renders the page (screenshot) and reads it whole, with no error.
  timeout 120 chromium --headless --no-sandbox --disable-gpu --enable-logging=stderr \
    --screenshot="$tmp/$board.png" --window-size=1000,2400 "file://$html" >/dev/null 2>"$tmp/shot.err" ||
    fail "$board: chromium screenshot: $(tail -3 "$tmp/shot.err")"
  [ "$(head -c 4 "$tmp/$board.png" | od -An -c | tr -d ' ')" == "211PNG" ] || fail "$board: no PNG"
  [ "$(stat -c %s "$tmp/$board.png")" -gt 50000 ] || fail "$board: the page looks empty"
  timeout 120 chromium --headless --no-sandbox --disable-gpu --enable-logging=stderr \
    --dump-dom "file://$html" >"$tmp/dom.html" 2>"$tmp/dom.err" || fail "$board: chromium --dump-dom"
  grep -q '</html>' "$tmp/dom.html" || fail "$board: page not read whole"
  [ "$(grep -o "<svg" "$tmp/dom.html" | wc -l)" -ge 1 ] || fail "$board: plots missing"
  grep -Ei 'CONSOLE|Uncaught|net::ERR' "$tmp/shot.err" "$tmp/dom.err" && fail "$board: browser errors"
  [ -n "${TESSOCK_KEEP_SHOTS:-}" ] && cp "$tmp/$board.png" "$TESSOCK_KEEP_SHOTS/html_$board.png"

  # The page is made again from the record alone, as for a record of an earlier program.
  cp "$html" "$tmp/live.html"
  rm "$html"
  made=$("$cli" --html-report "$record") || fail "$board: --html-report"
  [ "$made" == "$html" ] || fail "$board: --html-report said $made"
  cmp -s "$html" "$tmp/live.html" || fail "$board: --html-report differs from the page of the run"
done
grep -q 'FAILED &ndash; 1 failed line<' "$tmp/dead_channel_DN_317_0.html" || fail "dead channel: failed count"
grep -q 'id="verdict">PASSED' "$tmp/good_DN_317_0.html" || fail "good board: not PASSED"
"$cli" --html-report "$tmp/none.jsonl" >/dev/null 2>"$tmp/err"
[ $? -eq 1 ] && grep -q "none.jsonl" "$tmp/err" || fail "missing record: $(cat "$tmp/err")"
echo "PASS"
