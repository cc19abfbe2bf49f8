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

// The board flags a counter above this value (DAC_OVER_155 OK drops).
inline constexpr int kDacOver155Level = 155;

// The board's DAC reset mode as the DAC counter step drives it: entered through the test
// voltage with every channel driven out of range, released, then a positive current brings every
// integrator back so the board lets the reset go.
void EnterDacResetMode(TestContext &t);
void ReleaseDacResetVoltage(TestContext &t);
void PositiveCurrentOnAll(TestContext &t);

// Puts the DAC counters back to 0 through that reset, with no result line of its own, and leaves
// the bench as it found it. A good board comes out of the DAC counter step with its counters at
// 255 and keeps them there while it stays powered; the next run's status lines would read that
// as a fault of the board.
class DacCounterReset {
 public:
  // Starts the reset (the test clock shows its budget).
  void begin(TestContext &t);
  // One tick: Running until the counters are back at 0 or the board did not do it (said in the
  // report); the bench is then as begin() found it.
  StepResult call(TestContext &t);
  // The board went through the reset and let it go again.
  bool succeeded() const { return succeeded_; }

 private:
  void restore(TestContext &t);
  bool succeeded_ = false;
  enum class Phase { Entering, Released, Releasing, Done } phase_ = Phase::Done;
  double saved_[5] = {};
};

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
