// The linearity test: each data line of the linearity file applied in turn to the bench
// sources, and after the line's settling time one SUMS block read; the selected normalised
// running sum of every channel must lie strictly between the line's two limits. Above 100 uA a
// line is measured in two loops, channels 1..4 first with 5..8 parked, then the reverse. The
// response of the eight channels is plotted against the current and the table of every measured
// line is appended to the report.
#pragma once

#include <fstream>
#include <istream>
#include <string>

#include "functest/step.h"
#include "hw/fpga_config.h"

namespace functest {

// Lines the test measures at most: the size of its table.
inline constexpr int kLinearityLines = hw::kCurrentSetupCapacity;

// The measured lines: per channel and line, [0] the current (A) and [1] the normalised sum.
using LinearityValues = float[8][2][kLinearityLines];

// Reads lines from `in` until one is a data line the test can measure: the fifteen values of a
// current setup with a running-sum number 1..12. False at the end of the input.
bool NextLinearityLine(std::istream &in, hw::CurrentSetup &line);

// The result table the test appends to the report: its title and column lines, then for each
// of the first `lines` measured lines the current and the eight sums ("%e"), between dashes.
std::string LinearityTable(const LinearityValues &values, int lines);

class LinearityTest final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;

  LinearityValues ValForLin = {};
  int MesIndex = 0;                              // lines measured so far
  int LoopNumber = 1;                            // loops of the current line: 2 above 100 uA
  int j = 0;                                     // loops of the current line already applied
  int DetectStartIndex = 0, DetectEndIndex = 8;  // channels tested in the current loop
  double OldTime = 0;                            // when the current loop was applied
  hw::CurrentSetup Line;                         // the line being measured
  int HandlePlot[8] = {};

 private:
  void start(TestContext &t);
  bool nextLine(TestContext &t);
  void apply(TestContext &t);
  StepResult measure(TestContext &t);
  void show(TestContext &t);
  StepResult end(TestContext &t);

  std::ifstream file_;  // the linearity file, open from the start to the end of the step
  int readFailures_ = 0;
};

}  // namespace functest
