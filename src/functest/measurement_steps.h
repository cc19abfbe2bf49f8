// The measurement steps: the 10 pA measurement of the bias periods, the 200-counts measurement
// of each channel, and the calibration that does both in one step.
//
// They share the slope page of the test panel, the running means of every channel (ChannelMeans
// in TestState, updated on each call from the newest CFC count and measured integrator period),
// and the channel phase: one channel at a time on the 200-counts setup (record 0) while the
// others rest on the bias setup (record 9), until its smoothed count has stayed in a window for
// a number of consecutive calls or the operator gives the channel up.
#pragma once

#include "functest/step.h"

namespace functest {

// Current-setup records with a fixed role.
inline constexpr int k200CountsSetup = 0;
inline constexpr int kBiasCurrentSetup = 9;

// The running-mean update of one call, for every channel: a new measured period is averaged
// into PERIODE_MEAN (2:1) or, more than 10 s away from it, replaces it; the count mean follows
// CFC_VAL (2:1), restarted by a jump of more than 10 counts upwards while no in-window run is
// counting. With `deriveCurrent` an averaged period also gives Current10pA = 200 / mean (0 when
// the mean is 0). The slope page shows the channel under test and the table the means.
void UpdateRunningMeans(TestContext &t, bool deriveCurrent);

// How a call of the channel phase ended for the channel under test.
enum class ChannelOutcome { Waiting, Done, Skipped };

// One call of the channel phase: the window test of COUNTS_MEAN in [low, high] (`need`
// consecutive calls complete the channel), the channel under test on the 200-counts setup, the
// previous one back on the bias setup, the channel's LED; then the operator's skip or the
// completion, reported as a "CALIBRATION 200 Counts CH%d : %.2f " line. One channel per call:
// when the skip and the completion fall in the same call the completion counts and the skip is
// cleared. ChannelUnderTest then points to the next channel (8 after the last).
ChannelOutcome ChannelPhase(TestContext &t, float low, float high, int need);

class Measure200Counts final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;
};

class CalibrateChannel final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;
};

class Measure10pA final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;
};

}  // namespace functest
