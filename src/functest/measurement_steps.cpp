#include "functest/measurement_steps.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "acq/display.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "functest/bench_port.h"
#include "functest/report.h"
#include "functest/sequencer.h"
#include "rt/format.h"

namespace functest {

namespace O = ctl::Options;
namespace SL = ctl::TabSlope;

namespace {

constexpr int kSlopePage = 1;  // page of Test.Tabs
constexpr uint32_t kGreen = 0x00FF00;
// Bias periods in range lie strictly between these (s).
constexpr float kPeriodLow = 5.0f, kPeriodHigh = 22.0f;
constexpr int kStableTicks = 50;  // countdown of the 10 pA measurement

// The current a channel's mean integrator period stands for: one count (200 pC) per period,
// in pA. A mean of 0 (nothing measured, or a cleared period averaged in) derives no current.
float CurrentFromPeriod(float mean) { return mean > 0.0f ? 200.0f / mean : 0.0f; }

// Set-up shared by the three steps: the step's heading, the slope page, FRAMES read every
// 0.02 s by the continuous acquisition, measured periods and count means cleared, LEDs off.
void setUp(TestContext &t, const char *heading, float clock) {
  t.s.StepNbr = 0;
  t.s.ChannelUnderTest = 0;
  t.s.NbrCorrectCounts = 0;
  t.StartInterruptions(0.5);
  t.SetTimer(clock);  // shown only: no step here times out
  t.heading(heading);
  t.rt.SetActiveTabPage(t.p.TestCFCPanel, ctl::Test::Tabs, kSlopePage);
  t.readOutMode(1);
  t.acquisition(true);
  t.acqInterval(0.02);
  ChannelMeans &m = t.s.means;
  m.PeriodsSince = t.Timer();
  for (int c = 0; c < 8; ++c) {
    t.acq().ADC_STAT_PERIODE[c] = 0.0f;
    m.PERIOD_TEST[c] = 0;
    m.COUNTS_MEAN[c] = 0.0f;
  }
  for (const rt::Ctl &led : SL::PeriodOk) t.rt.SetCtrlVal(t.p.TabSlope, led, 0);
  for (const rt::Ctl &led : SL::CountsOk) t.rt.SetCtrlVal(t.p.TabSlope, led, 0);
}

void showGraphs(TestContext &t, bool on) {
  t.opt(O::ShowGraph, on ? 1 : 0);
  t.bench.UpdateOptions();
}

// After the eighth channel: every channel back on the bias setup, the main window's graphs
// back, the acquisition stopped (only if it runs: a lost module has stopped it already).
StepResult finishChannels(TestContext &t) {
  t.currentSelect(7, kBiasCurrentSetup);
  t.bench.UpdateCurrentChangeInFPGA();
  t.log("  ");
  showGraphs(t, true);
  t.rt.DeleteGraphPlot(t.p.TabSlope, SL::CfcGraph, -1);
  t.acquisition(false);
  return StepResult::Done;
}

// Whether the channel's newest measured period is a whole one of the step: both its resets came
// after the step's current was applied.
bool ownPeriod(TestContext &t, int c) {
  return t.acq().ADC_PERIOD_START[c] > t.s.means.PeriodsSince;
}

// What a bias wait decided for one channel: the verdict and the figure it was taken on.
struct BiasVerdict {
  bool passed = false;
  Measurement decided;  // value, unit, limits and basis; the line's own figure is added
};

// The period and current lines of every channel and the four ADC checks of each, after a bias
// wait. The discontinuity line counts the newest whole period of the step, or, for a channel
// without one, what the running period has shown so far.
void writeBiasResults(TestContext &t, const char *periodFormat, const char *blockFormat,
                      const BiasVerdict verdict[8]) {
  const ChannelMeans &m = t.s.means;
  const acq::AcqState &a = t.acq();
  const int minLimit = t.rt.GetCtrlValI(t.p.TabSlope, SL::MinReachLimit);
  const int maxLimit = t.rt.GetCtrlValI(t.p.TabSlope, SL::MaxReachLimit);
  for (int c = 0; c < 8; ++c) {
    const double period = m.PERIODE_MEAN[c];
    Measurement decided = verdict[c].decided;
    decided.shown = Measurement::Shown{"mean period", period, "s"};
    t.result(rt::format(periodFormat, c + 1, period), verdict[c].passed, decided);
  }
  for (int c = 0; c < 8; ++c) {
    const double current = m.Current10pA[c];
    Measurement decided = verdict[c].decided;
    decided.shown = Measurement::Shown{"current from the mean period", current, "pA"};
    t.result(rt::format("Offset current calc CH%d : %.2f [pA]", c + 1, current), verdict[c].passed,
             decided);
  }
  for (int c = 0; c < 8; ++c) {
    t.log(rt::format(blockFormat, c + 1));
    const int overshot = a.OVERSHOT[c];
    const int disc = ownPeriod(t, c) ? a.ADC_DISC[c] : a.ADC_DISC_TEMP[c];
    const int adcMin = a.ADC_MIN[c], adcMax = a.ADC_MAX[c];
    t.result(rt::format("Overshot      CH%d : %d ", c + 1, overshot), overshot <= 10,
             Measurement{double(overshot), "frames", std::nullopt, 10.0});
    t.result(rt::format("Discontinuity CH%d : %d ", c + 1, disc), disc == 0,
             Measurement{double(disc), "steps", 0.0, 0.0});
    t.result(rt::format("Min reach     CH%d : %d ", c + 1, adcMin), adcMin <= minLimit,
             Measurement{double(adcMin), "ADC", std::nullopt, double(minLimit)});
    t.result(rt::format("Max reach     CH%d : %d ", c + 1, adcMax), adcMax >= maxLimit,
             Measurement{double(adcMax), "ADC", double(maxLimit), std::nullopt});
  }
}

// The operator's stop button of the slope page, read and cleared.
bool takeStopRequest(TestContext &t) {
  if (t.rt.GetCtrlValI(t.p.TabSlope, SL::StopRequest) == 0) return false;
  t.rt.SetCtrlVal(t.p.TabSlope, SL::StopRequest, 0);
  return true;
}

// Channel 1's source settings for all eight channels, sources on: the open inputs' bias current.
void biasCurrentOn(TestContext &t) {
  t.opt(O::LinkSources, 1);
  t.opt(O::SourceOn[0], 1);
  t.update();
  // The bias wait's mean is made of its own periods only: what an earlier step averaged (the
  // 200-counts step times periods while it changes the currents) says nothing of the bias.
  ChannelMeans &m = t.s.means;
  m.PeriodsSince = t.Timer();
  for (float &mean : m.PERIODE_MEAN) mean = 0.0f;
}

}  // namespace

// ------------------------------------------------------------------------ shared machinery

void UpdateRunningMeans(TestContext &t, bool deriveCurrent) {
  const acq::AcqState &a = t.acq();
  ChannelMeans &m = t.s.means;
  const int slope = t.p.TabSlope;
  const int ch = std::clamp(t.s.ChannelUnderTest, 0, 7);
  t.rt.SetCtrlVal(slope, SL::Channel, ch + 1);
  t.rt.SetCtrlVal(slope, SL::CountsMean, static_cast<double>(m.COUNTS_MEAN[ch]));
  t.rt.SetCtrlVal(slope, SL::CalcPeriod, static_cast<double>(a.ADC_STAT_CALC_PER[ch]));
  t.rt.SetCtrlVal(slope, SL::Period, static_cast<double>(a.ADC_STAT_PERIODE[ch]));

  for (int i = 0; i < 8; ++i) {
    // A changed measured period is a new period. A value that is no number never is.
    // Only a whole period of the step is taken: one begun before the step's current was
    // applied, or timed across a break, says nothing of it.
    // A new period is told by when it began, not by its value: two periods of a steady current
    // can measure the very same time.
    const float period = a.ADC_STAT_PERIODE[i];
    const double began = a.ADC_PERIOD_START[i];
    if (ownPeriod(t, i) && began != m.PeriodTaken[i] && std::isfinite(period)) {
      m.PeriodTaken[i] = began;
      float &mean = m.PERIODE_MEAN[i];
      if (mean == 0.0f) {
        // The step's first period: the mean is this period, and so is the current it gives.
        mean = period;
        if (deriveCurrent) m.Current10pA[i] = CurrentFromPeriod(mean);
      } else if (period > mean + 10.0f || period < mean - 10.0f) {
        mean = period;
      } else {
        mean = (2.0f * mean + period) / 3.0f;
        if (deriveCurrent) m.Current10pA[i] = CurrentFromPeriod(mean);
      }
      m.ADC_STAT_PERIODE_OLD[i] = period;
    }
    const float count = static_cast<float>(static_cast<uint16_t>(a.CFC_VAL[i]));
    if (t.s.NbrCorrectCounts == 0 && count - m.COUNTS_MEAN[i] > 10.0f)
      m.COUNTS_MEAN[i] = count;  // a jump upwards restarts the mean
    else
      m.COUNTS_MEAN[i] = (2.0f * m.COUNTS_MEAN[i] + count) / 3.0f;
  }
  t.rt.SetTableCellRangeVals(slope, SL::ResultTable, 2, 6, 8, 1, m.PERIODE_MEAN);
  if (deriveCurrent) t.rt.SetTableCellRangeVals(slope, SL::ResultTable, 2, 7, 8, 1, m.Current10pA);
}

ChannelOutcome ChannelPhase(TestContext &t, float low, float high, int need) {
  const int ch = t.s.ChannelUnderTest;
  if (ch < 0 || ch >= 8) return ChannelOutcome::Waiting;
  const int slope = t.p.TabSlope;
  t.rt.DeleteGraphPlot(slope, SL::CfcGraph, -1);
  const int plot =
      t.rt.PlotY(slope, SL::CfcGraph, t.acq().CFC[ch], acq::kHistory, kGreen, 1, 11, 0);
  t.rt.SetPlotLegend(slope, SL::CfcGraph, plot, acq::kChannelLegend[ch]);

  const float mean = t.s.means.COUNTS_MEAN[ch];
  bool done = false;
  if (mean >= low && mean <= high) {
    if (++t.s.NbrCorrectCounts >= need) done = true;
  } else {
    t.s.NbrCorrectCounts = 0;
  }

  if (ch >= 1) t.currentSelect(ch - 1, kBiasCurrentSetup);
  t.currentSelect(ch, k200CountsSetup);
  t.opt(O::SourceOn[ch], 0);
  t.rt.SetCtrlVal(slope, SL::CountsOk[ch], done ? 1 : 0);
  t.bench.UpdateCurrentChangeInFPGA();

  const bool skip = t.rt.GetCtrlValI(slope, SL::SkipChannel) != 0;
  if (!skip && !done) return ChannelOutcome::Waiting;
  // One channel per call; a skip that comes with the completion is spent on it.
  if (skip) t.rt.SetCtrlVal(slope, SL::SkipChannel, 0);
  t.result(rt::format("CALIBRATION 200 Counts CH%d : %.2f ", ch + 1, static_cast<double>(mean)),
           done, Measurement{mean, "counts", low, high});
  t.s.NbrCorrectCounts = 0;
  ++t.s.ChannelUnderTest;
  return done ? ChannelOutcome::Done : ChannelOutcome::Skipped;
}

// ------------------------------------------------------------------------ 200 counts

StepResult Measure200Counts::call(TestContext &t, bool first) {
  if (first) {
    setUp(t, "MEASURE 200 COUNTS => Start at %.2f [s] ", 60.0f);
    // Every channel rests on the bias setup; the channel phase sends it.
    for (int c = 0; c < 8; ++c) t.currentSelect(c, kBiasCurrentSetup);
  }
  UpdateRunningMeans(t, false);
  if (t.s.StepNbr == 0) {
    t.report.WriteMessage("MEASUREMENT CFC CHANNELS : SET THE CURRENT (200 counts or above)");
    t.s.StepNbr = 1;
    showGraphs(t, false);
  }
  if (t.s.StepNbr != 1) return StepResult::Running;
  if (ChannelPhase(t, 198.0f, 202.0f, 5) != ChannelOutcome::Waiting && t.s.ChannelUnderTest >= 8)
    return finishChannels(t);
  return StepResult::Running;
}

// ------------------------------------------------------------------------ calibration

StepResult CalibrateChannel::call(TestContext &t, bool first) {
  ChannelMeans &m = t.s.means;
  if (first) {
    setUp(t, "CALIBRATION CFC CHANNELS => Start at %.2f [s] ", 60.0f);
    for (int c = 0; c < 8; ++c) t.opt(O::SourceOn[c], 1);
    t.bench.UpdateCurrentChangeInFPGA();
  }
  UpdateRunningMeans(t, true);
  if (t.s.StepNbr == 0) {
    biasCurrentOn(t);
    t.report.WriteMessage("CALIBRATION CFC CHANNELS : SET THE BIAS CURRENT (20s Periode)");
    t.s.StepNbr = 1;
  }
  if (t.s.StepNbr == 1) {
    // The bias verdict of each channel is its newest whole period of the step.
    BiasVerdict verdict[8];
    bool all = true;
    for (int c = 0; c < 8; ++c) {
      const bool own = ownPeriod(t, c);
      const float period = t.acq().ADC_STAT_PERIODE[c];
      verdict[c].passed = own && period > kPeriodLow && period < kPeriodHigh;
      verdict[c].decided =
          Measurement{own ? double(period) : std::nan(""), "s", kPeriodLow, kPeriodHigh};
      verdict[c].decided.basis = "newest whole period of the step";
      m.PERIOD_TEST[c] = verdict[c].passed ? 1 : 0;
      all = all && verdict[c].passed;
      t.rt.SetCtrlVal(t.p.TabSlope, SL::PeriodOk[c], m.PERIOD_TEST[c]);
    }
    if (takeStopRequest(t) || all) {
      t.s.StepNbr = 2;
      writeBiasResults(t, "CALIBRATION Offset current CH%d : %.2f [s]",
                       "Calibration 10pA CHANNEL %d", verdict);
    }
    return StepResult::Running;
  }
  if (t.s.StepNbr == 2) {
    t.report.WriteMessage("CALIBRATION CFC CHANNELS : SET THE CURRENT (200 counts)");
    t.s.StepNbr = 3;
    showGraphs(t, false);
  }
  if (t.s.StepNbr != 3) return StepResult::Running;
  if (ChannelPhase(t, 199.0f, 201.0f, 10) != ChannelOutcome::Waiting) {
    if (t.s.ChannelUnderTest >= 8) return finishChannels(t);
    t.s.StepNbr = 2;
  }
  return StepResult::Running;
}

// ------------------------------------------------------------------------ 10 pA

StepResult Measure10pA::call(TestContext &t, bool first) {
  ChannelMeans &m = t.s.means;
  if (first) {
    setUp(t, "MEASURE 10PA => Start at %.2f [s] ", 150.0f);
    for (int c = 0; c < 8; ++c) {
      m.ADC_STAT_PERIODE_OLD[c] = 0.0f;
      m.PERIOD_TEST[c] = kStableTicks;
    }
    // Every channel gets the setup of its ring (the start leaves them on the bias setup).
    t.bench.UpdateCurrentChangeInFPGA();
  }
  UpdateRunningMeans(t, true);
  if (t.s.StepNbr == 0) {
    biasCurrentOn(t);
    t.report.WriteMessage("MEASURE 10pA");
    t.s.StepNbr = 1;
  }
  if (t.s.StepNbr == 1) {
    // A countdown per channel: down by one on each call with the mean period in range, back
    // to 50 otherwise; stable at 0 and below.
    BiasVerdict verdict[8];
    for (int c = 0; c < 8; ++c) {
      const float mean = m.PERIODE_MEAN[c];
      if (mean > kPeriodLow && mean < kPeriodHigh) {
        if (m.PERIOD_TEST[c] > INT32_MIN) --m.PERIOD_TEST[c];
      } else {
        m.PERIOD_TEST[c] = kStableTicks;
      }
      verdict[c].passed = m.PERIOD_TEST[c] <= 0;
      // The verdict is the run of calls with the mean period in range.
      verdict[c].decided = Measurement{double(kStableTicks) - m.PERIOD_TEST[c], "calls",
                                       double(kStableTicks), std::nullopt};
      verdict[c].decided.basis = "consecutive calls with the mean period within 5..22 s";
      t.rt.SetCtrlVal(t.p.TabSlope, SL::PeriodOk[c], verdict[c].passed ? 1 : 0);
    }
    // The step ends only on the operator's stop.
    if (takeStopRequest(t)) {
      t.s.StepNbr = 2;
      writeBiasResults(t, "MESUREMENT Offset current CH%d : %.2f [s]",
                       "Measurement 10pA CHANNEL %d", verdict);
    }
    return StepResult::Running;
  }
  if (t.s.StepNbr != 2) return StepResult::Running;
  t.log("  ");
  showGraphs(t, true);
  t.opt(O::LinkSources, 0);
  t.opt(O::SourceOn[0], 0);
  t.update();  // bias current off
  t.acquisition(false);
  return StepResult::Done;
}

// ------------------------------------------------------------------------ slope-page buttons

int FunctionalTest::Stop10pAtest(int, int, int event) {
  if (event == rt::EVENT_COMMIT) rt_.SetCtrlVal(panels_.TabSlope, SL::StopRequest, 1);
  return 0;
}

int FunctionalTest::TestCFC_ReadOut(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  acq::AcqState &a = bench_.state();
  for (int c = 0; c < acq::kChannels; ++c) {
    a.ADC_MIN[c] = acq::kAdcFull;
    a.ADC_MAX[c] = 0;
    a.ADC_DISC[c] = 0;
  }
  ctx.readOutMode(1);
  const bool running = bench_.AcquisitionRunning();
  // Recording stops, and a record file still open is closed rather than left behind.
  bench_.EndRecording();
  const int m = panels_.MainPanel;
  const int refresh = panels_.TabBData;
  if (running) {
    rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED, 0);
    rt_.SetCtrlAttribute(refresh, ctl::TabBData::RefreshTimer, rt::ATTR_ENABLED, 1);
    rt_.SetCtrlAttribute(m, ctl::Main::ReadOutMode, rt::ATTR_DIMMED, 0);
  } else {
    rt_.SetCtrlAttribute(refresh, ctl::TabBData::RefreshTimer, rt::ATTR_ENABLED, 0);
    rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED, 1);
    rt_.SetCtrlAttribute(m, ctl::Main::ReadOutMode, rt::ATTR_DIMMED, 1);
  }
  return 0;
}

}  // namespace functest
