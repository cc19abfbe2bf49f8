// The test-mode checks: the bench holds a test voltage with the inputs open until the board
// enters its CFC test mode or its OTR reset mode; the 20-second running sums before and in the
// mode are compared, and the mode bit must be held after the voltage falls and released only
// once every integrator is back in range.
#pragma once

#include "functest/step.h"

namespace functest {

// How long the release of a mode is waited for once the positive current is on. At +1 uA an
// integrator on its negative rail is back in range within a millisecond and the board releases
// the mode at once; the status reaches the program with the next 1 s acquisition. 30 s is many
// acquisitions of margin, and short beside the minutes the step takes anyway.
inline constexpr float kReleaseWaitSeconds = 30.0f;

// What tells the two checks apart.
struct ModeDefinition {
  const char *heading;
  int modeBit;
  int testVoltage;  // DAC code held to ask for the mode
  const char *entered, *notEntered;
  float entryClock;    // test clock set once the mode is seen
  float compareClock;  // clock value at which the sums in the mode are taken
  const char *diff, *hold, *release, *early;
};

extern const ModeDefinition kCfcTestMode;
extern const ModeDefinition kOtrResetMode;

class ModeCheck : public Step {
 public:
  explicit ModeCheck(const ModeDefinition &mode) : m_(mode) {}
  StepResult call(TestContext &t, bool first) override;

  // The 20-second sums memorised before and in the mode, per channel.
  float RsumWithout[8] = {};
  float RsumWith[8] = {};

 private:
  // The 20-second running sum of a channel, in the entry before the newest.
  static float rsum20(TestContext &t, int channel);
  void watchEntry(TestContext &t);

  const ModeDefinition &m_;
  int ModeCheckPhase = 100;
};

class Check_Test_CFC final : public ModeCheck {
 public:
  Check_Test_CFC() : ModeCheck(kCfcTestMode) {}
};

class Check_OTR_Reset final : public ModeCheck {
 public:
  Check_OTR_Reset() : ModeCheck(kOtrResetMode) {}
};

}  // namespace functest
