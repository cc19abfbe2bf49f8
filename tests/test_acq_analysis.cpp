// ADC statistics, slope and computed period, normalisation and the error rates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "acq/analysis.h"

namespace {

using acq::AcqState;

// One frame with the same ADC value on every channel, as the frame decoder stores it.
void frame(AcqState &st, uint16_t adc, double now, int focus = 0, acq::FrameStats *out = nullptr) {
  for (auto &h : st.ADC) {
    std::memmove(&h[0], &h[1], 199 * sizeof h[0]);
    h[199] = adc;
  }
  acq::FrameStats r = acq::analyseFrame(st, now, focus);
  if (out) *out = r;
}

TEST(AcqAnalysis, ResetsDiscontinuitiesOvershootsAndExtremes) {
  AcqState st;
  for (auto &h : st.ADC) std::fill(std::begin(h), std::end(h), 0);
  std::fill(std::begin(st.ADC_MIN), std::end(st.ADC_MIN), 4095);
  frame(st, 500, 0.9);  // the stream's first frame: a reference, not a jump from the stale 0
  EXPECT_EQ(st.ADC_DISC_TEMP[3], 0);
  frame(st, 3700, 1.0);  // +3200: a discontinuity, not a reset
  frame(st, 3720, 1.1);  // +20: nothing
  frame(st, 3699, 1.2);  // -21: a discontinuity
  frame(st, 4091, 1.3);  // overshoot (and +392)
  frame(st, 4095, 1.4);  // overshoot, saturated maximum
  frame(st, 4090, 1.5);  // not an overshoot
  frame(st, 500, 1.6);   // -3590
  EXPECT_EQ(st.ADC_DISC_TEMP[3], 4);
  EXPECT_EQ(st.OVERSHOT[3], 2);
  EXPECT_EQ(st.ADC_MAX[3], 4095);

  // The stream's first reset only starts the timing: no period, no count published.
  acq::FrameStats r;
  frame(st, 3900, 2.5, 3, &r);  // +3400: a reset
  EXPECT_EQ(r.resets, 0);
  EXPECT_FALSE(r.focusReset);
  EXPECT_EQ(st.ADC_DISC[3], 0);
  EXPECT_FLOAT_EQ(st.ADC_STAT_PERIODE[3], 0.0f);
  EXPECT_EQ(st.ADC_DISC_TEMP[3], 0);
  EXPECT_EQ(st.OVERSHOT[3], 0);
  EXPECT_EQ(st.ADC_MAX[3], 3900);  // the saturated maximum went at the reset
  EXPECT_EQ(st.ADC_MIN[3], 500);

  // The integrator runs down 17 counts a frame, with one step of 30 on the way.
  int adc = 3900;
  for (int k = 1; k <= 195; ++k) {
    adc -= k == 100 ? 30 : 17;
    frame(st, static_cast<uint16_t>(adc), 2.5 + 0.1 * k);
  }
  frame(st, 4093, 22.5, 3, &r);  // a reset that overshoots counts it afresh
  EXPECT_EQ(r.resets, 0xFF);
  EXPECT_TRUE(r.focusReset);
  EXPECT_EQ(r.focusDisc, 1);
  EXPECT_FLOAT_EQ(st.ADC_STAT_PERIODE[3], 20.0f);
  EXPECT_DOUBLE_EQ(st.ADC_PERIOD_START[3], 2.5);
  EXPECT_EQ(st.ADC_DISC[3], 1);
  EXPECT_EQ(st.OVERSHOT[3], 1);
  EXPECT_EQ(st.ADC_MAX[3], 4093);  // below saturation: kept, then raised
}

// A break in the stream (another mode's block, the acquisition off, or frames more than a second
// apart) re-arms the analysis: the jump across it is no discontinuity and no reset, the running
// counts restart, and the next period is timed from the first reset after it.
TEST(AcqAnalysis, ABreakInTheStreamReArmsTheAnalysis) {
  for (const bool byGap : {false, true}) {
    SCOPED_TRACE(byGap ? "gap" : "disarmed");
    AcqState st;
    for (auto &h : st.ADC) std::fill(std::begin(h), std::end(h), 0);
    frame(st, 100, 0.0);
    frame(st, 3500, 0.5);   // the first reset: timing starts
    frame(st, 3400, 0.52);  // -100: one discontinuity
    EXPECT_EQ(st.ADC_DISC_TEMP[0], 1);
    double t = 0.54;
    if (byGap)
      t += 1.5;
    else
      st.FramesArmed = false;
    frame(st, 50, t);  // -3350 across the break: not counted
    EXPECT_EQ(st.ADC_DISC_TEMP[0], 0);
    acq::FrameStats r;
    frame(st, 3800, t + 1.0, 0, &r);  // +3750: a reset, but only the timing starts again
    EXPECT_EQ(r.resets, 0);
    EXPECT_FLOAT_EQ(st.ADC_STAT_PERIODE[0], 0.0f);
    frame(st, 100, t + 1.5);
    frame(st, 3900, t + 21.0, 0, &r);
    EXPECT_EQ(r.resets, 0);  // 19.5 s without a frame is a break too
    frame(st, 100, t + 21.5);
    frame(st, 3900, t + 22.0, 0, &r);  // the first reset after the break starts the timing
    EXPECT_EQ(r.resets, 0);
    for (double u = t + 22.5; u < t + 42.0; u += 0.5) frame(st, 100, u);
    frame(st, 3900, t + 42.0, 0, &r);
    EXPECT_EQ(r.resets, 0xFF);
    EXPECT_NEAR(st.ADC_STAT_PERIODE[0], 20.0f, 1e-3);
    EXPECT_NEAR(st.ADC_PERIOD_START[0], t + 22.0, 1e-9);
  }
}

TEST(AcqAnalysis, SlopeOnceASecondAndTheComputedPeriod) {
  AcqState st;
  for (auto &h : st.ADC) std::fill(std::begin(h), std::end(h), 3500);
  const uint16_t early[4] = {3000, 3001, 3002, 3003};
  std::copy(early, early + 4, &st.ADC[1][176]);
  std::fill(&st.ADC[1][196], &st.ADC[1][200], 2000);
  for (int k = 176; k < 200; ++k) st.ADC[4][k] = static_cast<uint16_t>(100 + 30 * (k - 176));
  st.ADC_STAT_SLOPE[4] = 7.0f;

  EXPECT_TRUE(acq::updateSlope(st, 1.5, 0.02));
  acq::updateCalcPeriod(st);
  EXPECT_NEAR(st.ADC_STAT_SLOPE[1], 2383.33, 0.01);  // (3001 - 2000) / (21 x 0.02)
  EXPECT_NEAR(st.ADC_STAT_CALC_PER[1], 1.594, 0.0005);
  EXPECT_EQ(st.ADC_STAT_SLOPE[4], 7.0f);  // risen by 690: keeps its slope
  EXPECT_TRUE(std::isinf(st.ADC_STAT_CALC_PER[0]));
  EXPECT_FALSE(acq::updateSlope(st, 2.5, 0.02));  // one second is not more than one

  std::vector<int> columns;
  for (int k = 0; k < 8; ++k) columns.push_back(acq::nextStatsColumn(st));
  EXPECT_EQ(columns, (std::vector<int>{2, 3, 4, 5, 8, 9, 10, 2}));
}

TEST(AcqAnalysis, NormalisationAndRates) {
  AcqState st;
  const double window[12] = {1, 2, 8, 16, 64, 256, 2048, 16384, 32768, 131072, 524288, 2097152};
  for (int s = 0; s < 12; ++s) st.SumsMaximumsNormalized[3][s][19] = float(200 * window[s]);
  acq::normaliseSums(st);
  for (int s = 0; s < 12; ++s) EXPECT_FLOAT_EQ(st.SumsMaximumsNormalized[3][s][19], 200) << s;

  st.Erra = 10;
  EXPECT_FALSE(acq::updateRates(st, 3.0));
  EXPECT_TRUE(acq::updateRates(st, 3.2));  // the first computation sets the time base
  EXPECT_EQ(st.Erra_rate, 0);
  st.Erra = 17;
  EXPECT_FALSE(acq::updateRates(st, 6.0));
  EXPECT_TRUE(acq::updateRates(st, 6.7));
  EXPECT_FLOAT_EQ(st.Erra_rate, 2.0f);  // 7 in 3.5 s
  // Unsigned 32-bit counters; one that goes down was reset (or its module went): no rate, never a
  // negative one, and the next interval counts from the new value.
  st.Erra = int32_t(0x80000000u), st.PrevErra = 0x7FFFFFF0;
  st.Losta = 0, st.PrevLosta = 40;
  st.LastRateTime = 10.0;
  acq::updateRates(st, 14.0);
  EXPECT_FLOAT_EQ(st.Erra_rate, 4.0f);
  EXPECT_FLOAT_EQ(st.Losta_rate, 0.0f);
  st.Losta = 8;
  acq::updateRates(st, 18.0);
  EXPECT_FLOAT_EQ(st.Losta_rate, 2.0f);
}

}  // namespace
