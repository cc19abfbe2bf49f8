// The HV levels step, the two test-mode checks and the DAC counter step.
//
// First through a scripted bench: the board's answers (comparators as a function of the test
// voltage sent, mode and status bits, DAC counters, running sums) are set by each test, and the
// step is called on 0.5 s ticks with the test clock lowered before each call, as the sequencer
// does. Then through the program's own functional test on the simulated bench, in virtual time:
// the good board passes every line and each defect board fails exactly its lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "functest/hv_levels_step.h"
#include "functest/mode_steps.h"
#include "functest/report.h"
#include "functest/slow_dac_step.h"
#include "hw/status_bits.h"
#include "support/fake_bench.h"
#include "support/functest_rig.h"
#include "support/test_env.h"

namespace {

namespace O = ctl::Options;
namespace B = ctl::TabBData;
using functest::StepResult;

// ------------------------------------------------------------------ the scripted bench

// A bench whose board answers as the test says. The configuration sent last is kept: the test
// voltage code, channel 1's selectors and the link.
class ScriptedBench final : public testenv::FakeBench {
 public:
  ScriptedBench(rt::Runtime &rt, const ctl::Panels &p) : rt_(rt), p_(p) {}
  int UpdateFPGAConfigFromOptionPanel() override {
    voltage = rt_.GetCtrlValI(p_.OptionsPanel, O::TestCfcVoltage);
    selA = rt_.GetCtrlValI(p_.OptionsPanel, O::SourceSelA[0]);
    selB = rt_.GetCtrlValI(p_.OptionsPanel, O::SourceSelB[0]);
    sentCodes.push_back(voltage);
    return FakeBench::UpdateFPGAConfigFromOptionPanel();
  }

  void setA(int mask, bool on) { st.Statusa = on ? (st.Statusa | mask) : (st.Statusa & ~mask); }

  int voltage = 0, selA = 0, selB = 0;
  std::vector<int> sentCodes;

 private:
  rt::Runtime &rt_;
  const ctl::Panels &p_;
};

// A started program for its panels, a report of its own and the scripted bench under a step.
class ScriptedStep : public ::testing::Test {
 protected:
  void SetUp() override {
    rig = std::make_unique<testenv::FunctionalRig>("good", 0.0);
    bench = std::make_unique<ScriptedBench>(rig->rt(), rig->p);
    report = std::make_unique<functest::Report>(rig->rt(), rig->p);
    std::string reason;
    ASSERT_TRUE(report->Begin(rig->dir.file("steps.txt"), reason)) << reason;
    ctx = std::make_unique<functest::TestContext>(rig->rt(), rig->p, *bench, *report, state);
  }

  // Calls the step on 0.5 s ticks until it ends or `maxTicks` have passed; `each` runs before
  // every call. The number of calls is kept in `ticks`.
  StepResult play(functest::Step &step, int maxTicks, const std::function<void()> &each = {}) {
    ticks = 0;
    for (bool first = true; ticks < maxTicks; first = false) {
      ctx->SetTimer(ctx->GetTimer() - 0.5f);
      bench->now += 0.5;
      if (each) each();
      ++ticks;
      const StepResult r = step.call(*ctx, first);
      if (r != StepResult::Running) return r;
    }
    return StepResult::Running;
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::string text = testenv::readFile(report->ReportFileName);
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find('\n', at);
      out.push_back(text.substr(at, end - at));
      at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
  }
  std::vector<std::string> starting(const std::string &prefix) const {
    std::vector<std::string> out;
    for (const std::string &l : lines())
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
  std::multiset<std::string> failed() const {
    std::multiset<std::string> out;
    for (const std::string &l : starting("***FAILED : ")) out.insert(l.substr(12));
    return out;
  }
  void clearReport() { testenv::writeFile(report->ReportFileName, ""); }

  std::unique_ptr<testenv::FunctionalRig> rig;
  std::unique_ptr<ScriptedBench> bench;
  std::unique_ptr<functest::Report> report;
  functest::TestState state;
  std::unique_ptr<functest::TestContext> ctx;
  int ticks = 0;
};

// ------------------------------------------------------------------------- HV levels

// Comparators with a rising and a falling switch code each, in report order: on once the code
// rises to `up` or above, off once it falls below `down`.
struct Comparators {
  int up[4], down[4];
  int status = 0, last = 0;
  int answer(int code) {
    static const int bits[4] = {st::kHvPresent, st::kHvTestCfc, st::kHvDacReset, st::kHvOtrReset};
    for (int k = 0; k < 4; ++k) {
      if (code > last && code >= up[k]) status |= bits[k];
      if (code < last && code < down[k]) status &= ~bits[k];
    }
    last = code;
    return status;
  }
};

class HvLevels : public ScriptedStep {
 protected:
  void board(Comparators c) {
    comparators = c;
    bench->onRead = [this] {
      bench->st.Statusa =
          (bench->st.Statusa & ~st::kHvComparators) | comparators.answer(bench->voltage);
    };
    rig->set(rig->p.TabBData, B::HvDacStep, 5);
  }
  Comparators comparators{};
};

// The good board's switch codes: every rising point below, every falling point above its
// reference.
constexpr Comparators kGoodComparators = {{2470, 2785, 3080, 3375}, {2445, 2875, 3175, 3505}};

TEST_F(HvLevels, ScansUpAndDownAndGradesEverySwitchPoint) {
  board(kGoodComparators);
  functest::TestHVLevels step;
  EXPECT_EQ(play(step, 400), StepResult::Done);
  EXPECT_EQ(failed().size(), 0u);
  EXPECT_EQ(starting("PASSED : Status HV").size(), 20u);
  const auto changes = starting("Status change @  ");
  ASSERT_EQ(changes.size(), 8u);
  // 2470 x 5/4095 = 3.015873 V, 0.43 % above 3.003 V.
  EXPECT_EQ(changes[0], "Status change @  3.015873  DacVal(2470)  StatusHV(1000) 0.43% error");
  // The last goes off at the first code below 2445: 2440 x 5/4095 = 2.979243 V, 0.79 % below.
  EXPECT_EQ(changes[7], "Status change @  2.979243  DacVal(2440)  StatusHV(0) -0.79% error");
  EXPECT_FLOAT_EQ(step.switchPoint(1, functest::kHvUp).volts, 2785 * 5.0f / 4095);
  // The window of the change at 2470 started at 2450; the next starts 250 codes higher.
  const auto &codes = bench->sentCodes;
  const auto at = std::find(codes.begin(), codes.end(), 2470);
  ASSERT_NE(at, codes.end());
  EXPECT_EQ(*(at + 1), 2700);
  // Without a change a tick scans ten steps: 2700 .. 2745, then 2750.
  EXPECT_EQ(*(at + 11), 2750);
  EXPECT_EQ(bench->st.Statusa & st::kHvComparators, 0);
  EXPECT_FALSE(bench->running);
}

TEST_F(HvLevels, AllComparatorsAtOnceStoreNothingAndFailTheirLines) {
  board({{2600, 2600, 2600, 2600}, {2500, 2500, 2500, 2500}});
  functest::TestHVLevels step;
  EXPECT_EQ(play(step, 400), StepResult::Done);
  const auto changes = starting("Status change @  ");
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0], "Status change @  3.174603  DacVal(2600)  StatusHV(10A8) --.--% error");
  // Nothing found: every line fails, the values printed as 0.0 (an unfound HVPresent point
  // would otherwise pass its "below" limit).
  EXPECT_EQ(failed().size(), 20u);
  EXPECT_EQ(failed().count("Status HVPresentUp      @ 0.000000 Limit: 3.084000"), 1u);
}

TEST_F(HvLevels, ComparatorStillOnAtTheBottomEndsTheStepGraded) {
  // HVOtrReset never goes off again; a step of 0 on the panel is scanned with step 1.
  Comparators c = kGoodComparators;
  c.down[3] = 0;
  board(c);
  rig->set(rig->p.TabBData, B::HvDacStep, 0);
  functest::TestHVLevels step;
  EXPECT_EQ(play(step, 1000), StepResult::Done);
  EXPECT_EQ(failed(), (std::multiset<std::string>{
                          "Status HVOtrResetDown  @ 0.000000 Limit (<5.7%): 4.259000 ",
                          "Status HVOtrResetDown  @ 0.000000 Limit (<4.8%): 4.214000 ",
                          "Status HVOtrResetDown  @ 0.000000 Limit (<3.8%): 4.171000 "}));
  EXPECT_GT(*std::min_element(bench->sentCodes.begin() + 1, bench->sentCodes.end()), 2000);
}

TEST_F(HvLevels, SwitchPointsOfAnEarlierRunAreNotGradedAgain) {
  board(kGoodComparators);
  functest::TestHVLevels step;
  EXPECT_EQ(play(step, 400), StepResult::Done);
  EXPECT_TRUE(failed().empty());
  // The next board's HVTestCFC never comes on below code 4000.
  clearReport();
  Comparators c = kGoodComparators;
  c.up[1] = 4090;
  board(c);
  EXPECT_EQ(play(step, 400), StepResult::Done);
  EXPECT_EQ(failed().size(), 6u);
  EXPECT_EQ(failed().count("Status HVTestCFCUp      @ 0.000000 Limit (<3.8%): 3.492000 "), 1u);
}

// The float voltage against the double limit, each line with its own rule.
TEST(HvGrading, LimitsComparedAsWritten) {
  functest::HvSwitchPoints p{};
  auto set = [&](int k, int d, float v) { p[k][d] = {v, true}; };
  set(0, functest::kHvUp, 3.0839f);
  set(0, functest::kHvDown, 3.084f);                       // 3.0840001 as a double: not below 3.084
  set(1, functest::kHvUp, functest::HvCodeToVolts(2805));  // 3.424908: within all three
  set(1, functest::kHvDown, 3.464f);                       // 3.4639999: only the 3.428 line
  set(2, functest::kHvUp, 3.814f);                         // 3.8139999: within 3.814
  set(2, functest::kHvDown, 3.862f);                       // 3.8619999: short of 3.862
  set(3, functest::kHvUp, 4.22f);                          // 4.2199998: only within 4.220
  set(3, functest::kHvDown, 4.259f);                       // 4.2589998: short of 4.259
  const auto g = functest::GradeHvSwitchPoints(p);
  ASSERT_EQ(g.size(), 20u);
  std::string verdicts;
  for (const auto &l : g) verdicts += l.passed ? 'P' : 'F';
  EXPECT_EQ(verdicts,
            "PF"
            "PPP"
            "FFP"
            "FPP"
            "FPP"
            "FFP"
            "FPP");
  EXPECT_EQ(g[1].check, "Status HVPresentDown   @ 3.084000 Limit: 3.084000");
  EXPECT_EQ(g[2].check, "Status HVTestCFCUp      @ 3.424908 Limit (<5.7%): 3.426000 ");
  EXPECT_EQ(g[5].check, "Status HVTestCFCDown   @ 3.464000 Limit (<5.7%): 3.500000 ");
  EXPECT_EQ(*g[2].m.high, 3.426);
  EXPECT_EQ(*g[5].m.low, 3.500);
  EXPECT_EQ(g[2].m.unit, "V");
  // Code 2806 is 3.426129 V: over the 5.7 % line.
  set(1, functest::kHvUp, functest::HvCodeToVolts(2806));
  EXPECT_FALSE(functest::GradeHvSwitchPoints(p)[2].passed);
}

// ------------------------------------------------------------------------ test modes

class Modes : public ScriptedStep {
 protected:
  // The board enters the mode `entryAfter` seconds after the voltage is raised; the 20 s sums
  // are 100 + channel without the mode and 10 more in it; the mode is released when the
  // positive current comes (unless `holdsForEver`), with the levels back `levelsLag` s later.
  void board(int bit, double entryAfter, bool releases = true, double levelsLag = 0.0) {
    bench->onConfig = [=, this] {
      if (bench->voltage >= 3000 && raisedAt < 0) raisedAt = bench->now;
      if (bench->selA == 5 && bench->selB == 3) bench->st.Statusb &= ~st::kAllLevelsOk;
      // Positive current after the voltage has been raised and has fallen again.
      if (bench->selA == 4 && bench->selB == 7 && raisedAt >= 0 && bench->voltage < 3000 &&
          positiveAt < 0)
        positiveAt = bench->now;
    };
    each = [=, this] {
      const bool in =
          raisedAt >= 0 && bench->now - raisedAt >= entryAfter && !(releases && positiveAt >= 0);
      bench->setA(bit, in);
      if (positiveAt >= 0 && bench->now - positiveAt >= levelsLag)
        bench->st.Statusb |= st::kAllLevelsOk;
      for (int c = 0; c < 8; ++c) bench->st.SumsMaximums[c][10][18] = 100.0f + c + (in ? 10 : 0);
    };
    bench->st.Statusb = st::kAllLevelsOk;
  }
  StepResult run(functest::Step &step, int maxTicks = 1000) {
    raisedAt = positiveAt = -1;
    return play(step, maxTicks, each);
  }
  double raisedAt = -1, positiveAt = -1;
  std::function<void()> each;
};

TEST_F(Modes, CfcTestModeTimeline) {
  board(st::kCfcTestMode, 90.0);
  functest::Check_Test_CFC step;
  EXPECT_EQ(run(step), StepResult::Done);
  EXPECT_TRUE(failed().empty());
  const auto passed = starting("PASSED : ");
  ASSERT_EQ(passed.size(), 11u);
  EXPECT_EQ(passed[0], "PASSED : TEST CFC : Entered in Test_Cfc after 90.00[s]");
  EXPECT_EQ(passed[1], "PASSED : TEST CFC : Rsum diff with Test on CH1 : 10.00");
  EXPECT_EQ(passed[9], "PASSED : STATUS_TEST_CFC_ON : STILL ON AFTER FALLING OF TEST_CFC ");
  EXPECT_EQ(passed[10], "PASSED : STATUS_TEST_CFC_ON : CORRECT RELEASE  ");
  EXPECT_EQ(starting("=> RSUM(w=20s) CH8 base current : 107.00 ").size(), 1u);
  // Opening, 90 s to the entry, 50 s in the mode, 5 s after the fall, hold, positive current,
  // release, end.
  EXPECT_EQ(ticks, 1 + 180 + 100 + 10 + 1 + 1 + 1 + 1);
  EXPECT_EQ(bench->voltage, 2700);
  EXPECT_EQ(rig->rt().GetCtrlValI(rig->p.OptionsPanel, O::TestCfcVoltage), 0);
  EXPECT_TRUE(bench->running);
}

TEST_F(Modes, ModeOnAtOnceComparesWithNoSumsOfAnEarlierRun) {
  functest::Check_OTR_Reset step;
  board(st::kOtrResetReceived, 90.0);
  EXPECT_EQ(run(step), StepResult::Done);
  EXPECT_EQ(step.RsumWithout[0], 100.0f);
  clearReport();
  board(st::kOtrResetReceived, 0.0);
  EXPECT_EQ(run(step), StepResult::Done);
  const auto passed = starting("PASSED : ");
  ASSERT_GE(passed.size(), 2u) << testenv::readFile(report->ReportFileName);
  EXPECT_EQ(passed[0], "PASSED : OTR RESET RECEIVED entered after 0.50[s]");
  EXPECT_EQ(passed[1], "PASSED : OTR RESET : Rsum diff with Test on CH1 : 110.00");
  EXPECT_TRUE(starting("=> Memorize").empty());
}

TEST_F(Modes, ReleaseChecks) {
  {
    SCOPED_TRACE("mode released before the levels");
    board(st::kCfcTestMode, 90.0, true, 5.0);
    functest::Check_Test_CFC step;
    EXPECT_EQ(run(step), StepResult::Done);
    EXPECT_EQ(failed(), std::multiset<std::string>{"STATUS_TEST_CFC_ON : RELEASED TOO EARLY "});
  }
  {
    SCOPED_TRACE("levels back, mode held");
    clearReport();
    board(st::kOtrResetReceived, 90.0, false);
    functest::Check_OTR_Reset step;
    EXPECT_EQ(run(step), StepResult::Done);
    EXPECT_EQ(failed(),
              std::multiset<std::string>{"STATUS_OTR_RESET_RECEIVED : CORRECT RELEASE  "});
  }
  {
    SCOPED_TRACE("neither levels nor release");
    clearReport();
    board(st::kCfcTestMode, 90.0, false, 1e9);
    functest::Check_Test_CFC step;
    EXPECT_EQ(run(step), StepResult::Done);
    EXPECT_EQ(failed(), std::multiset<std::string>{"STATUS_TEST_CFC_ON : CORRECT RELEASE  "});
    EXPECT_EQ(ticks - 1 - 180 - 100 - 10 - 1 - 1, 2 * functest::kReleaseWaitSeconds + 1);
  }
}

TEST_F(Modes, ModeNeverEnteredFailsEntryAndHold) {
  board(st::kCfcTestMode, 1e9);
  functest::Check_Test_CFC step;
  EXPECT_EQ(run(step), StepResult::Done);
  EXPECT_EQ(failed(), (std::multiset<std::string>{
                          "TEST CFC : Failed to enter in Test_Cfc",
                          "STATUS_TEST_CFC_ON : STILL ON AFTER FALLING OF TEST_CFC "}));
  EXPECT_TRUE(starting("PASSED : TEST CFC : Rsum diff").empty());
}

// ----------------------------------------------------------------------- DAC counters

class DacCounters : public ScriptedStep {
 protected:
  // The board enters the reset mode 90 s after the voltage is raised (counters to 0), releases
  // it with the levels when the positive current comes, then `climb` moves the counters.
  void board(std::function<void(uint8_t *dac, int call)> climb, bool resets = true,
             bool levelsBack = true) {
    for (int c = 0; c < 8; ++c) bench->st.DacVal[c] = static_cast<uint8_t>(40 + c);
    bench->st.Statusb = st::kAllLevelsOk;
    bench->onConfig = [=, this] {
      if (bench->voltage == 3250 && raisedAt < 0) raisedAt = bench->now;
      if (bench->selA == 5 && bench->selB == 3) bench->st.Statusb &= ~st::kAllLevelsOk;
      if (bench->selA == 4 && bench->selB == 7) {
        bench->setA(st::kDacResetReceived, false);
        if (levelsBack) bench->st.Statusb |= st::kAllLevelsOk;
      }
      if (bench->voltage == 0 && raisedAt >= 0) watching = true;
    };
    each = [=, this] {
      if (resets && raisedAt >= 0 && !watching && bench->now - raisedAt >= 90.0 &&
          bench->st.Statusb != st::kAllLevelsOk) {
        bench->setA(st::kDacResetReceived, true);
        std::fill(bench->st.DacVal, bench->st.DacVal + 8, 0);
      }
      if (watching) {
        climb(bench->st.DacVal, calls++);
        const uint8_t *d = bench->st.DacVal;
        bench->setA(st::kDacOver155Ok, std::all_of(d, d + 8, [](uint8_t v) { return v <= 155; }));
        bench->setA(st::kDacOverflowOk, std::none_of(d, d + 8, [](uint8_t v) { return v == 255; }));
      }
    };
  }
  StepResult run(functest::Step &step, int maxTicks = 20000) {
    raisedAt = -1;
    watching = false;
    calls = 0;
    return play(step, maxTicks, each);
  }
  // Every counter one step up every `period` calls.
  static std::function<void(uint8_t *, int)> together(int period) {
    return [period](uint8_t *d, int call) {
      if (call % period == period - 1)
        for (int c = 0; c < 8; ++c) d[c] = static_cast<uint8_t>(std::min(255, d[c] + 1));
    };
  }
  double raisedAt = -1;
  bool watching = false;
  int calls = 0;
  std::function<void()> each;
};

TEST_F(DacCounters, ClimbToOverflow) {
  board(together(3));
  functest::TestSlowDAC step;
  EXPECT_EQ(run(step), StepResult::Done);
  EXPECT_TRUE(failed().empty());
  for (const char *l :
       {"PASSED : TEST DAC COUNTER : NOT STUCK TO 0 ",
        "PASSED : TEST DAC COUNTER : RESET DAC COMMAND RECEIVED ",
        "PASSED : STATUS_RST_DAC_RECEIVED : STILL ON AFTER FALLING OF STATUS_RST_DAC ",
        "PASSED : STATUS_RST_DAC_RECEIVED : CORRECT RELEASE  ",
        "PASSED : DAC COUNTER : CORRECT RESET ", "PASSED : STATUS DAC_OVERFLOW "})
    EXPECT_EQ(starting(l).size(), 1u) << l;
  EXPECT_EQ(starting("PASSED : STATUS DAC_OVER_155 ").size(), 8u);
  const auto progress = starting("DAC TEST : ");
  ASSERT_EQ(progress.size(), 255u);
  EXPECT_NE(progress[0].find(" COUNT 0 TO 1"), std::string::npos) << progress[0];
  EXPECT_NE(progress[254].find(" COUNT 254 TO 255"), std::string::npos);
  EXPECT_EQ(bench->voltage, 0);
  EXPECT_EQ(bench->selA, 5);
  EXPECT_EQ(bench->selB, 3);

  // A second run starts its watch from the counters as they are after its reset, not from the
  // 255 the first run ended on.
  clearReport();
  for (int c = 0; c < 8; ++c) bench->st.DacVal[c] = 255;
  bench->st.Statusb = st::kAllLevelsOk;
  EXPECT_EQ(run(step), StepResult::Done);
  EXPECT_TRUE(failed().empty());
  EXPECT_EQ(starting("DAC TEST : ").size(), 255u);
}

TEST_F(DacCounters, JumpEndsTheWatchWithItsChannel) {
  functest::TestSlowDAC step;
  // Counters 0 -> 1 -> 2 ... 5 pass, 5 -> 7 on channel index 3 does not.
  board([](uint8_t *d, int call) {
    if (call < 7) {
      std::fill(d, d + 8, static_cast<uint8_t>(call < 5 ? call : 5));
      if (call == 6) d[3] = 7;
    }
  });
  EXPECT_EQ(run(step), StepResult::DoneWithFailure);
  const auto f = failed();
  ASSERT_EQ(f.size(), 1u);
  const std::string line = *f.begin();
  EXPECT_EQ(line.rfind("DAC TEST : FAILED AT ", 0), 0u);
  EXPECT_NE(line.find(" Dac_ch3 : 5  7 "), std::string::npos) << line;
  EXPECT_EQ(starting("DAC TEST : ").size(), 5u);  // 0->1 .. 4->5
}

TEST_F(DacCounters, StuckChannelAndStalledWatch) {
  // Channel index 2 reads 0 all along; the others climb to 255 and stop there.
  board([](uint8_t *d, int call) {
    if (call % 2 == 1)
      for (int c = 0; c < 8; ++c)
        if (c != 2) d[c] = static_cast<uint8_t>(std::min(255, d[c] + 1));
    d[2] = 0;
  });
  bench->st.DacVal[2] = 0;
  functest::TestSlowDAC step;
  EXPECT_EQ(run(step), StepResult::DoneWithFailure);
  EXPECT_EQ(failed(), (std::multiset<std::string>{"TEST DAC COUNTER : CH2 STUCK TO 0 ",
                                                  "STATUS DAC_OVERFLOW "}));
  EXPECT_EQ(starting("PASSED : STATUS DAC_OVER_155 ").size(), 7u);
  EXPECT_TRUE(starting("DAC TEST : ").empty());  // never all eight equal
  // The last advance (255) came on call 509 of the watch; three slow-clock periods later the
  // step ends.
  EXPECT_NEAR((calls - 1 - 509) * 0.5, functest::kDacStallSeconds, 0.5);
}

TEST_F(DacCounters, WaitsThatRunOutEndTheStep) {
  {
    SCOPED_TRACE("no reset mode");
    board(together(1), false);
    functest::TestSlowDAC step;
    EXPECT_EQ(run(step), StepResult::DoneWithFailure);
    EXPECT_EQ(failed(),
              std::multiset<std::string>{"TEST DAC COUNTER : RESET DAC COMMAND RECEIVED "});
    EXPECT_EQ(ticks, 1 + 260);
    EXPECT_EQ(bench->voltage, 0);
  }
  {
    SCOPED_TRACE("levels never back, reset held");
    clearReport();
    board(together(1), true, false);
    bench->onConfig = [inner = bench->onConfig, this] {
      inner();
      if (bench->selA == 4) bench->setA(st::kDacResetReceived, true);  // held
    };
    functest::TestSlowDAC step;
    EXPECT_EQ(run(step), StepResult::DoneWithFailure);
    EXPECT_EQ(failed(), std::multiset<std::string>{"STATUS_RST_DAC_RECEIVED : CORRECT RELEASE  "});
  }
}

// ------------------------------------------------------------------ the simulated bench

class BenchRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << "no simulated bench";
  }
  struct Run {
    std::unique_ptr<testenv::FunctionalRig> rig;
    bool ended = false;
    double benchSeconds = 0, wallSeconds = 0;
    int dacResult = 0;  // what the DAC counter step answered
    int count(const std::string &prefix) const {
      int n = 0;
      for (const std::string &l : rig->reportLines()) n += l.rfind(prefix, 0) == 0;
      return n;
    }
  };
  static Run run(const std::string &board, std::initializer_list<rt::Ctl> steps) {
    Run r;
    r.rig = std::make_unique<testenv::FunctionalRig>(board);
    r.rig->scanBarcodes();
    r.rig->enableOnly(steps);
    const double start = r.rig->clock.now();
    const auto wall = std::chrono::steady_clock::now();
    r.rig->startBench();
    functest::FunctionalTest &test = r.rig->test();
    int last = -1;
    r.ended = r.rig->runToEnd(20000.0, [&] {
      if (last == 4 && test.state.StateTest != 4) r.dacResult = test.state.ReturnedValue;
      last = test.state.StateTest;
    });
    r.benchSeconds = r.rig->clock.now() - start;
    r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    std::printf("[figures] %s: %.0f s of bench time in %.2f s\n", board.c_str(), r.benchSeconds,
                r.wallSeconds);
    EXPECT_TRUE(r.ended) << board;
    EXPECT_EQ(r.rig->rt().GetCtrlValS(r.rig->p.TestCFCPanel, ctl::Test::StepTitle), "END OF TEST");
    return r;
  }
  static std::multiset<std::string> failedPrefixes(const Run &r, size_t keep) {
    std::multiset<std::string> out;
    for (const std::string &l : r.rig->failedChecks()) out.insert(l.substr(0, keep));
    return out;
  }
};

const std::initializer_list<rt::Ctl> kAllThree = {B::EnableHvLevels, B::EnableCfcTestMode,
                                                  B::EnableOtrReset, B::EnableDacCounters};

TEST_F(BenchRun, GoodBoardPassesEveryLine) {
  const Run r = run("good", kAllThree);
  EXPECT_TRUE(r.rig->failedChecks().empty());
  EXPECT_EQ(r.count("PASSED : Status HV"), 20);
  EXPECT_EQ(r.count("Status change @  "), 8);
  EXPECT_EQ(r.count("PASSED : TEST CFC : Entered in Test_Cfc after 9"), 1);
  EXPECT_EQ(r.count("PASSED : OTR RESET RECEIVED entered after 9"), 1);
  EXPECT_EQ(r.count("PASSED : STATUS_TEST_CFC_ON : CORRECT RELEASE  "), 1);
  EXPECT_EQ(r.count("PASSED : STATUS_OTR_RESET_RECEIVED : CORRECT RELEASE  "), 1);
  EXPECT_EQ(r.count("DAC TEST : "), 255);
  EXPECT_EQ(r.count("PASSED : STATUS DAC_OVER_155 "), 8);
  EXPECT_EQ(r.count("PASSED : STATUS DAC_OVERFLOW "), 1);
  EXPECT_EQ(r.rig->resultLines(), 20 + 11 + 11 + 14);
  EXPECT_EQ(r.dacResult, 100);
  EXPECT_GT(r.benchSeconds, 5400.0);
}

TEST_F(BenchRun, ShiftedHvComparator) {
  const Run r = run("hv_shifted", {B::EnableHvLevels});
  // Switched on at code 3140: 3.833944 V.
  EXPECT_EQ(
      r.rig->failedChecks(),
      (std::multiset<std::string>{"Status HVDacResetUp     @ 3.833944 Limit (<5.7%): 3.778000 ",
                                  "Status HVDacResetUp     @ 3.833944 Limit (<4.8%): 3.814000 "}));
  EXPECT_EQ(r.rig->resultLines(), 20);
}

TEST_F(BenchRun, ModeDefects) {
  const Run none = run("no_cfc_test_mode", {B::EnableCfcTestMode, B::EnableOtrReset});
  EXPECT_EQ(
      none.rig->failedChecks(),
      (std::multiset<std::string>{"TEST CFC : Failed to enter in Test_Cfc",
                                  "STATUS_TEST_CFC_ON : STILL ON AFTER FALLING OF TEST_CFC "}));
  const Run level = run("level_never_back", kAllThree);
  EXPECT_EQ(level.rig->failedChecks(),
            (std::multiset<std::string>{"STATUS_TEST_CFC_ON : RELEASED TOO EARLY ",
                                        "STATUS_OTR_RESET_RECEIVED : RELEASED TOO EARLY ",
                                        "STATUS_RST_DAC_RECEIVED : RELEASED TOO EARLY "}));
  EXPECT_EQ(level.dacResult, 100);
}

TEST_F(BenchRun, DacCounterDefects) {
  const Run jump = run("dac_jump", {B::EnableDacCounters});
  EXPECT_EQ(failedPrefixes(jump, 21), std::multiset<std::string>{"DAC TEST : FAILED AT "});
  for (const std::string &l : jump.rig->failedChecks())
    EXPECT_NE(l.find(" Dac_ch2 : 100  102 "), std::string::npos) << l;
  EXPECT_EQ(jump.dacResult, 300);
  EXPECT_EQ(jump.count("PASSED : STATUS DAC_OVERFLOW "), 0);

  // Channel 6 reads 0: the others reach 255, and three slow-clock periods later the watch ends.
  const Run stuck = run("dac_stuck_zero", {B::EnableDacCounters});
  EXPECT_EQ(
      stuck.rig->failedChecks(),
      (std::multiset<std::string>{"TEST DAC COUNTER : CH5 STUCK TO 0 ", "STATUS DAC_OVERFLOW "}));
  EXPECT_EQ(stuck.count("PASSED : STATUS DAC_OVER_155 "), 7);
  EXPECT_EQ(stuck.dacResult, 300);
  EXPECT_LT(stuck.benchSeconds, 5355.0 + 130.0 + 2 * functest::kDacStallSeconds);

  // A channel without current never leaves its range, so its counter never climbs.
  const Run dead = run("dead_channel", {B::EnableDacCounters});
  EXPECT_EQ(dead.rig->failedChecks(), std::multiset<std::string>{"STATUS DAC_OVERFLOW "});
}

// Checks that pass boards which plainly fail them, kept as they are written: the grading has no
// lower limit for HVPresent, and the running-sum differences of the modes are recorded, not
// graded.
TEST_F(BenchRun, ChecksThatPassFaultyBoards) {
  // HVPresent switching at 2.5 V: already on at the scan's first code (2450, 2.991 V) and off
  // above the bottom of the range; both lines pass.
  testenv::TempDir dir;
  const std::string low = dir.file("hv_present_low.json");
  testenv::writeFile(low, R"({"comparators": {"hvPresent": {"up": 2.50, "down": 2.45}}})");
  const Run hv = run(low, {B::EnableHvLevels});
  EXPECT_TRUE(hv.rig->failedChecks().empty());
  EXPECT_EQ(hv.count("PASSED : Status HVPresentUp      @ 2.991453 Limit: 3.084000"), 1);

  // A channel without current: the test current does not reach it either, and its difference
  // line passes with 0.
  const Run dead = run("dead_channel", {B::EnableCfcTestMode});
  EXPECT_TRUE(dead.rig->failedChecks().empty());
  EXPECT_EQ(dead.count("PASSED : TEST CFC : Rsum diff with Test on CH4 : 0.00"), 1);
}

}  // namespace
