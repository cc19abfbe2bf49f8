// The measurement and linearity steps against a fake bench: the panels are the program's, the
// board is a state the test writes. Sharper than the simulated board for the windows, bounds,
// the operator's buttons arriving together with a completion, a lost module, a zero period and
// the linearity file's odd lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ctl/callback_names.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "functest/bench_port.h"
#include "functest/linearity_step.h"
#include "functest/measurement_steps.h"
#include "functest/report.h"
#include "rt/clock.h"
#include "rt/format.h"
#include "rt/runtime.h"
#include "support/fake_bench.h"
#include "support/test_env.h"

namespace {

namespace O = ctl::Options;
namespace SL = ctl::TabSlope;
using functest::StepResult;

using testenv::FakeBench;

class MeasurementLogic : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *name : ctl::kCallbackNames)
      rt.RegisterCallback(name, [](int, int, int, int, int) { return 0; });
    int *handles[5] = {&p.MainPanel, &p.OptionsPanel, &p.RawData, &p.ShowFramePanel,
                       &p.TestCFCPanel};
    for (int i = 0; i < 5; ++i)
      *handles[i] = rt.LoadPanel(testenv::uiDir() + "/" + ctl::kPanelFiles[i]);
    p.TabBData = rt.GetPanelHandleFromTabPage(p.TestCFCPanel, ctl::Test::Tabs, 0);
    p.TabSlope = rt.GetPanelHandleFromTabPage(p.TestCFCPanel, ctl::Test::Tabs, 1);
    p.TabLin = rt.GetPanelHandleFromTabPage(p.TestCFCPanel, ctl::Test::Tabs, 2);
    // The current-setup rings list twenty setups, as after loading a linearity file.
    for (const rt::Ctl &ring : ctl::Test::CurrentSelect)
      for (int k = 0; k < 20; ++k) rt.InsertListItem(p.TestCFCPanel, ring, k, "setup", k);
    std::string reason;
    ASSERT_TRUE(report.Begin(dir.file("report.txt"), reason)) << reason;
  }

  // A period measured by the frame reader that began after the step's current was applied.
  void measured(int c, float period) {
    bench.st.ADC_STAT_PERIODE[c] = period;
    bench.st.ADC_PERIOD_START[c] = s.means.PeriodsSince + 1.0 + 0.01 * ++periods_;
  }
  int periods_ = 0;

  // Plays one call of a step as the sequencer does: the first call of a run is the set-up.
  StepResult call(functest::Step &step) {
    const bool first = !started_;
    started_ = true;
    return step.call(t, first);
  }
  void restart() { started_ = false; }

  std::vector<std::string> reportLines() const {
    std::vector<std::string> lines;
    std::ifstream in(report.ReportFileName);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  // The result lines of the report, in order.
  std::vector<std::string> results() const {
    std::vector<std::string> r;
    for (const std::string &l : reportLines())
      if (l.rfind("PASSED : ", 0) == 0 || l.rfind("***FAILED : ", 0) == 0) r.push_back(l);
    return r;
  }
  bool reportHas(const std::string &line) const {
    const auto lines = reportLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  void counts(int c, int value) { bench.st.CFC_VAL[c] = static_cast<int16_t>(value); }
  void allCounts(int value) {
    for (int c = 0; c < 8; ++c) counts(c, value);
  }
  int slope(int ctrl) { return rt.GetCtrlValI(p.TabSlope, ctrl); }
  void setSlope(int ctrl, double v) { rt.SetCtrlVal(p.TabSlope, ctrl, v); }

  rt::VirtualClock clock;
  rt::Runtime rt{clock};
  ctl::Panels p;
  FakeBench bench;
  testenv::TempDir dir;
  functest::Report report{rt, p};
  functest::TestState s;
  functest::TestContext t{rt, p, bench, report, s};

 private:
  bool started_ = false;
};

// ------------------------------------------------------------------------- running means

TEST_F(MeasurementLogic, PeriodMeanAveragesWithinTenSecondsAndRestartsBeyond) {
  auto &m = s.means;
  auto period = [&](int c, float p) { measured(c, p); };
  m.PERIODE_MEAN[0] = 20.0f;
  period(0, 30.0f);  // exactly 10 s above: averaged
  m.PERIODE_MEAN[1] = 20.0f;
  period(1, 30.01f);  // beyond: replaces the mean
  m.PERIODE_MEAN[2] = 20.0f;
  period(2, 10.0f);  // exactly 10 s below: averaged
  m.Current10pA[1] = 7.0f;
  functest::UpdateRunningMeans(t, true);
  EXPECT_FLOAT_EQ(m.PERIODE_MEAN[0], (40.0f + 30.0f) / 3.0f);
  EXPECT_FLOAT_EQ(m.Current10pA[0], 200.0f / m.PERIODE_MEAN[0]);
  EXPECT_FLOAT_EQ(m.PERIODE_MEAN[1], 30.01f);
  EXPECT_FLOAT_EQ(m.Current10pA[1], 7.0f) << "a restarted mean keeps the derived current";
  EXPECT_FLOAT_EQ(m.PERIODE_MEAN[2], (40.0f + 10.0f) / 3.0f);
  // The same period again (no new reset) is no new period.
  const float mean0 = m.PERIODE_MEAN[0];
  functest::UpdateRunningMeans(t, true);
  EXPECT_FLOAT_EQ(m.PERIODE_MEAN[0], mean0);
  EXPECT_DOUBLE_EQ(rt.GetTableCellVal(p.TabSlope, SL::ResultTable, 2, 6), mean0);
  EXPECT_DOUBLE_EQ(rt.GetTableCellVal(p.TabSlope, SL::ResultTable, 2, 7), m.Current10pA[0]);
}

TEST_F(MeasurementLogic, ZeroMeanPeriodDerivesNoCurrentAndNoNumberIsNoPeriod) {
  auto &m = s.means;
  // A cleared period averaged into a zero mean: the mean stays 0, the current is 0, not inf.
  m.ADC_STAT_PERIODE_OLD[0] = 3.0f;
  measured(0, 0.0f);
  m.Current10pA[0] = 10.0f;
  measured(1, std::numeric_limits<float>::quiet_NaN());
  m.PERIODE_MEAN[1] = 20.0f;
  functest::UpdateRunningMeans(t, true);
  EXPECT_EQ(m.PERIODE_MEAN[0], 0.0f);
  EXPECT_EQ(m.Current10pA[0], 0.0f);
  EXPECT_FLOAT_EQ(m.PERIODE_MEAN[1], 20.0f);
}

TEST_F(MeasurementLogic, CountMeanRestartsOnAJumpOnlyOutsideAnInWindowRun) {
  auto &m = s.means;
  counts(0, 200);
  counts(1, 120);
  m.COUNTS_MEAN[1] = 100.0f;  // a rise of 20: restarts
  counts(2, 110);
  m.COUNTS_MEAN[2] = 100.0f;  // a rise of 10: averaged
  counts(3, -1);              // read unsigned: 65535
  functest::UpdateRunningMeans(t, false);
  EXPECT_FLOAT_EQ(m.COUNTS_MEAN[0], 200.0f);
  EXPECT_FLOAT_EQ(m.COUNTS_MEAN[1], 120.0f);
  EXPECT_FLOAT_EQ(m.COUNTS_MEAN[2], 310.0f / 3.0f);
  EXPECT_FLOAT_EQ(m.COUNTS_MEAN[3], 65535.0f);
  // While in-window calls are counted a rise is averaged in; a fall always is.
  s.NbrCorrectCounts = 1;
  m.COUNTS_MEAN[0] = 200.0f;
  counts(0, 260);
  counts(1, 0);
  m.COUNTS_MEAN[1] = 120.0f;
  functest::UpdateRunningMeans(t, false);
  EXPECT_FLOAT_EQ(m.COUNTS_MEAN[0], 220.0f);
  EXPECT_FLOAT_EQ(m.COUNTS_MEAN[1], 80.0f);
}

// ------------------------------------------------------------------------- channel phase

TEST_F(MeasurementLogic, WindowBoundsAndConsecutiveCalls) {
  auto &m = s.means;
  using functest::ChannelOutcome;
  for (float inside : {198.0f, 202.0f}) {
    s.NbrCorrectCounts = 0;
    m.COUNTS_MEAN[0] = inside;
    EXPECT_EQ(functest::ChannelPhase(t, 198.0f, 202.0f, 5), ChannelOutcome::Waiting);
    EXPECT_EQ(s.NbrCorrectCounts, 1) << inside;
  }
  for (float outside : {197.99f, 202.01f}) {
    s.NbrCorrectCounts = 3;
    m.COUNTS_MEAN[0] = outside;
    functest::ChannelPhase(t, 198.0f, 202.0f, 5);
    EXPECT_EQ(s.NbrCorrectCounts, 0) << outside;
  }
  // Four in, one out, five in: the fifth consecutive call completes the channel.
  s.NbrCorrectCounts = 0;
  for (int k = 0; k < 4; ++k) {
    m.COUNTS_MEAN[0] = 200.0f;
    functest::ChannelPhase(t, 198.0f, 202.0f, 5);
  }
  m.COUNTS_MEAN[0] = 190.0f;
  functest::ChannelPhase(t, 198.0f, 202.0f, 5);
  m.COUNTS_MEAN[0] = 200.0f;
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(functest::ChannelPhase(t, 198.0f, 202.0f, 5), ChannelOutcome::Waiting);
  EXPECT_EQ(functest::ChannelPhase(t, 198.0f, 202.0f, 5), ChannelOutcome::Done);
  EXPECT_EQ(s.ChannelUnderTest, 1);
  EXPECT_EQ(s.NbrCorrectCounts, 0);
  EXPECT_EQ(slope(SL::CountsOk1), 1);
  EXPECT_EQ(results(), std::vector<std::string>{"PASSED : CALIBRATION 200 Counts CH1 : 200.00 "});
  // The channel under test on the 200-counts setup, its predecessor back on the bias setup.
  m.COUNTS_MEAN[1] = 0.0f;
  functest::ChannelPhase(t, 198.0f, 202.0f, 5);
  EXPECT_EQ(rt.GetCtrlValI(p.TestCFCPanel, ctl::Test::CurrentSelect1), 9);
  EXPECT_EQ(rt.GetCtrlValI(p.TestCFCPanel, ctl::Test::CurrentSelect2), 0);
}

TEST_F(MeasurementLogic, SkipAndCompletionInOneCallAdvanceOneChannelAndCompletionWins) {
  functest::Measure200Counts step;
  allCounts(200);
  counts(1, 150);
  // The first call sets up and already counts one in-window call.
  call(step);
  for (int k = 0; k < 3; ++k) call(step);
  EXPECT_EQ(s.NbrCorrectCounts, 4);
  setSlope(SL::SkipChannel, 1);
  EXPECT_EQ(call(step), StepResult::Running);
  EXPECT_EQ(s.ChannelUnderTest, 1);
  EXPECT_EQ(slope(SL::SkipChannel), 0);
  // A skip alone fails the channel with its count mean.
  call(step);
  setSlope(SL::SkipChannel, 1);
  call(step);
  EXPECT_EQ(s.ChannelUnderTest, 2);
  EXPECT_EQ(results(),
            (std::vector<std::string>{"PASSED : CALIBRATION 200 Counts CH1 : 200.00 ",
                                      "***FAILED : CALIBRATION 200 Counts CH2 : 150.00 "}));
  EXPECT_EQ(report.ErrorCounts, 1.0f);
}

TEST_F(MeasurementLogic, EightChannelsCompleteInOrderAndTheLastSkipNeverIndexesPastThem) {
  functest::Measure200Counts step;
  allCounts(200);
  bench.running = true;
  int calls = 0;
  StepResult r = StepResult::Running;
  // Skip pressed on every call: each call completes or skips one channel and never more.
  while (r == StepResult::Running && calls < 100) {
    if (s.ChannelUnderTest >= 5) setSlope(SL::SkipChannel, 1);
    r = call(step);
    ++calls;
    ASSERT_LE(s.ChannelUnderTest, 8);
  }
  EXPECT_EQ(r, StepResult::Done);
  EXPECT_EQ(s.ChannelUnderTest, 8);
  const auto lines = results();
  ASSERT_EQ(lines.size(), 8u);
  for (int c = 0; c < 8; ++c)
    EXPECT_NE(lines[c].find("CALIBRATION 200 Counts CH" + std::to_string(c + 1) + " : 200.00 "),
              std::string::npos);
  // The finish: every ring on the bias setup, graphs back, the acquisition stopped.
  for (const rt::Ctl &ring : ctl::Test::CurrentSelect)
    EXPECT_EQ(rt.GetCtrlValI(p.TestCFCPanel, ring), 9);
  EXPECT_EQ(rt.GetCtrlValI(p.OptionsPanel, O::ShowGraph), 1);
  EXPECT_FALSE(bench.running);
  EXPECT_EQ(rt.GetActiveTabPage(p.TestCFCPanel, ctl::Test::Tabs), 1);
}

TEST_F(MeasurementLogic, FinishDoesNotRestartAnAcquisitionALostModuleStopped) {
  functest::Measure200Counts step;
  allCounts(200);
  call(step);
  EXPECT_TRUE(bench.running);
  bench.running = false;  // the module went: the acquisition stopped itself
  const int toggles = bench.startStops;
  StepResult r = StepResult::Running;
  for (int k = 0; k < 60 && r == StepResult::Running; ++k) r = call(step);
  EXPECT_EQ(r, StepResult::Done);
  EXPECT_EQ(bench.startStops, toggles);
  EXPECT_FALSE(bench.running);
}

// ------------------------------------------------------------------------- calibration

TEST_F(MeasurementLogic, CalibrationBiasVerdictsAndAdcLimits) {
  functest::CalibrateChannel step;
  bench.running = true;
  call(step);  // set-up clears the measured periods
  const float periods[8] = {5.0f, 5.01f, 21.99f, 22.0f, 20.0f, 20.0f, 20.0f, 20.0f};
  for (int c = 0; c < 8; ++c) {
    measured(c, periods[c]);
    s.means.PERIODE_MEAN[c] = periods[c];
  }
  for (int c = 0; c < 8; ++c) {
    bench.st.OVERSHOT[c] = 10;
    bench.st.ADC_MIN[c] = 200;   // the panel's limit: passes
    bench.st.ADC_MAX[c] = 3900;  // the panel's limit: passes
  }
  bench.st.OVERSHOT[1] = 11;
  bench.st.ADC_DISC[2] = 1;
  bench.st.ADC_MIN[4] = 201;
  bench.st.ADC_MAX[5] = 3899;
  call(step);
  EXPECT_EQ(s.StepNbr, 1) << "two channels out of range: the wait goes on";
  EXPECT_EQ(slope(SL::PeriodOk1), 0);
  EXPECT_EQ(slope(SL::PeriodOk2), 1);
  EXPECT_EQ(slope(SL::PeriodOk4), 0);
  rt.SetCtrlVal(p.TabSlope, SL::StopRequest, 1);
  call(step);
  EXPECT_EQ(s.StepNbr, 2);
  EXPECT_EQ(slope(SL::StopRequest), 0);
  const auto lines = results();
  ASSERT_EQ(lines.size(), 48u);
  EXPECT_EQ(lines[0], "***FAILED : CALIBRATION Offset current CH1 : 5.00 [s]");
  EXPECT_EQ(lines[1], "PASSED : CALIBRATION Offset current CH2 : 5.01 [s]");
  EXPECT_EQ(lines[2], "PASSED : CALIBRATION Offset current CH3 : 21.99 [s]");
  EXPECT_EQ(lines[3], "***FAILED : CALIBRATION Offset current CH4 : 22.00 [s]");
  EXPECT_EQ(lines[8], "***FAILED : Offset current calc CH1 : 40.00 [pA]");
  EXPECT_EQ(lines[9], "PASSED : Offset current calc CH2 : 39.92 [pA]");
  EXPECT_EQ(lines[16], "PASSED : Overshot      CH1 : 10 ");
  EXPECT_EQ(lines[20], "***FAILED : Overshot      CH2 : 11 ");
  EXPECT_EQ(lines[25], "***FAILED : Discontinuity CH3 : 1 ");
  EXPECT_EQ(lines[18], "PASSED : Min reach     CH1 : 200 ");
  EXPECT_EQ(lines[19], "PASSED : Max reach     CH1 : 3900 ");
  EXPECT_EQ(lines[34], "***FAILED : Min reach     CH5 : 201 ");
  EXPECT_EQ(lines[39], "***FAILED : Max reach     CH6 : 3899 ");
  EXPECT_TRUE(reportHas("Calibration 10pA CHANNEL 8"));
}

TEST_F(MeasurementLogic, CalibrationWindowIsNarrowerAndTenCallsLong) {
  functest::CalibrateChannel step;
  call(step);
  for (int c = 0; c < 8; ++c) measured(c, 20.0f);
  call(step);  // every period in range: the bias results, no operator needed
  EXPECT_EQ(s.StepNbr, 2);
  allCounts(198);
  s.means.COUNTS_MEAN[0] = 198.5f;
  for (int k = 0; k < 30; ++k) call(step);
  EXPECT_EQ(s.ChannelUnderTest, 0) << "198.x counts never complete a calibration channel";
  allCounts(200);
  int callsForChannel = 0;
  while (s.ChannelUnderTest == 0 && callsForChannel < 40) {
    call(step);
    ++callsForChannel;
  }
  // The mean climbs into 199..201 within a few calls, then ten in a row.
  EXPECT_GE(callsForChannel, 10);
  EXPECT_LE(callsForChannel, 16);
  EXPECT_EQ(s.StepNbr, 2);
  EXPECT_EQ(results().back().substr(0, 38), "PASSED : CALIBRATION 200 Counts CH1 : ");
}

// ------------------------------------------------------------------------- 10 pA

TEST_F(MeasurementLogic, TenPicoampsCountdownStabilityAndStop) {
  functest::Measure10pA step;
  for (int c = 0; c < 8; ++c) s.means.PERIODE_MEAN[c] = 20.0f;
  call(step);
  // The bias current goes on in the first call, and the step's mean starts afresh from it.
  EXPECT_EQ(s.means.PERIODE_MEAN[0], 0.0f);
  EXPECT_EQ(s.means.PERIOD_TEST[0], 50);
  for (int c = 0; c < 8; ++c) s.means.PERIODE_MEAN[c] = 20.0f;
  s.means.PERIODE_MEAN[7] = 22.0f;  // bound excluded
  // 50 calls with the mean in range reach 0 and light the LED.
  for (int k = 0; k < 49; ++k) call(step);
  EXPECT_EQ(s.means.PERIOD_TEST[0], 1);
  EXPECT_EQ(slope(SL::PeriodOk1), 0);
  call(step);
  EXPECT_EQ(s.means.PERIOD_TEST[0], 0);
  EXPECT_EQ(slope(SL::PeriodOk1), 1);
  EXPECT_EQ(s.means.PERIOD_TEST[7], 50);
  // It stays on while the period stays in range; one call out of range starts again.
  call(step);
  EXPECT_EQ(s.means.PERIOD_TEST[0], -1);
  s.means.PERIODE_MEAN[1] = 5.0f;
  call(step);
  EXPECT_EQ(s.means.PERIOD_TEST[1], 50);
  EXPECT_EQ(slope(SL::PeriodOk2), 0);
  // The step never ends by itself; the stop writes the results, the next call ends it.
  EXPECT_TRUE(results().empty());
  bench.running = true;
  rt.SetCtrlVal(p.TabSlope, SL::StopRequest, 1);
  EXPECT_EQ(call(step), StepResult::Running);
  const auto lines = results();
  ASSERT_EQ(lines.size(), 48u);
  EXPECT_EQ(lines[0], "PASSED : MESUREMENT Offset current CH1 : 20.00 [s]");
  EXPECT_EQ(lines[1], "***FAILED : MESUREMENT Offset current CH2 : 5.00 [s]");
  EXPECT_EQ(lines[7], "***FAILED : MESUREMENT Offset current CH8 : 22.00 [s]");
  EXPECT_TRUE(reportHas("Measurement 10pA CHANNEL 1"));
  EXPECT_EQ(call(step), StepResult::Done);
  EXPECT_FALSE(bench.running);
  EXPECT_EQ(rt.GetCtrlValI(p.OptionsPanel, O::LinkSources), 0);
  EXPECT_EQ(rt.GetCtrlValI(p.OptionsPanel, O::SourceOn1), 0);
}

TEST_F(MeasurementLogic, StopBeforeAnyChannelIsStableFailsEveryPeriodLine) {
  functest::Measure10pA step;
  rt.SetCtrlVal(p.TabSlope, SL::StopRequest, 1);  // pressed while no step ran
  call(step);
  EXPECT_EQ(s.StepNbr, 2) << "the leftover stop ends the wait on its first call";
  int failedPeriods = 0;
  for (const std::string &l : results())
    failedPeriods += l.rfind("***FAILED : MESUREMENT Offset current CH", 0) == 0;
  EXPECT_EQ(failedPeriods, 8);
}

// ------------------------------------------------------------------------- linearity

class LinearityLogic : public MeasurementLogic {
 protected:
  // A linearity file with the given data lines (and a comment line), selected on the page.
  void file(const std::vector<std::string> &lines) {
    std::string text = "# header line\n";
    for (const std::string &l : lines) text += l + "\n";
    testenv::writeFile(dir.file("Card_3_lin.txt"), text);
    rt.SetCtrlVal(p.TabBData, ctl::TabBData::LinearityFile, dir.file("Card_3_lin.txt"));
  }
  static std::string line(double current, int sum = 8, double low = 90, double high = 110,
                          int wait = 2) {
    return rt::format("%e 7 1 100 100 100 100 100 100 100 100 %d %e %e %d", current, sum, low, high,
                      wait);
  }
  // Every channel's newest normalised value of every sum.
  void sums(float v) {
    for (auto &channel : bench.st.SumsMaximumsNormalized)
      for (auto &sum : channel) sum[acq::kSumHistory - 1] = v;
  }
  // Runs the step to its end, the clock moving 0.5 s per call.
  StepResult run(functest::LinearityTest &step, int limit = 2000) {
    StepResult r = StepResult::Running;
    for (int k = 0; k < limit && r == StepResult::Running; ++k) {
      r = call(step);
      bench.now += 0.5;
    }
    return r;
  }
};

TEST_F(LinearityLogic, OneLoopUpTo100MicroampsTwoAbove) {
  file({line(1e-4), line(1.1e-4)});
  sums(100.0f);
  functest::LinearityTest step;
  // The selectors each loop sends, channels 1 and 5.
  std::vector<std::pair<int, int>> selA;
  bench.onConfig = [&] {
    selA.emplace_back(rt.GetCtrlValI(p.OptionsPanel, O::SourceSelA1),
                      rt.GetCtrlValI(p.OptionsPanel, O::SourceSelA5));
  };
  EXPECT_EQ(run(step), StepResult::Done);
  // The start's update (test voltage 0), then one loop, then two with the halves parked.
  ASSERT_EQ(selA.size(), 4u);
  EXPECT_EQ(selA[1], std::make_pair(7, 7));
  EXPECT_EQ(selA[2], std::make_pair(7, 0));
  EXPECT_EQ(selA[3], std::make_pair(0, 7));
  EXPECT_EQ(rt.GetCtrlValI(p.OptionsPanel, O::SourceSelB5), 1);
  EXPECT_EQ(rt.GetCtrlValI(p.OptionsPanel, O::SourceSelB1), 7);
  EXPECT_EQ(bench.reads, 3);
  EXPECT_EQ(results(), std::vector<std::string>{"PASSED : LINEARITY COMPLETE TEST "});
  EXPECT_EQ(rt.GetCtrlValI(p.TabLin, ctl::TabLin::LineNumber), 2);
  EXPECT_EQ(s.StepNumber, 4);
}

TEST_F(LinearityLogic, ValuesOnTheLimitsFailWithTheExactLine) {
  file({line(1e-6, 9, 100, 110)});
  sums(100.0f);
  bench.st.SumsMaximumsNormalized[2][8][acq::kSumHistory - 1] = 105.0f;
  bench.st.SumsMaximumsNormalized[5][8][acq::kSumHistory - 1] = 110.0f;
  functest::LinearityTest step;
  EXPECT_EQ(run(step), StepResult::Done);
  const auto lines = results();
  ASSERT_EQ(lines.size(), 8u);  // seven channels out of range, then the final line
  EXPECT_EQ(lines[0],
            "***FAILED : LINEARITY : Mesure line 1 (1.000000 uA) OutOfRange CH1 : 100.000000 not "
            "between 100 and 110");
  EXPECT_EQ(lines[4],
            "***FAILED : LINEARITY : Mesure line 1 (1.000000 uA) OutOfRange CH6 : 110.000000 not "
            "between 100 and 110");
  EXPECT_EQ(lines[7], "***FAILED : LINEARITY COMPLETE TEST ");
}

TEST_F(LinearityLogic, ResultTableHasOneRowOfNineNumbersPerMeasuredLine) {
  file({line(1e-6), line(2e-6), line(3e-6)});
  sums(100.0f);
  functest::LinearityTest step;
  run(step);
  const auto lines = reportLines();
  const auto at = std::find(lines.begin(), lines.end(), "Linearity test result structure");
  ASSERT_NE(at, lines.end());
  const std::vector<std::string> table(at, lines.end());
  const std::string dashes(60, '-');
  EXPECT_EQ(table,
            (std::vector<std::string>{
                "Linearity test result structure", dashes, "Current1 SUM_CH1 SUM_CH2....SUM_CH8",
                "Current2 SUM_CH1 SUM_CH2....SUM_CH8", dashes,
                "1.000000e-06 1.000000e+02 1.000000e+02 1.000000e+02 1.000000e+02 "
                "1.000000e+02 1.000000e+02 1.000000e+02 1.000000e+02",
                "2.000000e-06 1.000000e+02 1.000000e+02 1.000000e+02 1.000000e+02 "
                "1.000000e+02 1.000000e+02 1.000000e+02 1.000000e+02",
                "3.000000e-06 1.000000e+02 1.000000e+02 1.000000e+02 1.000000e+02 "
                "1.000000e+02 1.000000e+02 1.000000e+02 1.000000e+02",
                dashes}));
}

TEST_F(LinearityLogic, AtMostTwentyLinesAndTheRestIsCounted) {
  std::vector<std::string> lines;
  for (int k = 0; k < 23; ++k) lines.push_back(line(1e-6));  // duplicates are measured too
  lines.push_back(line(1e-6, 0));                            // no sum 0: no data line
  lines.push_back(line(1e-6, 13));                           // no sum 13 either
  file(lines);
  sums(100.0f);
  functest::LinearityTest step;
  EXPECT_EQ(run(step), StepResult::Done);
  EXPECT_EQ(bench.reads, 20);
  EXPECT_TRUE(
      reportHas("LINEARITY : 3 more data lines of the linearity file ignored (at most 20 lines are "
                "measured)"));
  EXPECT_EQ(results(), std::vector<std::string>{"PASSED : LINEARITY COMPLETE TEST "});
}

TEST_F(LinearityLogic, FileWithoutMeasurableLinesOrUnreadableFailsTheCompleteLine) {
  for (bool missing : {false, true}) {
    file({line(1e-6, 0), "not a data line"});
    if (missing) rt.SetCtrlVal(p.TabBData, ctl::TabBData::LinearityFile, dir.file("none.txt"));
    functest::LinearityTest step;
    restart();
    EXPECT_EQ(run(step, 10), StepResult::Done) << missing;
    EXPECT_EQ(bench.reads, 0);
    EXPECT_EQ(results().back(), "***FAILED : LINEARITY COMPLETE TEST ");
  }
  EXPECT_TRUE(
      reportHas("LINEARITY : the linearity file \"" + dir.file("none.txt") + "\" cannot be read"));
}

TEST_F(LinearityLogic, FailedReadIsRetriedThenFailsTheLoop) {
  file({line(1e-6), line(2e-6)});
  sums(100.0f);
  bench.readResults = {-1, -1, 0, -1, -1, -1};
  functest::LinearityTest step;
  EXPECT_EQ(run(step), StepResult::Done);
  EXPECT_EQ(bench.reads, 6);
  EXPECT_EQ(results(),
            (std::vector<std::string>{
                "***FAILED : LINEARITY : Mesure line 2 (2.000000 uA) CH1 to CH8 : no data, block "
                "read failed 3 times",
                "***FAILED : LINEARITY COMPLETE TEST "}));
  EXPECT_EQ(step.ValForLin[0][1][1], 0.0f);
  EXPECT_FLOAT_EQ(step.ValForLin[0][0][1], 2e-6f);
}

TEST_F(LinearityLogic, StoppedRunLeaksNothingIntoTheNext) {
  file({line(1e-6), line(2e-6), line(3e-6)});
  sums(100.0f);
  functest::LinearityTest step;
  for (int k = 0; k < 12; ++k) {  // stopped after two lines
    call(step);
    bench.now += 0.5;
  }
  ASSERT_EQ(step.MesIndex, 2);
  s.LinearityIsConforme = 0;
  restart();
  sums(50.0f);
  file({line(4e-6, 8, 40, 60)});
  EXPECT_EQ(run(step), StepResult::Done);
  EXPECT_EQ(results().back(), "PASSED : LINEARITY COMPLETE TEST ");
  const auto lines = reportLines();
  const auto at = std::find(lines.begin(), lines.end(), "Linearity test result structure");
  ASSERT_EQ(lines.end() - at, 7) << "one measured line";
  EXPECT_EQ(at[5].substr(0, 12), "4.000000e-06");
}

// ------------------------------------------------------------------------- buttons

TEST_F(MeasurementLogic, TableTextIsExact) {
  functest::LinearityValues v = {};
  for (int c = 0; c < 8; ++c) {
    v[c][0][0] = 1e-3f;
    v[c][1][0] = static_cast<float>(c + 1);
  }
  const std::string table = functest::LinearityTable(v, 1);
  EXPECT_EQ(table.substr(table.find("1.000000e-03")),
            "1.000000e-03 1.000000e+00 2.000000e+00 3.000000e+00 4.000000e+00 5.000000e+00 "
            "6.000000e+00 7.000000e+00 8.000000e+00\n" +
                std::string(60, '-') + "\n");
  EXPECT_EQ(functest::LinearityTable(v, 99), functest::LinearityTable(v, 20));
}

}  // namespace
