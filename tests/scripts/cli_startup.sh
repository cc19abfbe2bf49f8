#!/usr/bin/env bash
# Headless program: start-up without a library, script errors and exit statuses.
set -u
build="$1"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }

# Without a library: the standard line (trailing blank kept), then the path tried and the
# loader's reason; no pop-up, exit 0.
printf 'quit\n' > "$tmp/quit.tsk"
out=$("$cli" --quickusb-lib /nonexistent/libquickusb.so --settings "$tmp/s.ini" --virtual-time --script "$tmp/quit.tsk")
rc=$?
[ $rc -eq 0 ] || fail "exit status $rc"
nolib=$(printf '%s\n' "Can't oad the library for the QuickUSB 'QuickUSB.lib' " \
  "The QuickUSB library '/nonexistent/x.so' cannot be loaded: No such file or directory")
[ "$out" == "${nolib//x.so/libquickusb.so}" ] || fail "output: [$out]"

# An unknown command: exit 2, naming the line; nothing is run.
printf '# comment\n\nprint Main.BoardNumber\nfrobnicate Main.Quit\n' > "$tmp/bad.tsk"
err=$("$cli" --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --script "$tmp/bad.tsk" 2>&1 >/dev/null)
rc=$?
[ $rc -eq 2 ] || fail "unknown command: exit status $rc"
echo "$err" | grep -q "line 4" || fail "unknown command not located: $err"

# A failed expect: exit 3. A passing one and print: exit 0.
printf 'expect Main.BoardNumber == 5\n' > "$tmp/expect.tsk"
"$cli" --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --virtual-time --script "$tmp/expect.tsk" >/dev/null 2>&1
rc=$?
[ $rc -eq 3 ] || fail "failed expect: exit status $rc"
printf 'expect Main.BoardNumber == 0\nprint Main.AcqInterval\nprint Options.FrameWords\nquit\n' > "$tmp/ok.tsk"
out=$("$cli" --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --virtual-time --script "$tmp/ok.tsk")
rc=$?
[ $rc -eq 0 ] || fail "passing script: exit status $rc"
echo "$out" | grep -qx "Main.AcqInterval = 0.02" || fail "print AcqInterval: $out"
echo "$out" | grep -qx "Options.FrameWords = 20" || fail "print FrameWords: $out"

# Unknown control, bad option, missing script: exit 2.
printf 'print Main.NoSuchControl\n' > "$tmp/unknown.tsk"
"$cli" --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --script "$tmp/unknown.tsk" >/dev/null 2>&1
[ $? -eq 2 ] || fail "unknown control"
"$cli" --frobnicate >/dev/null 2>&1
[ $? -eq 2 ] || fail "bad option"
"$cli" --script "$tmp/none.tsk" >/dev/null 2>&1
[ $? -eq 2 ] || fail "missing script"
"$cli" --script "$tmp" >/dev/null 2>&1
[ $? -eq 2 ] || fail "a folder as the script"

# A file selection with no queued answer is cancelled, and that is said.
printf 'commit TabBData.ChooseLinearityFile\nquit\n' > "$tmp/choose.tsk"
out=$("$cli" --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --virtual-time --script "$tmp/choose.tsk")
rc=$?
[ $rc -eq 0 ] || fail "file selection: exit status $rc"
expected=$(printf '%s\n' "$nolib" \
  "[popup] Select Linearity File: *.txt" "[popup] no file queued: cancelled")
[ "$out" == "$expected" ] || fail "file selection: [$out]"

# A malformed script is refused before start-up, naming the line.
printf 'wait 1\nset TabBData.BenchReportPrefix "open\n' > "$tmp/quote.tsk"
out=$("$cli" --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --script "$tmp/quote.tsk" 2>&1)
rc=$?
[ $rc -eq 2 ] || fail "unterminated quote: exit status $rc"
[ "$out" == "tessock-cli: $tmp/quote.tsk: line 2: unterminated quoted text" ] || fail "unterminated quote: [$out]"

# A panel file without a control the program uses stops start-up (exit 1), naming the file
# and the control, and nothing else is said.
mkdir "$tmp/ui"
cp "$2"/ui/*.ui "$tmp/ui/"
sed -i 's/name="Tabs"/name="Pages"/; s/<number>3<\/number>/<number>333<\/number>/' "$tmp/ui/TessockTestCfc2_panel.ui"
out=$("$cli" --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --ui-dir "$tmp/ui" --script "$tmp/quit.tsk" 2>&1)
rc=$?
[ $rc -eq 1 ] || fail "damaged panel file: exit status $rc"
echo "$out" | grep -q "TessockTestCfc2_panel.ui" || fail "damaged panel file not named: [$out]"
[ "$(echo "$out" | wc -l)" -eq 1 ] || fail "damaged panel file: [$out]"
echo "PASS"
