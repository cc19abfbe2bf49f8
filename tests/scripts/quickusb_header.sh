#!/usr/bin/env bash
# The header check passes on the vendor's declarations the fake library is compiled from and on
# the vendor-style header whose types are macros; on copies with one type changed it fails and
# names the entry point that differs (and only that one).
set -u
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
check="$src/scripts/check-quickusb-header"
plain="$src/tests/fake_quickusb/vendor_quickusb.h"
macros="$src/tests/quickusb_vendor_style.h"
for h in "$plain" "$macros"; do
  "$check" "$h" >/dev/null 2>&1 || { echo "FAIL: $h refused"; "$check" "$h"; exit 1; }
done
# name of the copy | file | sed expression | entry point it must name
cases=(
  "narrow|$plain|s/unsigned long \*length/unsigned int *length/|QuickUsbReadData"
  "intresult|$plain|s/^long QuickUsbOpen/int QuickUsbOpen/|QuickUsbOpen"
  "macro_handle|$macros|s/QuickUsbClose(QHANDLE/QuickUsbClose(int/|QuickUsbClose"
  "macro_length|$macros|s/QuickUsbFindModules(char \*nameList, QULONG/QuickUsbFindModules(char *nameList, QWORD/|QuickUsbFindModules"
  "macro_result|$macros|s/^#define QRESULT long/#define QRESULT int/|QuickUsbReadSpi"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name file expr entry <<<"$c"
  sed "$expr" "$file" >"$tmp/$name.h"
  cmp -s "$file" "$tmp/$name.h" && { echo "FAIL: $name copy unchanged"; exit 1; }
  if "$check" "$tmp/$name.h" >"$tmp/out" 2>&1; then
    echo "FAIL: $name declarations accepted"
    exit 1
  fi
  last=$(tail -1 "$tmp/out")
  echo "$last" | grep -q "^MISMATCH: .* in: .*\b$entry\b" || { echo "FAIL: $name: [$last]"; exit 1; }
  # One changed type names one entry point, except the result type that every one shares.
  [ "$name" = macro_result ] || echo "$last" | grep -q "in: $entry$" ||
    { echo "FAIL: $name names more than $entry: [$last]"; exit 1; }
done
echo PASS
