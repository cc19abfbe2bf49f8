#!/usr/bin/env bash
# Paths people mistype or misconfigure: named pipes, devices, folders, links and huge files as
# the settings file, the board configuration, a panel file, the QuickUSB library, the script or
# a chosen linearity file. Every run must end at once with a reason and a sane exit status, and
# no device, link or link target may be changed. Each run is bounded by `timeout`.
set -u
build="$1"
source_dir="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }
command -v timeout >/dev/null || { echo "FAIL: no timeout command"; exit 1; }

mkfifo "$tmp/fifo"
printf 'quit\n' > "$tmp/q.tsk"
nolib="Can't oad the library for the QuickUSB 'QuickUSB.lib' "
# Runs the headless program for at most 10 s with the options given; sets out and rc.
run() {
  out=$(timeout 10 "$cli" --virtual-time "$@" 2>&1)
  rc=$?
  [ $rc -ne 124 ] || fail "hung: $*"
}
has() { echo "$out" | grep -qxF -- "$1" || fail "$2: no line [$1] in [$out]"; }

# The settings file.
for p in "$tmp/fifo" /dev/full; do
  run --quickusb-lib /nonexistent/x.so --settings "$p" --script "$tmp/q.tsk"
  [ $rc -eq 0 ] || fail "--settings $p: exit status $rc"
  has "$nolib" "--settings $p"
  echo "$out" | grep -q "^The settings file '$p' cannot be read: it is a " || fail "--settings $p: [$out]"
done

# Saving: a link is followed and stays a link; a pipe or a device is left alone.
mkdir "$tmp/conf"
printf '[DataType]\n1 \n' > "$tmp/conf/target.ini"
ln -s conf/target.ini "$tmp/link.ini"
printf 'commit Main.OpenOptions\ncommit Options.Close\nquit\n' > "$tmp/save.tsk"
run --quickusb-lib /nonexistent/x.so --settings "$tmp/link.ini" --script "$tmp/save.tsk"
[ $rc -eq 0 ] || fail "save through a link: exit status $rc [$out]"
[ -L "$tmp/link.ini" ] || fail "the settings link was replaced"
[ "$(wc -l < "$tmp/conf/target.ini")" -eq 28 ] || fail "the link's target was not written"
run --quickusb-lib /nonexistent/x.so --settings "$tmp/fifo" --script "$tmp/save.tsk"
[ $rc -eq 0 ] || fail "save to a pipe: exit status $rc"
[ -p "$tmp/fifo" ] || fail "the pipe was replaced"
echo "$out" | grep -q "cannot be written (it is a named pipe (FIFO))" || fail "save to a pipe: [$out]"
if mknod "$tmp/dev" c 1 7 2>/dev/null; then
  run --quickusb-lib /nonexistent/x.so --settings "$tmp/dev" --script "$tmp/save.tsk"
  [ -c "$tmp/dev" ] || fail "the device was replaced"
  echo "$out" | grep -q "cannot be written (it is a character device)" || fail "save to a device: [$out]"
fi

# The board configuration of the simulated bench.
if [ -e "$build/libquickusb_sim.so" ]; then
  # A configuration that cannot be read ends the program (status 1): no default board instead.
  for p in "$tmp/fifo" /dev/zero; do
    run --sim-config "$p" --settings "$tmp/s.ini" --script "$tmp/q.tsk"
    [ $rc -eq 1 ] || fail "--sim-config $p: exit status $rc"
    what="character device"
    [ -p "$p" ] && what="named pipe (FIFO)"
    has "tessock-cli: Simulated bench: $p: cannot be read: it is a $what" "--sim-config $p"
  done
fi

# The QuickUSB library.
for p in "$tmp/fifo" /dev/zero; do
  run --quickusb-lib "$p" --settings "$tmp/s.ini" --script "$tmp/q.tsk"
  [ $rc -eq 0 ] || fail "--quickusb-lib $p: exit status $rc"
  [ "$(echo "$out" | head -1)" == "$nolib" ] || fail "--quickusb-lib $p: [$out]"
  echo "$out" | grep -q "^The QuickUSB library '$p' cannot be loaded: it is a " || fail "--quickusb-lib $p: [$out]"
done

# A panel file that is a pipe or a folder stops start-up (exit 1), naming it.
for kind in fifo folder; do
  rm -rf "$tmp/ui"
  mkdir "$tmp/ui"
  cp "$source_dir"/ui/*.ui "$tmp/ui/"
  rm "$tmp/ui/TessockCheck_options_panel.ui"
  if [ $kind == fifo ]; then mkfifo "$tmp/ui/TessockCheck_options_panel.ui"; else mkdir "$tmp/ui/TessockCheck_options_panel.ui"; fi
  run --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --ui-dir "$tmp/ui" --script "$tmp/q.tsk"
  [ $rc -eq 1 ] || fail "panel file as a $kind: exit status $rc [$out]"
  echo "$out" | grep -q "TessockCheck_options_panel.ui': it is a " || fail "panel file as a $kind: [$out]"
done

# The script itself, and a linearity file chosen by the script.
run --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --script "$tmp/fifo"
[ $rc -eq 2 ] || fail "script from a pipe: exit status $rc"
[ "$out" == "tessock-cli: cannot read script $tmp/fifo: it is a named pipe (FIFO)" ] || fail "script from a pipe: [$out]"
printf 'choose "%s"\ncommit TabBData.ChooseLinearityFile\nquit\n' "$tmp/fifo" > "$tmp/choose.tsk"
run --quickusb-lib /nonexistent/x.so --settings "$tmp/s.ini" --script "$tmp/choose.tsk"
[ $rc -eq 0 ] || fail "choose a pipe: exit status $rc"
has "[popup] Linearity file: The linearity file \"$tmp/fifo\" cannot be read: it is a named pipe (FIFO)." "choose a pipe"

# The desktop program reads the same way.
gui="$build/tessock"
if [ -x "$gui" ]; then
  export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
  export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$source_dir/tests/gui/lsan.supp}"
  out=$(timeout 20 "$gui" --quickusb-lib /nonexistent/x.so --settings "$tmp/fifo" --script "$tmp/q.tsk" 2>&1)
  rc=$?
  [ $rc -ne 124 ] || fail "desktop hung on a settings pipe"
  [ $rc -eq 0 ] || fail "desktop, settings pipe: exit status $rc [$out]"
  has "The settings file '$tmp/fifo' cannot be read: it is a named pipe (FIFO)" "desktop, settings pipe"
fi
[ -p "$tmp/fifo" ] || fail "the pipe was replaced"
echo "PASS"
