// ADC statistics of FRAMES blocks, slope and computed period, the result-table rotation, the
// normalised sums and the error and lost-frame rates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "acq/analysis.h"

namespace {

using acq::AcqState;

// Pushes one frame with the same ADC value on every channel, as the frame decoder does.
void push(AcqState &st, uint16_t adc, int ch = -1) {
  for (int c = 0; c < 8; ++c) {
    if (ch >= 0 && c != ch) continue;
    std::memmove(&st.ADC[c][0], &st.ADC[c][1], 199 * sizeof(uint16_t));
    st.ADC[c][199] = adc;
  }
}

AcqState freshStats(uint16_t start) {
  AcqState st;
  for (int c = 0; c < 8; ++c) {
    st.ADC_MIN[c] = 4095;
    for (auto &v : st.ADC[c]) v = start;
  }
  return st;
}

TEST(AcqAnalysis, ResetVersusDiscontinuityAndTheTwentyCountLimit) {
  AcqState st = freshStats(500);
  push(st, 3700);  // +3200: a discontinuity, not a reset
  acq::FrameStats r = acq::analyseFrame(st, 1.0, 0);
  EXPECT_EQ(r.resets, 0);
  EXPECT_EQ(st.ADC_DISC_TEMP[0], 1);

  push(st, 3720);  // +20: nothing
  acq::analyseFrame(st, 1.1, 0);
  EXPECT_EQ(st.ADC_DISC_TEMP[0], 1);
  push(st, 3699);  // -21: a discontinuity
  acq::analyseFrame(st, 1.2, 0);
  EXPECT_EQ(st.ADC_DISC_TEMP[0], 2);

  push(st, 500);
  acq::analyseFrame(st, 1.3, 0);
  push(st, 3900);  // +3400: a reset, which closes the period's discontinuity count
  r = acq::analyseFrame(st, 2.5, 0);
  EXPECT_EQ(r.resets, 0xFF);
  EXPECT_TRUE(r.focusReset);
  EXPECT_EQ(r.focusDisc, 3);
  EXPECT_EQ(st.ADC_DISC[0], 3);
  EXPECT_EQ(st.ADC_DISC_TEMP[0], 0);
  // The first period is measured from the clock's origin.
  EXPECT_FLOAT_EQ(st.ADC_STAT_PERIODE[0], 2.5f);
  EXPECT_EQ(st.ADC_TIMER[0], 2.5);

  push(st, 400);
  acq::analyseFrame(st, 3.0, 0);
  push(st, 3800);
  acq::analyseFrame(st, 22.5, 0);
  EXPECT_FLOAT_EQ(st.ADC_STAT_PERIODE[0], 20.0f);
  EXPECT_EQ(st.ADC_DISC[0], 1);  // the drop to 400 in that period
}

TEST(AcqAnalysis, OvershootsCountAboveFourThousandNinety) {
  AcqState st = freshStats(4000);
  push(st, 4090);
  acq::analyseFrame(st, 0.1, 3);
  EXPECT_EQ(st.OVERSHOT[3], 0);
  push(st, 4091);
  acq::analyseFrame(st, 0.2, 3);
  push(st, 4095);
  acq::analyseFrame(st, 0.3, 3);
  EXPECT_EQ(st.OVERSHOT[3], 2);

  // At a reset the focus channel reports its count, then counts the reset frame afresh.
  push(st, 200);
  acq::analyseFrame(st, 0.4, 3);
  push(st, 4093);
  const acq::FrameStats r = acq::analyseFrame(st, 0.5, 3);
  EXPECT_EQ(r.focusOvershoot, 2);
  EXPECT_EQ(st.OVERSHOT[3], 1);
}

TEST(AcqAnalysis, ExtremesAndTheSaturatedMaximumClearedAtAReset) {
  AcqState st = freshStats(600);
  push(st, 4095);
  acq::analyseFrame(st, 0.1, 0);
  push(st, 300);
  acq::analyseFrame(st, 0.2, 0);
  EXPECT_EQ(st.ADC_MAX[2], 4095);
  EXPECT_EQ(st.ADC_MIN[2], 300);
  push(st, 3700);  // reset: the saturated maximum goes, the reset frame's value comes
  acq::analyseFrame(st, 0.3, 0);
  EXPECT_EQ(st.ADC_MAX[2], 3700);
  EXPECT_EQ(st.ADC_MIN[2], 300);

  // A maximum below saturation survives a reset.
  push(st, 100);
  acq::analyseFrame(st, 0.4, 0);
  push(st, 3500);
  acq::analyseFrame(st, 0.5, 0);
  EXPECT_EQ(st.ADC_MAX[2], 3700);
}

TEST(AcqAnalysis, CfcValueFollowsTheNewestFrameAndFocusOutsideTheChannelsIsNone) {
  AcqState st = freshStats(100);
  st.CFC[5][199] = 200;
  push(st, 3500);
  const acq::FrameStats r = acq::analyseFrame(st, 1.0, 8);
  EXPECT_EQ(st.CFC_VAL[5], 200);
  EXPECT_EQ(r.resets, 0xFF);
  EXPECT_FALSE(r.focusReset);
}

TEST(AcqAnalysis, SlopeOfTheWorkedExampleOnceASecond) {
  AcqState st = freshStats(3500);
  const uint16_t early[4] = {3000, 3001, 3002, 3003};
  for (int k = 0; k < 4; ++k) st.ADC[1][176 + k] = early[k];
  for (int k = 196; k < 200; ++k) st.ADC[1][k] = 2000;
  st.ADC_STAT_SLOPE[4] = 7.0f;
  for (int k = 176; k < 200; ++k) st.ADC[4][k] = static_cast<uint16_t>(100 + 30 * (k - 176));

  EXPECT_TRUE(acq::updateSlope(st, 1.5, 0.02));
  acq::updateCalcPeriod(st);
  EXPECT_NEAR(st.ADC_STAT_SLOPE[1], 2383.33, 0.01);  // 1001 / 0.42
  EXPECT_NEAR(st.ADC_STAT_CALC_PER[1], 1.594, 0.0005);
  EXPECT_EQ(st.ADC_STAT_SLOPE[4], 7.0f);  // a rise of 690 keeps the previous slope
  EXPECT_EQ(st.ADC_STAT_SLOPE[0], 0.0f);  // flat
  EXPECT_TRUE(std::isinf(st.ADC_STAT_CALC_PER[0]));

  st.ADC[1][199] = 1000;
  EXPECT_FALSE(acq::updateSlope(st, 2.5, 0.02));  // exactly one second later: not yet
  EXPECT_NEAR(st.ADC_STAT_SLOPE[1], 2383.33, 0.01);
  EXPECT_TRUE(acq::updateSlope(st, 2.51, 0.02));
  EXPECT_NEAR(st.ADC_STAT_SLOPE[1], (3001 - 1750) / 0.42, 0.01);
}

TEST(AcqAnalysis, ResultTableRefreshesOneColumnPerFrame) {
  AcqState st;
  std::vector<int> columns;
  for (int k = 0; k < 9; ++k) columns.push_back(acq::nextStatsColumn(st));
  EXPECT_EQ(columns, (std::vector<int>{2, 3, 4, 5, 8, 9, 10, 2, 3}));
}

TEST(AcqAnalysis, SumsAreNormalisedByTheirWindows) {
  AcqState st;
  const double divisor[12] = {1, 2, 8, 16, 64, 256, 2048, 16384, 32768, 131072, 524288, 2097152};
  for (int s = 0; s < 12; ++s) {
    st.SumsMaximumsNormalized[3][s][19] = static_cast<float>(divisor[s] * 200);
    st.SumsMaximumsNormalized[3][s][18] = 5;
  }
  acq::normaliseSums(st);
  for (int s = 0; s < 12; ++s) {
    EXPECT_FLOAT_EQ(st.SumsMaximumsNormalized[3][s][19], 200.0f) << s;
    EXPECT_EQ(st.SumsMaximumsNormalized[3][s][18], 5.0f);  // history untouched
  }
}

TEST(AcqAnalysis, RatesStartAtZeroThenFollowTheCountersOverMoreThanThreeSeconds) {
  AcqState st;
  st.Erra = 10;
  st.Lostb = 4;
  EXPECT_FALSE(acq::updateRates(st, 3.0));  // not more than 3 s since "never"
  EXPECT_TRUE(acq::updateRates(st, 3.2));
  EXPECT_EQ(st.Erra_rate, 0);
  EXPECT_EQ(st.Lostb_rate, 0);

  st.Erra = 17;
  EXPECT_FALSE(acq::updateRates(st, 6.0));
  EXPECT_TRUE(acq::updateRates(st, 6.7));  // 3.5 s later, 7 more
  EXPECT_FLOAT_EQ(st.Erra_rate, 2.0f);
  EXPECT_EQ(st.Errb_rate, 0);
  EXPECT_EQ(st.Lostb_rate, 0);

  // Between two computations the rates hold.
  st.Erra = 1000;
  acq::updateRates(st, 7.0);
  EXPECT_FLOAT_EQ(st.Erra_rate, 2.0f);

  // Counters are unsigned 32-bit; one that goes down gives a negative rate.
  st.Erra = static_cast<int32_t>(0x80000000u);
  st.PrevErra = 0x7FFFFFF0;
  st.Losta = 0;
  st.PrevLosta = 40;
  st.LastRateTime = 10.0;
  acq::updateRates(st, 14.0);
  EXPECT_FLOAT_EQ(st.Erra_rate, 4.0f);
  EXPECT_FLOAT_EQ(st.Losta_rate, -10.0f);
}

}  // namespace
