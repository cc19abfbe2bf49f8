// The board's identification: the barcodes scanned into the data page and the block of the
// report that lists them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "functest/step.h"

namespace functest {

// A barcode field holds at most 31 characters; longer text counts as its first 31.
inline constexpr size_t kBarcodeChars = 31;

// The device number of a device barcode: the integer read with "  %d" from character `from`
// (6 for the first label, 8 for the second); 0 when the label is shorter or holds none there.
int DeviceNumberFromBarcode(const std::string &text, size_t from);

// A barcode field's text as the program reads it (at most 31 characters).
std::string BarcodeText(rt::Runtime &rt, int page, int ctrl);

// An identification that refuses a start: the program's message for it, what was expected and
// what was read, so that the operator sees at once which label to scan again.
struct IdProblem {
  int field = 0;         // the data-page field at fault (0: not a barcode field)
  std::string title;     // the start's message ("Board number not correct" ...)
  std::string expected;  // "20 characters"
  std::string read;      // "21 characters"
  // "Board number not correct: expected 20 characters, read 21 characters"
  std::string line() const;
};

// The start's check of one barcode field (the two device labels against `cardNumber`, the
// board and OTR labels by their length); nothing when it holds or `field` is no barcode field.
std::optional<IdProblem> CheckBarcodeField(rt::Runtime &rt, int page, int field, int cardNumber);

// The field that follows `field` in the order the labels are scanned (the PCB version after
// the last label); 0 after it.
int NextIdentificationField(int field);

// Every problem of the bench start's identification checks, in the order the start makes
// them: the device labels (one problem, named by the first label's number as the start's
// message has it), the board label, the two OTR labels, the PCB version.
std::vector<IdProblem> BenchIdentificationProblems(rt::Runtime &rt, int page, int cardNumber);

// Writes the identification block of the report (the five barcodes as scanned); 100.
int CheckIdentifications(TestContext &t);

}  // namespace functest
