// The DAC counter step: the board is put into its DAC reset mode through the test voltage, the
// reset, its hold and its release are checked, then a negative current drives every integrator
// out of range and the slow DAC counters are watched climbing one by one from 0 to 255, with
// the DAC_OVER_155 and DAC_OVERFLOW status bits following them.
#pragma once

#include <cstdint>

#include "functest/step.h"

namespace functest {

// The board's slow DAC clock ticks every 20.97152 s; a watch in which no counter advances for
// three of its periods has stalled.
inline constexpr double kDacStepSeconds = 20.97152;
inline constexpr double kDacStallSeconds = 3 * kDacStepSeconds;

class TestSlowDAC final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;

 private:
  StepResult resetPhase(TestContext &t);
  StepResult watch(TestContext &t);
  // A wait that ran out: its check failed, the bench left at rest, the step ended.
  StepResult giveUp(TestContext &t, const char *check);
  void benchToWatchRest(TestContext &t);

  int SlowDacState = 100;
  bool DacWatching = false;
  uint8_t PrevDacVal[8] = {};
  double DacWatchStart = 0;  // Timer() at the step's start
  double lastAdvance_ = 0;   // Timer() of the watch's start or of its last advance
};

}  // namespace functest
