#!/usr/bin/env bash
# The programs' --help and --version, then the install tree and the Debian package: both are
# laid out in scratch folders and their headless program runs on the simulated bench from
# another working folder, with the source and build trees out of its reach.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

if grep -q '^TESSOCK_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "PASS (the package is made from the default build only)"
  exit 0
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in the cache"
programs=(tessock-cli)
export QT_QPA_PLATFORM=offscreen
[ -x "$build/tessock" ] && programs+=(tessock)

# --help and --version: standard output, nothing on standard error, status 0, and no display
# needed (the desktop program answers them before Qt starts).
for p in "${programs[@]}"; do
  man="$src/packaging/$p.1"
  help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$build/$p" --help 2>"$tmp/err")
  rc=$?
  [ $rc -eq 0 ] || fail "$p --help: exit status $rc"
  [ -s "$tmp/err" ] && fail "$p --help wrote to standard error: $(cat "$tmp/err")"
  echo "$help" | head -1 | grep -q "^usage: $p " || fail "$p --help: [$help]"
  # Every option of --help is in the man page, and the man page has no other.
  listed=$(echo "$help" | sed -n 's/^  \(--[a-z-]*\).*/\1/p' | sort -u)
  [ "$(echo "$listed" | wc -l)" -ge 10 ] || fail "$p --help lists [$listed]"
  documented=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$man" | grep -o '^\.BI\? \\-\\-[a-z\\-]*' |
    sed 's/^\.BI\? //; s/\\-/-/g' | sort -u)
  [ "$listed" == "$documented" ] || fail "$p: --help lists [$listed], the man page [$documented]"
  command -v groff >/dev/null || fail "groff missing (scripts/bootstrap installs groff-base)"
  warnings=$(groff -man -ww -z "$man" 2>&1)
  [ -z "$warnings" ] || fail "$man: $warnings"

  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$build/$p" --version 2>"$tmp/err")
  rc=$?
  [ $rc -eq 0 ] || fail "$p --version: exit status $rc"
  [ -s "$tmp/err" ] && fail "$p --version wrote to standard error"
  echo "$out" | grep -Eqx "$p $version( \(commit [0-9a-f]{12}(-modified)?\))?" ||
    fail "$p --version: [$out]"
  # From a git checkout, the commit is one of its own (the build may predate the last one).
  if git -C "$src" rev-parse HEAD >/dev/null 2>&1; then
    commit=$(echo "$out" | sed -n 's/.*(commit \([0-9a-f]*\).*/\1/p')
    [ -n "$commit" ] && git -C "$src" cat-file -e "$commit^{commit}" 2>/dev/null ||
      fail "$p --version: [$out] names no commit of $src"
  fi

  # A bad option: the message and the synopsis on standard error, status 2.
  "$build/$p" --bogus >"$tmp/out" 2>"$tmp/err"
  rc=$?
  [ $rc -eq 2 ] || fail "$p --bogus: exit status $rc"
  [ -s "$tmp/out" ] && fail "$p --bogus wrote to standard output"
  grep -q "^$p: unknown option --bogus" "$tmp/err" || fail "$p --bogus: [$(cat "$tmp/err")]"
done

# Runs an installed program from a working folder of its own on the simulated bench:
#   run_installed ROOT_BIN LINEARITY_FILE
# The headless program reads the installed sample linearity file into the options panel and
# acquires in virtual time; the desktop program (offscreen) starts with --acquire, as its menu
# entry does, and must show live frames. Where a private mount namespace can be had, the source
# tree (and the build tree) is hidden under an empty folder; elsewhere the program's file
# accesses are traced and must not reach them.
run_installed() {
  local bin="$1" linearity="$2"
  run_hidden "$bin/tessock-cli" "Main.ModuleName = QUSB-0" --virtual-time <<SCRIPT
set TabBData.LinearityFile "$linearity"
commit Main.OpenOptions
print Options.CurrentSelect1
commit Options.Close
key 0x1800
wait 3
expect Main.CardNumber == 317
print Main.ModuleName
quit
SCRIPT
  # The ring's items carry the currents of the file's setups once it is read.
  grep -Eqx "Options.CurrentSelect1 = [0-9]+ \([0-9.e+-]+\)" "$work/out" ||
    fail "linearity file not read: $(cat "$work/out")"
  if [ -x "$bin/tessock" ]; then
    run_hidden "$bin/tessock" "Main.CardNumber = 317" --acquire <<SCRIPT
waitfor Main.CardNumber == 317 timeout 20
print Main.CardNumber
quit
SCRIPT
  fi
}

# run_hidden PROGRAM EXPECTED_LINE OPTION... < SCRIPT: runs PROGRAM --sim on the script in a
# fresh working folder ($work) with the trees out of reach; its output in $work/out.
run_hidden() {
  local program="$1" expected="$2"
  shift 2
  work="$tmp/work.$RANDOM"
  mkdir "$work"
  cat > "$work/run.tsk"
  # The user's folders of a fresh account: the test runner's point into the build tree.
  local cmd=(env XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
    XDG_CACHE_HOME="$work/cache" "$program" --sim "$@" --settings "$work/s.ini" --script run.tsk)
  local hide=("$(realpath "$src")") rc
  case "$(realpath "$build")/" in "${hide[0]}"/*) ;; *) hide+=("$(realpath "$build")") ;; esac
  case "$(realpath "$tmp")/" in "${hide[0]}"/* | "${hide[1]:-/nonexistent}"/*)
    fail "the scratch folder is inside the source or build tree" ;;
  esac
  if unshare -r -m true 2>/dev/null; then
    # In the namespace: an empty read-only folder over each tree, or no run at all.
    (cd "$work" && unshare -r -m sh -c '
      while [ "$1" != -- ]; do
        mount -t tmpfs -o ro none "$1" || exit 8
        [ -z "$(ls -A "$1")" ] || exit 9
        shift
      done
      shift
      exec "$@"' sh "${hide[@]}" -- "${cmd[@]}") >"$work/out" 2>&1 </dev/null
    rc=$?
  elif command -v strace >/dev/null; then
    (cd "$work" && strace -f -qq -e trace=%file -o "$work/trace" "${cmd[@]}") >"$work/out" 2>&1
    rc=$?
    for d in "${hide[@]}"; do
      ! grep -F "\"$d" "$work/trace" || fail "the installed program reached into $d"
    done
  else
    fail "neither unshare nor strace here: the source tree cannot be hidden (scripts/bootstrap installs strace)"
  fi
  [ $rc -eq 0 ] || fail "$program: exit status $rc: $(cat "$work/out")"
  grep -qx "$expected" "$work/out" || fail "$program: no '$expected': $(cat "$work/out")"
}

# cmake --install into a prefix.
cmake --install "$build" --prefix "$tmp/p" >/dev/null || fail "cmake --install"
for f in bin/tessock-cli lib/tessock/libquickusb_sim.so share/tessock/ui/TessockCheck_main_panel.ui \
  share/tessock/sim/good.json share/tessock/Card_3_linearity.txt share/man/man1/tessock-cli.1.gz; do
  [ -f "$tmp/p/$f" ] || fail "install tree lacks $f"
done
run_installed "$tmp/p/bin" "$tmp/p/share/tessock/Card_3_linearity.txt"

# The Debian package: its name, its dependencies, its contents and the same run.
arch=$(dpkg --print-architecture)
cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$tmp/cpack.log")"
revision=$(sed -n 's/^TESSOCK_DEBIAN_REVISION:STRING=//p' "$build/CMakeCache.txt")
deb="$tmp/pkg/tessock_${version}-${revision}_${arch}.deb"
[ -f "$deb" ] || fail "no $deb: $(ls "$tmp/pkg")"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libpugixml1v5 libstdc++6; do
  echo "$depends" | grep -q "$d" || fail "Depends lacks $d: [$depends]"
done
if [ -x "$build/tessock" ]; then
  for d in libqt6widgets6 libqt6charts6 libqt6uitools6 qt6-qpa-plugins; do
    echo "$depends" | grep -q "$d" || fail "Depends lacks $d: [$depends]"
  done
fi
dpkg -x "$deb" "$tmp/root" || fail "dpkg -x"
for f in usr/bin/tessock-cli usr/lib/tessock/libquickusb_sim.so usr/share/tessock/ui/TessockTestCfc2_panel.ui \
  usr/share/tessock/sim/dead_channel.json usr/share/man/man1/tessock-cli.1.gz; do
  [ -f "$tmp/root/$f" ] || fail "package lacks $f"
done
if [ -x "$build/tessock" ]; then
  for f in usr/bin/tessock usr/share/applications/tessock.desktop \
    usr/share/icons/hicolor/scalable/apps/tessock.svg usr/share/man/man1/tessock.1.gz; do
    [ -f "$tmp/root/$f" ] || fail "package lacks $f"
  done
  command -v desktop-file-validate >/dev/null || fail "desktop-file-validate missing"
  # Its hints and warnings count as complaints too, not only its errors.
  complaints=$(desktop-file-validate "$tmp/root/usr/share/applications/tessock.desktop" 2>&1)
  [ $? -eq 0 ] && [ -z "$complaints" ] || fail "desktop-file-validate: $complaints"
fi
run_installed "$tmp/root/usr/bin" "$tmp/root/usr/share/tessock/Card_3_linearity.txt"

# The QuickUSB module for the seat's user and plugdev, not for everyone.
rule="$tmp/root/usr/lib/udev/rules.d/60-tessock-quickusb.rules"
[ -f "$rule" ] || fail "package lacks the udev rule: $(dpkg -c "$deb" | grep udev)"
line=$(grep -v '^#' "$rule" | grep .)
for want in 'SUBSYSTEM=="usb"' 'ATTR{idVendor}=="0fbb"' 'ATTR{idProduct}=="0001"' 'MODE="0660"' \
  'GROUP="plugdev"' 'TAG+="uaccess"'; do
  echo "$line" | grep -qF "$want" || fail "udev rule lacks $want: [$line]"
done
# The maintainer scripts reload udev only where it runs: with no udev socket (a container, this
# test's root) they call nothing and succeed; udevadm on the path records any call.
dpkg-deb -e "$deb" "$tmp/control" || fail "dpkg-deb -e"
mkdir "$tmp/fakebin"
printf '#!/bin/sh\necho "$@" >>%s/udevadm.calls\n' "$tmp" >"$tmp/fakebin/udevadm"
chmod +x "$tmp/fakebin/udevadm"
for s in "postinst configure" "postrm remove" "postrm purge"; do
  set -- $s
  [ -x "$tmp/control/$1" ] || fail "package lacks an executable $1"
  PATH="$tmp/fakebin:$PATH" "$tmp/control/$1" "$2" || fail "$s: exit status $?"
done
if [ ! -S /run/udev/control ] && [ -e "$tmp/udevadm.calls" ]; then
  fail "udevadm called without udev: $(cat "$tmp/udevadm.calls")"
fi
# Debian's documentation files, and a Maintainer field that names somebody.
gzip -t "$tmp/root/usr/share/doc/tessock/changelog.Debian.gz" || fail "no changelog.Debian.gz"
zcat "$tmp/root/usr/share/doc/tessock/changelog.Debian.gz" | head -1 |
  grep -q "^tessock ($version-$revision) " || fail "changelog names another version"
[ -s "$tmp/root/usr/share/doc/tessock/copyright" ] || fail "no copyright file"
dpkg-deb -f "$deb" Maintainer | grep -Eq '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' ||
  fail "Maintainer: [$(dpkg-deb -f "$deb" Maintainer)]"

# lintian: no error and no warning (an override in the package says why where one is accepted).
command -v lintian >/dev/null || fail "lintian missing (scripts/bootstrap installs it)"
lintian --fail-on error,warning --display-level '>=warning' "$deb" >"$tmp/lintian" 2>&1 ||
  fail "lintian: $(cat "$tmp/lintian")"
echo "PASS"
