#!/usr/bin/env bash
# The header check passes on the vendor's declarations the fake library is compiled from and
# fails on a copy whose bulk-read length is 32 bits wide or whose results are int.
set -u
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
vendor="$src/tests/fake_quickusb/vendor_quickusb.h"
check="$src/scripts/check-quickusb-header"
"$check" "$vendor" >/dev/null || { echo "FAIL: vendor declarations refused"; exit 1; }
sed 's/unsigned long \*length/unsigned int *length/' "$vendor" >"$tmp/narrow.h"
sed 's/^long QuickUsbOpen/int QuickUsbOpen/' "$vendor" >"$tmp/intresult.h"
for h in narrow intresult; do
  cmp -s "$vendor" "$tmp/$h.h" && { echo "FAIL: $h copy unchanged"; exit 1; }
  if "$check" "$tmp/$h.h" >"$tmp/out" 2>&1; then
    echo "FAIL: $h declarations accepted"
    exit 1
  fi
done
grep -q "QuickUsbOpen is declared otherwise" "$tmp/out" || { cat "$tmp/out"; exit 1; }
echo PASS
