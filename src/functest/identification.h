// The board's identification: the barcodes scanned into the data page and the block of the
// report that lists them.
#pragma once

#include <string>

#include "functest/step.h"

namespace functest {

// A barcode field holds at most 31 characters; longer text counts as its first 31.
inline constexpr size_t kBarcodeChars = 31;

// The device number of a device barcode: the integer read with "  %d" from character `from`
// (6 for the first label, 8 for the second); 0 when the label is shorter or holds none there.
int DeviceNumberFromBarcode(const std::string &text, size_t from);

// A barcode field's text as the program reads it (at most 31 characters).
std::string BarcodeText(rt::Runtime &rt, int page, int ctrl);

// Writes the identification block of the report (the five barcodes as scanned); 100.
int CheckIdentifications(TestContext &t);

}  // namespace functest
