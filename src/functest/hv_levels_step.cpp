#include "functest/hv_levels_step.h"

#include <algorithm>

#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "hw/status_bits.h"
#include "rt/format.h"

namespace functest {

namespace O = ctl::Options;

namespace {

// The comparators in report order, with the voltage each is meant to switch at.
constexpr int kComparatorBit[kHvComparatorCount] = {st::kHvPresent, st::kHvTestCfc, st::kHvDacReset,
                                                    st::kHvOtrReset};
constexpr float kReference[kHvComparatorCount] = {3.003f, 3.464f, 3.882f, 4.205f};

// The scan: it starts a little below the lowest comparator, turns at the top and ends at the
// bottom of the range; one tick sets at most ten codes.
constexpr int kStartCode = 2450;
constexpr int kTopCode = 4000;
constexpr int kBottomCode = 2000;
constexpr int kCodesPerTick = 10;
constexpr int kJumpAfterChange = 250;

// One grading line: the comparator and direction it grades, its format, the limit and whether
// the voltage must lie at or below it (rising switch points) or at or above it (falling ones).
struct GradeLine {
  int comparator, direction;
  const char *format;
  double limit;
  enum { Below, AtMost, AtLeast } rule;
};

constexpr GradeLine kGrades[] = {
    {0, kHvUp, "Status HVPresentUp      @ %f Limit: %f", 3.084, GradeLine::Below},
    {0, kHvDown, "Status HVPresentDown   @ %f Limit: %f", 3.084, GradeLine::Below},
    {1, kHvUp, "Status HVTestCFCUp      @ %f Limit (<5.7%%): %f ", 3.426, GradeLine::AtMost},
    {1, kHvUp, "Status HVTestCFCUp      @ %f Limit (<4.8%%): %f ", 3.459, GradeLine::AtMost},
    {1, kHvUp, "Status HVTestCFCUp      @ %f Limit (<3.8%%): %f ", 3.492, GradeLine::AtMost},
    {1, kHvDown, "Status HVTestCFCDown   @ %f Limit (<5.7%%): %f ", 3.500, GradeLine::AtLeast},
    {1, kHvDown, "Status HVTestCFCDown   @ %f Limit (<4.8%%): %f ", 3.464, GradeLine::AtLeast},
    {1, kHvDown, "Status HVTestCFCDown   @ %f Limit (<3.8%%): %f ", 3.428, GradeLine::AtLeast},
    {2, kHvUp, "Status HVDacResetUp     @ %f Limit (<5.7%%): %f ", 3.778, GradeLine::AtMost},
    {2, kHvUp, "Status HVDacResetUp     @ %f Limit (<4.8%%): %f ", 3.814, GradeLine::AtMost},
    {2, kHvUp, "Status HVDacResetUp     @ %f Limit (<3.8%%): %f ", 3.851, GradeLine::AtMost},
    {2, kHvDown, "Status HVDacResetDown  @ %f Limit (<5.7%%): %f ", 3.862, GradeLine::AtLeast},
    {2, kHvDown, "Status HVDacResetDown  @ %f Limit (<4.8%%): %f ", 3.822, GradeLine::AtLeast},
    {2, kHvDown, "Status HVDacResetDown  @ %f Limit (<3.8%%): %f ", 3.782, GradeLine::AtLeast},
    {3, kHvUp, "Status HVOtrResetUp     @ %f Limit (<5.7%%): %f ", 4.140, GradeLine::AtMost},
    {3, kHvUp, "Status HVOtrResetUp     @ %f Limit (<4.8%%): %f ", 4.180, GradeLine::AtMost},
    {3, kHvUp, "Status HVOtrResetUp     @ %f Limit (<3.8%%): %f ", 4.220, GradeLine::AtMost},
    {3, kHvDown, "Status HVOtrResetDown  @ %f Limit (<5.7%%): %f ", 4.259, GradeLine::AtLeast},
    {3, kHvDown, "Status HVOtrResetDown  @ %f Limit (<4.8%%): %f ", 4.214, GradeLine::AtLeast},
    {3, kHvDown, "Status HVOtrResetDown  @ %f Limit (<3.8%%): %f ", 4.171, GradeLine::AtLeast},
};

}  // namespace

float HvCodeToVolts(int code) { return static_cast<float>(code * 0.001221001221001221); }

std::vector<HvGrade> GradeHvSwitchPoints(const HvSwitchPoints &points) {
  std::vector<HvGrade> out;
  out.reserve(std::size(kGrades));
  for (const GradeLine &g : kGrades) {
    const HvSwitchPoint &p = points[g.comparator][g.direction];
    // The float voltage against the double limit, as the limits are written.
    const double v = p.volts;
    bool inLimit = false;
    Measurement m{v, "V", std::nullopt, std::nullopt};
    switch (g.rule) {
      case GradeLine::Below:
        inLimit = v < g.limit;
        m.high = g.limit;
        break;
      case GradeLine::AtMost:
        inLimit = v <= g.limit;
        m.high = g.limit;
        break;
      case GradeLine::AtLeast:
        inLimit = v >= g.limit;
        m.low = g.limit;
        break;
    }
    out.push_back({rt::format(g.format, v, g.limit), p.found && inLimit, m});
  }
  return out;
}

std::string HvChangeLine(float volts, int code, int status, int previous) {
  const int changed = status ^ previous;
  float reference = 0.0f;
  for (int k = 0; k < kHvComparatorCount; ++k)
    if (changed == kComparatorBit[k]) reference = kReference[k];
  if (reference == 0.0f)
    return rt::format("Status change @  %f  DacVal(%d)  StatusHV(%X) --.--%% error",
                      static_cast<double>(volts), code, status);
  const float error = 100.0f * (volts - reference) / reference;
  return rt::format("Status change @  %f  DacVal(%d)  StatusHV(%X) %.2f%% error",
                    static_cast<double>(volts), code, status, static_cast<double>(error));
}

bool TestHVLevels::probe(TestContext &t, int code) {
  t.opt(O::TestCfcVoltage, code);
  t.update();
  const float volts = HvCodeToVolts(code);
  t.read();
  const int status = t.acq().Statusa & st::kHvComparators;
  if (status == HvStatusPrevious) return false;
  const int changed = status ^ HvStatusPrevious;
  for (int k = 0; k < kHvComparatorCount; ++k)
    if (changed == kComparatorBit[k]) HvSwitchVoltage[k][Up ? kHvUp : kHvDown] = {volts, true};
  t.log(HvChangeLine(volts, code, status, HvStatusPrevious));
  HvStatusPrevious = status;
  return true;
}

StepResult TestHVLevels::call(TestContext &t, bool first) {
  t.read();
  if (first) {
    t.readOutMode(2);
    t.acquisition(false);
    t.opt(O::TestCfcVoltage, 0);
    t.update();
    t.heading("TEST HV LEVELS => Start at %.2f [s] ");
    DacBinaryCode = kStartCode;
    HvStatusPrevious = 0;
    Up = true;
    // Switch points of an earlier run (or an earlier board) are never graded again.
    for (auto &comparator : HvSwitchVoltage)
      for (HvSwitchPoint &p : comparator) p = {};
    t.SetTimer(45.0f);
    return StepResult::Running;
  }
  // A step of 0 or less would never move the scan: the smallest step is taken instead. One
  // larger than the whole range scans no more than one code per window.
  const int step =
      std::clamp(t.rt.GetCtrlValI(t.p.TabBData, ctl::TabBData::HvDacStep), 1, kTopCode);
  const int windowEnd = kCodesPerTick * step;
  if (Up) {
    for (int code = DacBinaryCode; code < DacBinaryCode + windowEnd; code += step) {
      if (HvStatusPrevious == st::kHvComparators || code >= kTopCode) {
        Up = false;
        return StepResult::Running;
      }
      if (probe(t, code)) {
        DacBinaryCode += kJumpAfterChange;
        return StepResult::Running;
      }
    }
    DacBinaryCode += windowEnd;
    return StepResult::Running;
  }
  for (int code = DacBinaryCode; code > DacBinaryCode - windowEnd; code -= step) {
    if (HvStatusPrevious == 0 || code <= kBottomCode) break;
    if (probe(t, code)) {
      DacBinaryCode -= kJumpAfterChange;
      return StepResult::Running;
    }
  }
  DacBinaryCode -= windowEnd;
  // Graded once every comparator is off again, or when the scan has reached the bottom of its
  // range with some still on: their falling switch points are then missing and fail.
  if (HvStatusPrevious != 0 && DacBinaryCode > kBottomCode) return StepResult::Running;
  for (const HvGrade &g : GradeHvSwitchPoints(HvSwitchVoltage)) t.result(g.check, g.passed, g.m);
  return StepResult::Done;
}

}  // namespace functest
