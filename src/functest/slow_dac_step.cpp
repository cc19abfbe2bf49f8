#include "functest/slow_dac_step.h"

#include <algorithm>

#include "ctl/options_panel.h"
#include "functest/mode_steps.h"
#include "hw/status_bits.h"
#include "rt/format.h"

namespace functest {

namespace O = ctl::Options;

namespace {

constexpr int kResetVoltage = 3250;  // DAC code that asks for the DAC reset mode
constexpr int kRestVoltage = 2700;
constexpr float kResetBudget = 130.0f;      // test clock for entering the reset mode
constexpr float kStuckCheckClock = 100.0f;  // 30 s after the set-up, before any reset
constexpr float kWatchClock = 5355.0f;      // shown during the watch only
constexpr int kOver155 = kDacOver155Level + 1;
constexpr int kFull = 255;

constexpr const char *kResetReceived = "TEST DAC COUNTER : RESET DAC COMMAND RECEIVED ";
constexpr const char *kCorrectRelease = "STATUS_RST_DAC_RECEIVED : CORRECT RELEASE  ";
constexpr const char *kOverflow = "STATUS DAC_OVERFLOW ";

Measurement bitMeasure(bool bit, bool expected) {
  return Measurement{bit ? 1.0 : 0.0, "bit", expected ? 1.0 : 0.0, expected ? 1.0 : 0.0};
}

}  // namespace

void EnterDacResetMode(TestContext &t) {
  t.opt(O::TestCfcVoltage, kResetVoltage);
  t.opt(O::SourceSelA[0], 5);
  t.opt(O::SourceSelB[0], 3);
  t.opt(O::LinkSources, 1);
  // The negative current must reach the inputs whatever an earlier step left switched on.
  t.opt(O::SourceOn[0], 0);
  t.update();
}

void ReleaseDacResetVoltage(TestContext &t) {
  t.opt(O::TestCfcVoltage, kRestVoltage);
  t.update();
}

void PositiveCurrentOnAll(TestContext &t) {
  t.opt(O::SourceSelA[0], 4);
  t.opt(O::SourceSelB[0], 7);
  t.opt(O::LinkSources, 1);
  t.opt(O::SourceOn[0], 0);
  t.update();
}

namespace {
// The options-panel controls the reset changes, put back once it is over.
const int kResetControls[5] = {O::TestCfcVoltage, O::SourceSelA[0], O::SourceSelB[0],
                               O::LinkSources, O::SourceOn[0]};
}  // namespace

void DacCounterReset::begin(TestContext &t) {
  for (int k = 0; k < 5; ++k) saved_[k] = t.optVal(kResetControls[k]);
  EnterDacResetMode(t);
  t.SetTimer(kResetBudget);
  phase_ = Phase::Entering;
  succeeded_ = false;
}

void DacCounterReset::restore(TestContext &t) {
  for (int k = 0; k < 5; ++k) t.opt(kResetControls[k], saved_[k]);
  t.update();
  phase_ = Phase::Done;
}

StepResult DacCounterReset::call(TestContext &t) {
  const bool resetReceived = t.statusA(st::kDacResetReceived);
  switch (phase_) {
    case Phase::Entering:
      if (resetReceived) {
        ReleaseDacResetVoltage(t);
        phase_ = Phase::Released;
      } else if (t.GetTimer() <= 0.0f) {
        t.log("=> The board did not enter its DAC reset mode: DAC counters not reset");
        restore(t);
      }
      break;
    case Phase::Released:
      PositiveCurrentOnAll(t);
      t.SetTimer(kReleaseWaitSeconds);
      phase_ = Phase::Releasing;
      break;
    case Phase::Releasing:
      if ((t.acq().Statusb & st::kAllLevelsOk) == st::kAllLevelsOk && !resetReceived) {
        succeeded_ = true;
        restore(t);
      } else if (t.GetTimer() <= 0.0f) {
        t.log("=> The board did not release its DAC reset mode");
        restore(t);
      }
      break;
    case Phase::Done:
      break;
  }
  return phase_ == Phase::Done ? StepResult::Done : StepResult::Running;
}

StepResult TestSlowDAC::call(TestContext &t, bool first) {
  if (first) {
    t.readOutMode(2);
    t.acquisition(true);
    t.heading("TEST DAC COUNTERS and RESET DAC => Start at %.2f [s] ");
    DacWatchStart = t.Timer();
    DacWatching = false;
    SlowDacState = 100;
  }
  return DacWatching ? watch(t) : resetPhase(t);
}

// Test voltage 0 and -10 uA on every channel (linked, 5/3): where the step leaves the bench.
void TestSlowDAC::benchToWatchRest(TestContext &t) {
  t.opt(O::TestCfcVoltage, 0);
  t.opt(O::SourceSelA[0], 5);
  t.opt(O::SourceSelB[0], 3);
  t.opt(O::LinkSources, 1);
  t.update();
}

StepResult TestSlowDAC::giveUp(TestContext &t, const char *check) {
  t.result(check, false);
  benchToWatchRest(t);
  SlowDacState = 100;
  return StepResult::DoneWithFailure;
}

StepResult TestSlowDAC::resetPhase(TestContext &t) {
  const acq::AcqState &a = t.acq();
  const bool resetReceived = t.statusA(st::kDacResetReceived);
  switch (SlowDacState) {
    case 100:
      EnterDacResetMode(t);
      t.SetTimer(kResetBudget);
      t.log("=> Wait for enter in DAC RESET MODE");
      SlowDacState = 0;
      break;
    case 0:
      if (t.GetTimer() <= kStuckCheckClock) SlowDacState = 1;
      break;
    case 1: {
      bool none = true;
      for (int k = 0; k < 8; ++k)
        if (a.DacVal[k] == 0) {
          t.result(rt::format("TEST DAC COUNTER : CH%d STUCK TO 0 ", k), false,
                   Measurement{0.0, "count", 1.0, {}});
          none = false;
        }
      if (none) t.result("TEST DAC COUNTER : NOT STUCK TO 0 ", true);
      SlowDacState = 3;
      break;
    }
    case 3:
      if (resetReceived) {
        t.result(kResetReceived, true, bitMeasure(true, true));
        SlowDacState = 4;
      } else if (t.GetTimer() <= 0.0f) {
        // 130 s without the reset mode, which the board enters after 90 s.
        return giveUp(t, kResetReceived);
      }
      break;
    case 4:
      SlowDacState = 5;
      break;
    case 5:
      t.log("=> Realease DAC_RESET_STATUS");
      ReleaseDacResetVoltage(t);
      SlowDacState = 6;
      break;
    case 6:
      t.result("STATUS_RST_DAC_RECEIVED : STILL ON AFTER FALLING OF STATUS_RST_DAC ", resetReceived,
               bitMeasure(resetReceived, true));
      SlowDacState = 7;
      break;
    case 7:
      t.log("=> Set the current sources to positive current");
      PositiveCurrentOnAll(t);
      t.SetTimer(kReleaseWaitSeconds);
      SlowDacState = 8;
      break;
    case 8:
      if ((a.Statusb & st::kAllLevelsOk) == st::kAllLevelsOk) {
        t.result(kCorrectRelease, !resetReceived, bitMeasure(resetReceived, false));
        SlowDacState = 9;
      } else if (!resetReceived) {
        t.result("STATUS_RST_DAC_RECEIVED : RELEASED TOO EARLY ", false);
        SlowDacState = 9;
      } else if (t.GetTimer() <= 0.0f) {
        return giveUp(t, kCorrectRelease);
      }
      break;
    case 9: {
      bool all = true;
      for (int k = 0; k < 8; ++k)
        if (a.DacVal[k] != 0) {
          t.result(rt::format("TEST DAC COUNTER : CH%d DIDN'T RESET ", k), false,
                   Measurement{static_cast<double>(a.DacVal[k]), "count", 0.0, 0.0});
          all = false;
        }
      if (all) t.result("DAC COUNTER : CORRECT RESET ", true);
      SlowDacState = 10;
      break;
    }
    case 10:
      benchToWatchRest(t);
      t.SetTimer(kWatchClock);
      t.log("=> Start watch the DAC counts (Slow process!)");
      // The watch starts from the counters as they stand now, whatever an earlier run left.
      std::copy(a.DacVal, a.DacVal + 8, PrevDacVal);
      lastAdvance_ = t.Timer();
      DacWatching = true;
      t.s.DacLeftUpOnCard = a.CardNumber;
      break;
    default:
      break;
  }
  return StepResult::Running;
}

StepResult TestSlowDAC::watch(TestContext &t) {
  const acq::AcqState &a = t.acq();
  const uint8_t *dac = a.DacVal;
  bool progressWritten = false;
  for (int k = 0; k < 8; ++k) {
    if (dac[k] == PrevDacVal[k]) continue;
    if (dac[k] == PrevDacVal[k] + 1) {
      lastAdvance_ = t.Timer();
      if (dac[k] == kOver155) {
        const bool ok = t.statusA(st::kDacOver155Ok);
        t.result("STATUS DAC_OVER_155 ", !ok, bitMeasure(ok, false));
      }
      if (!progressWritten && std::all_of(dac, dac + 8, [&](uint8_t d) { return d == dac[k]; })) {
        t.log(rt::format("DAC TEST : %f COUNT %d TO %d", t.Timer(), PrevDacVal[k], dac[k]));
        progressWritten = true;
      }
    } else {
      // A jump, or a fall: the counter did not advance by exactly one.
      t.result(rt::format("DAC TEST : FAILED AT %f Dac_ch%d : %d  %d ", t.Timer() - DacWatchStart,
                          k, PrevDacVal[k], dac[k]),
               false,
               Measurement{static_cast<double>(dac[k]), "count", PrevDacVal[k] + 1.0,
                           PrevDacVal[k] + 1.0});
      return StepResult::DoneWithFailure;
    }
    PrevDacVal[k] = dac[k];
  }
  if (std::all_of(dac, dac + 8, [](uint8_t d) { return d == kFull; })) {
    const bool ok = t.statusA(st::kDacOverflowOk);
    t.result(kOverflow, !ok, bitMeasure(ok, false));
    SlowDacState = 100;
    return StepResult::Done;
  }
  if (t.Timer() - lastAdvance_ > kDacStallSeconds) {
    // No counter moved for three slow-clock periods: those below 255 never will.
    const uint8_t lowest = *std::min_element(dac, dac + 8);
    t.result(kOverflow, false, Measurement{static_cast<double>(lowest), "count", kFull, kFull});
    SlowDacState = 100;
    return StepResult::DoneWithFailure;
  }
  return StepResult::Running;
}

}  // namespace functest
