#include "functest/mode_steps.h"

#include "ctl/options_panel.h"
#include "hw/status_bits.h"
#include "rt/format.h"

namespace functest {

namespace O = ctl::Options;

const ModeDefinition kCfcTestMode = {
    "TEST MODES : CHECK CFC TEST => Start at %.2f [s] ",
    st::kCfcTestMode,
    3000,
    "TEST CFC : Entered in Test_Cfc after %.2f[s]",
    "TEST CFC : Failed to enter in Test_Cfc",
    50.0f,
    20.0f,
    "TEST CFC : Rsum diff with Test on CH%d : %.2f",
    "STATUS_TEST_CFC_ON : STILL ON AFTER FALLING OF TEST_CFC ",
    "STATUS_TEST_CFC_ON : CORRECT RELEASE  ",
    "STATUS_TEST_CFC_ON : RELEASED TOO EARLY ",
};

const ModeDefinition kOtrResetMode = {
    "TEST MODES : CHECK OTR RESET => Start at %.2f [s] ",
    st::kOtrResetReceived,
    4000,
    "OTR RESET RECEIVED entered after %.2f[s]",
    "OTR RESET RECEIVED  : Failed to enter in ",
    35.0f,
    10.0f,
    "OTR RESET : Rsum diff with Test on CH%d : %.2f",
    "STATUS_RST_OTR_RECEIVED STILL ON AFTER FALLING OF OTR_RESET ",
    "STATUS_OTR_RESET_RECEIVED : CORRECT RELEASE  ",
    "STATUS_OTR_RESET_RECEIVED : RELEASED TOO EARLY ",
};

namespace {

// The test voltage at rest between the checks: below every mode's comparator.
constexpr int kRestVoltage = 2700;
// The budget for the mode's entry, and the clock value at which the sums before the mode are
// memorised (80 s after the opening).
constexpr float kEntryBudget = 130.0f;
constexpr float kWithoutClock = 50.0f;
constexpr float kWatchFrom = 45.0f;
constexpr float kAfterFall = 5.0f;

Measurement bitMeasure(bool bit, bool expected) {
  return Measurement{bit ? 1.0 : 0.0, "bit", expected ? 1.0 : 0.0, expected ? 1.0 : 0.0};
}

}  // namespace

float ModeCheck::rsum20(TestContext &t, int channel) {
  return t.acq().SumsMaximums[channel][10][18];
}

void ModeCheck::watchEntry(TestContext &t) {
  const float clock = t.GetTimer();
  if (t.statusA(m_.modeBit)) {
    const double after = kEntryBudget - clock;
    t.result(rt::format(m_.entered, after), true, Measurement{after, "s", 0.0, kEntryBudget});
    t.SetTimer(m_.entryClock);
    ModeCheckPhase = 2;
  } else if (clock <= 0.0f) {
    t.result(m_.notEntered, false, Measurement{kEntryBudget, "s", 0.0, kEntryBudget});
    ModeCheckPhase = 2;
  }
}

StepResult ModeCheck::call(TestContext &t, bool first) {
  if (first) {
    t.opt(O::TestCfcVoltage, kRestVoltage);
    t.update();
    t.readOutMode(2);
    t.acqInterval(1.0);
    t.acquisition(true);
    t.heading(m_.heading);
    // Sums of an earlier run are never compared in this one.
    for (int c = 0; c < 8; ++c) RsumWithout[c] = RsumWith[c] = 0.0f;
    ModeCheckPhase = 100;
  }
  const float clock = t.GetTimer();
  const bool mode = t.statusA(m_.modeBit);
  switch (ModeCheckPhase) {
    case 100:
      t.log("=> Set the current sources to external input current (OPEN)");
      t.opt(O::TestCfcVoltage, m_.testVoltage);
      t.opt(O::LinkSources, 1);
      t.opt(O::SourceOn[0], 1);
      t.update();
      t.SetTimer(kEntryBudget);
      ModeCheckPhase = 0;
      break;
    case 0:
      if (clock == kWithoutClock) {
        t.log("=> Memorize RSUM(20s) without 100pA");
        for (int c = 0; c < 8; ++c) {
          RsumWithout[c] = rsum20(t, c);
          t.log(rt::format("=> RSUM(w=20s) CH%d base current : %.2f ", c + 1,
                           static_cast<double>(RsumWithout[c])));
        }
      }
      if (clock < kWatchFrom) ModeCheckPhase = 1;
      // The mode is watched from the opening on, before the sums are taken as well.
      watchEntry(t);
      break;
    case 1:
      watchEntry(t);
      break;
    case 2:
      if (clock == m_.compareClock) {
        t.log("=> Compare RSUM 20s with and without 100pA");
        for (int c = 0; c < 8; ++c) {
          RsumWith[c] = rsum20(t, c);
          const double diff = static_cast<double>(RsumWith[c] - RsumWithout[c]);
          // Recorded, not graded.
          t.result(rt::format(m_.diff, c + 1, diff), true, Measurement{diff, "counts", {}, {}});
        }
        t.opt(O::SourceSelA[0], 5);
        t.opt(O::SourceSelB[0], 3);
        t.opt(O::SourceOn[0], 0);
        t.update();
      }
      if (clock <= 0.0f) {
        ModeCheckPhase = 3;
        t.SetTimer(kAfterFall);
        t.opt(O::TestCfcVoltage, kRestVoltage);
        t.update();
      }
      break;
    case 3:
      if (clock <= 0.0f) ModeCheckPhase = 4;
      break;
    case 4:
      t.result(m_.hold, mode, bitMeasure(mode, true));
      ModeCheckPhase = 6;
      break;
    case 6:
      t.log("=> Set the current sources to positive current");
      t.opt(O::SourceSelA[0], 4);
      t.opt(O::SourceSelB[0], 7);
      t.update();
      t.SetTimer(kReleaseWaitSeconds);
      ModeCheckPhase = 7;
      break;
    case 7:
      if ((t.acq().Statusb & st::kAllLevelsOk) == st::kAllLevelsOk) {
        t.result(m_.release, !mode, bitMeasure(mode, false));
        ModeCheckPhase = 8;
      } else if (!mode) {
        t.result(m_.early, false);
        ModeCheckPhase = 8;
      } else if (clock <= 0.0f) {
        // Neither the integrators nor the release came: the mode is still held.
        t.result(m_.release, false, bitMeasure(mode, false));
        ModeCheckPhase = 8;
      }
      break;
    case 8:
      // The control only: the FPGA receives it with the next configuration write.
      t.opt(O::TestCfcVoltage, 0);
      return StepResult::Done;
    default:
      break;
  }
  return StepResult::Running;
}

}  // namespace functest
