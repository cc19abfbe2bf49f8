#include "functest/status_steps.h"

#include <algorithm>

#include "ctl/options_panel.h"
#include "hw/status_bits.h"
#include "rt/format.h"

namespace functest {

namespace O = ctl::Options;

namespace {

// A status line graded against the state it must be in.
void gradeBit(TestContext &t, const std::string &check, bool bit, bool expected) {
  t.result(check, bit == expected, Measurement{bit ? 1.0 : 0.0, "bit", expected, expected});
}

}  // namespace

StepResult TestStatusTempOtr::call(TestContext &t, bool first) {
  if (!first) {
    // Counters left by an earlier run are being put back (acquisition stays off: own reads).
    t.read();
    if (reset_.call(t) == StepResult::Running) return StepResult::Running;
    if (reset_.succeeded()) t.s.DacLeftUpOnCard = -1;
    t.read();
    t.read();
    return grade(t);
  }
  t.acquisition(false);
  t.readOutMode(2);
  t.read();
  t.read();
  t.heading("TEST STATUS TEMP OTR DAC OVERFLOW => Start at %.2f [s] ");
  // A good board leaves the DAC counter test with its counters at 255 and keeps them there while
  // it stays powered, so its retest would read that as a fault. When this program's own DAC
  // watch drove this card's counters up and they stand above the board's 155 mark, they are put
  // back through the board's DAC reset before the lines are read. A board fresh on the bench,
  // and any line that is wrong with the counters low, are graded exactly as they come.
  const acq::AcqState &a = t.acq();
  const int highest = *std::max_element(a.DacVal, a.DacVal + 8);
  if (t.s.DacLeftUpOnCard == a.CardNumber && highest > kDacOver155Level) {
    t.log(
        rt::format("=> DAC counters left up to %d by an earlier run: DAC reset before the "
                   "status lines are read",
                   highest));
    reset_.begin(t);
    return StepResult::Running;
  }
  return grade(t);
}

StepResult TestStatusTempOtr::grade(TestContext &t) {
  const struct {
    int mask;
    const char *check;
  } lines[] = {{st::kTemp1Ok, "TEST STATUS TEMP_1 OK STATE"},
               {st::kTemp2Ok, "TEST STATUS TEMP_2 OK STATE"},
               {st::kOtr1Ok, "TEST STATUS OTR_1 OK STATE"},
               {st::kOtr2Ok, "TEST STATUS OTR_2 OK STATE"},
               {st::kDacOver155Ok, "TEST STATUS DAC_OVER_155 OK STATE"},
               {st::kDacOverflowOk, "TEST STATUS DAC_OVERFLOW OK STATE"}};
  for (const auto &l : lines) gradeBit(t, l.check, t.statusA(l.mask), true);
  return StepResult::Done;
}

StepResult TestStatusPowerSupplies::call(TestContext &t, bool first) {
  static constexpr const char *kReduced =
      "TEST STATUS POWER SUPPLIES WHEN VOLTAGE REDUCED (NO OK STATE) of ";
  auto updateTwice = [&] {
    t.update();
    t.update();
  };
  if (first) {
    t.SetTimer(6.0f);
    t.acquisition(true);
    t.readOutMode(2);
    t.read();
    t.read();
    t.heading("TEST STATUS POWER SUPPLIES => Start at %.2f [s] ");
    gradeBit(t, "TEST STATUS POWER SUPPLIES P5V (OK STATE)", t.statusA(st::kP5vOk), true);
    gradeBit(t, "TEST STATUS POWER SUPPLIES M5V (OK STATE)", t.statusA(st::kM5vOk), true);
    gradeBit(t, "TEST STATUS POWER SUPPLIES P2V5 (OK STATE)", t.statusA(st::kP2v5Ok), true);
    return StepResult::Running;
  }
  // Each supply is reduced, its OK line read while it is, and the next one reduced: P5V from
  // 5.5 to 3.5 s on the clock, M5V to 2.5 s, P2V5 to 1.5 s. The continuous acquisition keeps
  // the status words fresh meanwhile.
  const float clock = t.GetTimer();
  if (clock > 4.5f) {
    t.opt(O::ReduceP5V, 1);
    updateTwice();
  }
  if (clock == 3.5f) {
    gradeBit(t, std::string(kReduced) + "P5V", t.statusA(st::kP5vOk), false);
    t.opt(O::ReduceP5V, 0);
    t.opt(O::ReduceM5V, 1);
    updateTwice();
  }
  if (clock == 2.5f) {
    gradeBit(t, std::string(kReduced) + "M5V", t.statusA(st::kM5vOk), false);
    t.opt(O::ReduceM5V, 0);
    t.opt(O::ReduceP2V5, 1);
    updateTwice();
  }
  if (clock == 1.5f) {
    gradeBit(t, std::string(kReduced) + "P2V5", t.statusA(st::kP2v5Ok), false);
    t.opt(O::ReduceP2V5, 0);
    updateTwice();
    return StepResult::Done;
  }
  return StepResult::Running;
}

StepResult TestIntegratorLevelStatus::call(TestContext &t, bool first) {
  t.read();
  if (first) {
    t.SetTimer(5.0f);
    t.readOutMode(2);
    t.acquisition(false);
    // +1 uA on every channel (linked sources, 4/7, inputs on the sources): all in range.
    t.opt(O::SourceSelA[0], 4);
    t.opt(O::SourceSelB[0], 7);
    t.opt(O::LinkSources, 1);
    t.opt(O::SourceOn[0], 0);
    t.update();
    t.heading("TEST STATUS INTEGRATOR LEVEL => Start at %.2f [s] ");
    return StepResult::Running;
  }
  const float clock = t.GetTimer();
  if (clock == 3.0f) {
    t.s.TestPassed = 1;
    for (int c = 0; c < 8; ++c) {
      const bool ok = t.statusB(st::levelOk(c));
      gradeBit(t, rt::format("STATUS INTEGRATOR LEVEL CHANNEL %d: OK STATE ", c + 1), ok, true);
      if (!ok) t.s.TestPassed = 0;
    }
    if (t.s.TestPassed == 0) return StepResult::DoneWithFailure;
    // -10 uA on every channel (5/3): every integrator driven out of range.
    t.opt(O::SourceSelA[0], 5);
    t.opt(O::SourceSelB[0], 3);
    t.opt(O::LinkSources, 1);
    t.update();
  }
  if (clock == 0.0f) {
    t.s.TestPassed = 1;
    for (int c = 0; c < 8; ++c) {
      const bool ok = t.statusB(st::levelOk(c));
      gradeBit(t, rt::format("STATUS INTEGRATOR LEVEL CHANNEL %d: NO OK STATE ", c + 1), ok, false);
      if (ok) t.s.TestPassed = 0;
    }
    return t.s.TestPassed ? StepResult::Done : StepResult::DoneWithFailure;
  }
  return StepResult::Running;
}

StepResult TestCFCErrorStatus::call(TestContext &t, bool first) {
  t.read();
  auto gradeAll = [&](const char *format, bool expected) {
    t.s.TestPassed = 1;
    for (int c = 0; c < 8; ++c) {
      const bool normal = t.statusB(st::cfcNormal(c));
      gradeBit(t, rt::format(format, c + 1), normal, expected);
      if (normal != expected) t.s.TestPassed = 0;
    }
  };
  static constexpr const char *kNormal =
      "STATUS CFC ERROR (100 SEC ERROR) CHANNEL %d : NORMAL STATE";
  static constexpr const char *kError = "STATUS CFC ERROR (100 SEC ERROR) CHANNEL %d : ERROR STATE";
  auto linkedCurrent = [&](int selA, int selB) {
    t.opt(O::SourceOn[0], 0);
    t.opt(O::SourceSelA[0], selA);
    t.opt(O::SourceSelB[0], selB);
    t.opt(O::LinkSources, 1);
    t.update();
  };
  if (first) {
    normalWritten_ = false;
    countsStopped_ = false;
    t.readOutMode(2);
    t.acquisition(false);
    // +1 uA on every channel for one tick: each channel counts now, whatever the bench did
    // before (a board left idle with its sources open has had no count for minutes, and its
    // error lines are already up), so the error lines start from their normal state.
    linkedCurrent(4, 7);
    t.heading("TEST STATUS CFC ERROR => Start at %.2f [s] ");
    t.SetTimer(110.0f);
    return StepResult::Running;
  }
  if (!countsStopped_) {
    // -10 uA on every channel with the sources off: the counts stop.
    linkedCurrent(5, 3);
    countsStopped_ = true;
  }
  const float clock = t.GetTimer();
  if (clock == 100.0f) {
    gradeAll(kNormal, true);
    normalWritten_ = true;
  }
  if (clock > 0.0f && (t.acq().Statusb & st::kAllCfcNormal) != 0) return StepResult::Running;
  // Error lines that all fired before the 10 s mark still get their NORMAL STATE lines, graded
  // as they stand now: an error that fires early, or one that is stuck, cannot pass.
  if (!normalWritten_) gradeAll(kNormal, true);
  gradeAll(kError, false);
  t.opt(O::SourceOn[0], 1);
  t.opt(O::SourceSelA[0], 0);
  t.opt(O::SourceSelB[0], 7);
  t.opt(O::LinkSources, 0);
  t.update();
  return StepResult::Done;
}

}  // namespace functest
