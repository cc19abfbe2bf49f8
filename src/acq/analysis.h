// What the reader derives from a decoded block: the per-channel ADC statistics of FRAMES mode
// (integrator resets, periods, discontinuities, overshoots, extremes, slope and computed
// period), the normalised sums and the error and lost-frame rates of SUMS mode. Pure functions
// over the acquisition state and the time; the displays are in display.h.
#pragma once

#include <cstdint>

#include "acq/acq_state.h"

namespace acq {

// What the ADC statistics of one frame did, for the displays.
struct FrameStats {
  uint8_t resets = 0;  // bit ch set: channel ch saw an integrator reset in this frame
  bool focusReset = false;
  int focusDisc = 0;       // ADC_DISC of the focus channel at its reset
  int focusOvershoot = 0;  // OVERSHOT of the focus channel at its reset, before clearing
};

// Statistics of the newest frame (element 199 against 198) of every channel at time `now`:
// CFC_VAL, resets with their measured period, discontinuities, overshoots, extremes.
// `focus` is the focus channel (outside 0..7: none). The first frame after a break in the
// FRAMES stream (FramesArmed clear, or more than kFramesGap since the last frame) re-arms the
// analysis: it is not compared with the element before it, the running discontinuity and
// overshoot counts restart, and the first reset after it only starts the period timing.
FrameStats analyseFrame(AcqState &st, double now, int focus);

// Falling slope of every channel from the early (176..179) and late (196..199) means, at most
// once a second; `framePeriod` is the measured time per read. True when computed.
bool updateSlope(AcqState &st, double now, double framePeriod);

// Integrator period computed from the slope, every frame (a zero slope gives infinity).
void updateCalcPeriod(AcqState &st);

// Next column of the per-channel result table, refreshed one column per frame: 2, 3, 4, 5, 8,
// 9, 10 in turn.
int nextStatsColumn(AcqState &st);

// Divides element 19 of SumsMaximumsNormalized by the window length of each sum.
void normaliseSums(AcqState &st);

// Error and lost-frame rates over intervals of more than three seconds; the first computation
// only sets the time base and gives 0, and so does a counter that went down (a reset, never a
// negative rate). True when computed.
bool updateRates(AcqState &st, double now);

}  // namespace acq
