// Fuzz target: the settings-file reader over arbitrary text, and the writer and reader together.
//
// 1. The input as a settings file: the reader must stop within its 201 passes and report the
//    end marker only when the file holds it.
// 2. The input as the controls' values: the file the writer makes of them reads back to the
//    same values, and the same file cut short at any byte (a write that did not finish) gives
//    no value from a line it does not hold whole, apart from the one line it was cut in: the
//    sections past the cut leave their controls as they were.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "app/settings.h"

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "fuzz_settings: %s\n", what);
  std::abort();
}

void check(bool ok, const char *what) {
  if (!ok) fail(what);
}

app::SettingsFound parse(const std::string &text) {
  std::istringstream in(text);
  return app::ParseSettings(in);
}

// Reads the controls' values from the front of the input.
struct Reader {
  const uint8_t *p;
  size_t n;
  int next() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      v <<= 8;
      if (n) v |= *p++, --n;
    }
    // Mostly small values, sometimes any 32-bit value.
    return (v & 0x80000000u) ? static_cast<int>(v << 1) : static_cast<int>(v & 0xFFFF) - 0x100;
  }
};

// Lines (from 0) of each value in the writer's layout.
constexpr int kLineReadOutMode = 1, kLineFiber = 3, kLineSingle = 5, kLineMultiple = 7,
              kLineName = 9, kLineDivider = 11, kLineMultiplication = 13, kLineOffset = 15,
              kLineVoltage = 17, kLineLink = 19, kLineFirstChannel = 20;

// Lines whose text is a header of the file or its end marker: a linearity-file name spelled so
// is read as that header, so the round trip is only asked of other names.
bool isHeaderText(std::string_view s) {
  for (std::string_view h :
       {"[DataType]", "[SelFiber]", "[SingleValue]", "[FileSaveMultipleRun]", "[CalibrationFile]",
        "[ModulationDivider]", "[ModulationMultiplication]", "[ModulationOffset]",
        "[VoltageTestCFC]", "[CurrentSet]", "[end file]"})
    if (s == h) return true;
  return false;
}

// A value read from a file cut after `wholeLines` whole lines: equal to the written one when its
// line is whole, absent when its line is missing, anything when the cut falls in it.
template <class T>
void checkCut(const std::optional<T> &found, const T &written, int line, int wholeLines,
              const char *what) {
  if (line < wholeLines) {
    if (!found || *found != written) fail(what);
  } else if (line > wholeLines) {
    if (found) fail(what);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);

  // 1. Arbitrary text.
  const app::SettingsFound any = parse(text);
  check(any.passes >= 1 && any.passes <= app::kSettingsReadPasses, "passes");
  if (any.endMarker)
    check(text.find(app::kSettingsEndMarker) != std::string::npos, "end marker not in the file");

  // 2. The writer's file of values taken from the input.
  Reader r{data, size};
  app::UiSettings s;
  s.ReadOutMode = r.next();
  s.FiberSelect = r.next();
  s.SingleValueSelect = r.next();
  s.MultipleRunSave = r.next();
  s.ModulationDivider = r.next() & 0xFFFF;
  s.ModulationMultiplication = r.next() & 0xFFFF;
  s.ModulationOffset = r.next() & 0xFFFF;
  s.TestCfcVoltage = r.next() & 0xFFFF;
  s.LinkSources = r.next();
  for (app::SourceSettings &ch : s.Sources) {
    ch.SourceValue = r.next() & 0xFFFF;
    ch.SourceSelA = r.next();
    ch.SourceSelB = r.next();
    ch.SourceOn = r.next();
  }
  const size_t cut = r.n ? r.next() & 0x7FFFFFFF : 0;
  s.LinearityFile.assign(reinterpret_cast<const char *>(r.p), r.n);
  const std::string file = app::FormatSettings(s);
  const std::string name = s.LinearityFile.substr(0, s.LinearityFile.find_first_of("\r\n"));
  if (isHeaderText(name)) return 0;

  const app::SettingsFound back = parse(file);
  check(back.ReadOutMode == s.ReadOutMode && back.FiberSelect == s.FiberSelect &&
            back.SingleValueSelect == s.SingleValueSelect &&
            back.MultipleRunSave == s.MultipleRunSave && back.LinearityFile == name &&
            back.ModulationDivider == s.ModulationDivider &&
            back.ModulationMultiplication == s.ModulationMultiplication &&
            back.ModulationOffset == s.ModulationOffset &&
            back.TestCfcVoltage == s.TestCfcVoltage && back.LinkSources == s.LinkSources,
        "round trip of a single value");
  for (size_t ch = 0; ch < s.Sources.size(); ++ch) {
    const app::SourceSettings &w = s.Sources[ch];
    check(back.Sources[ch][0] == w.SourceValue && back.Sources[ch][1] == w.SourceSelA &&
              back.Sources[ch][2] == w.SourceSelB && back.Sources[ch][3] == w.SourceOn,
          "round trip of a channel");
  }

  // The same file cut short.
  const std::string part = file.substr(0, cut % (file.size() + 1));
  int whole = 0;
  for (char c : part) whole += c == '\n';
  const app::SettingsFound f = parse(part);
  checkCut(f.ReadOutMode, s.ReadOutMode, kLineReadOutMode, whole, "cut: read-out mode");
  checkCut(f.FiberSelect, s.FiberSelect, kLineFiber, whole, "cut: fibre");
  checkCut(f.SingleValueSelect, s.SingleValueSelect, kLineSingle, whole, "cut: single value");
  checkCut(f.MultipleRunSave, s.MultipleRunSave, kLineMultiple, whole, "cut: multiple run");
  checkCut(f.LinearityFile, name, kLineName, whole, "cut: linearity file");
  checkCut(f.ModulationDivider, s.ModulationDivider, kLineDivider, whole, "cut: divider");
  checkCut(f.ModulationMultiplication, s.ModulationMultiplication, kLineMultiplication, whole,
           "cut: multiplication");
  checkCut(f.ModulationOffset, s.ModulationOffset, kLineOffset, whole, "cut: offset");
  checkCut(f.TestCfcVoltage, s.TestCfcVoltage, kLineVoltage, whole, "cut: test voltage");
  checkCut(f.LinkSources, s.LinkSources, kLineLink, whole, "cut: link");
  for (size_t ch = 0; ch < s.Sources.size(); ++ch) {
    const app::SourceSettings &w = s.Sources[ch];
    const int line = kLineFirstChannel + static_cast<int>(ch);
    checkCut(f.Sources[ch][0], w.SourceValue, line, whole, "cut: source value");
    checkCut(f.Sources[ch][1], w.SourceSelA, line, whole, "cut: selector A");
    checkCut(f.Sources[ch][2], w.SourceSelB, line, whole, "cut: selector B");
    checkCut(f.Sources[ch][3], w.SourceOn, line, whole, "cut: source switch");
  }
  return 0;
}
