// The HV levels step: the bench's test voltage is scanned up through the four HV comparators of
// the board until all are on, then down until all are off again; the voltage at which each
// comparator switched in each direction is graded against fixed limits.
#pragma once

#include <string>
#include <vector>

#include "functest/step.h"

namespace functest {

inline constexpr int kHvComparatorCount = 4;
inline constexpr int kHvUp = 0, kHvDown = 1;

// Test-voltage DAC code to volts, 5/4095 V per code, as a float.
float HvCodeToVolts(int code);

// The switching voltage of one comparator in one direction, and whether this run found it.
struct HvSwitchPoint {
  float volts = 0.0f;
  bool found = false;
};
using HvSwitchPoints = HvSwitchPoint[kHvComparatorCount][2];

// One result line of the grading: its text, its verdict and the figure that decided it.
struct HvGrade {
  std::string check;
  bool passed;
  Measurement m;
};

// The twenty grading lines in report order. A switch point not found in this run fails its
// lines; its value is printed as it stands (0.0).
std::vector<HvGrade> GradeHvSwitchPoints(const HvSwitchPoints &points);

// The progress line of a status change at `volts` (DAC `code`) from `previous` to `status`
// (comparator bits only). The error figure is taken against the reference of the one comparator
// that changed; when several changed at once there is no reference and the figure is shown as
// a placeholder.
std::string HvChangeLine(float volts, int code, int status, int previous);

class TestHVLevels final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;
  const HvSwitchPoint &switchPoint(int comparator, int direction) const {
    return HvSwitchVoltage[comparator][direction];
  }

 private:
  // Sets one code and reads a frame: true (change recorded) when the comparators changed.
  bool probe(TestContext &t, int code);

  int DacBinaryCode = 2450;  // first code of the next tick's scan window
  bool Up = true;            // ramping up
  int HvStatusPrevious = 0;  // comparator bits after the last recorded change
  HvSwitchPoints HvSwitchVoltage = {};
};

}  // namespace functest
