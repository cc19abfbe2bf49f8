#!/usr/bin/env bash
# The desktop program on a lab laptop's screen (1366x768) and on a full-HD one (1920x1080), on a
# real X server (Xvfb): every window opens within the screen, the three large panels in a scroll
# area when they need more room, so nothing is cut off out of reach.
set -u
build="$1"
source_dir="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
gui="$build/tessock"
fail() { echo "FAIL: $*"; exit 1; }
[ -x "$gui" ] || fail "desktop program not built"
command -v xvfb-run >/dev/null || fail "xvfb-run missing (scripts/bootstrap installs xvfb)"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$source_dir/tests/gui/lsan.supp}"

png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'; }

for screen in 1366x768 1920x1080; do
  sw=${screen%x*}
  sh=${screen#*x}
  out="$tmp/$screen"
  mkdir -p "$out"
  cat > "$out/shots.tsk" <<SCRIPT
commit Main.OpenOptions
commit Main.ViewRaw
commit Main.OpenTest
wait 1
screenshot Main $out/main.png
screenshot Options $out/options.png
screenshot RawData $out/rawdata.png
screenshot ShowFrame $out/showframe.png
screenshot Test $out/test.png
quit
SCRIPT
  QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 ${screen}x24" "$gui" --sim \
    --settings "$out/s.ini" --ui-dir "$source_dir/ui" --script "$out/shots.tsk" >"$out/log" 2>&1 ||
    fail "$screen: exit status $?: $(tail -3 "$out/log")"
  for shot in main options rawdata showframe test; do
    f="$out/$shot.png"
    [ -s "$f" ] || fail "$screen: $shot.png not written"
    read -r w h < <(png_size "$f")
    # The window's frame and title bar, and a panel bar, come on top of its own size.
    [ "$w" -le "$sw" ] && [ "$h" -le $((sh - 30)) ] || fail "$screen: the $shot window is ${w}x${h}"
    [ "$w" -ge 300 ] && [ "$h" -ge 100 ] || fail "$screen: the $shot window is only ${w}x${h}"
  done
  [ -n "${TESSOCK_KEEP_SHOTS:-}" ] && mkdir -p "$TESSOCK_KEEP_SHOTS/$screen" &&
    cp "$out"/*.png "$TESSOCK_KEEP_SHOTS/$screen/"
done
echo "PASS"
