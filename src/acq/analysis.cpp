#include "acq/analysis.h"

#include <cstdint>
#include <limits>

#include "hw/block_format.h"

namespace acq {

namespace {

template <class T>
inline void increment(T &counter) {
  if (counter < std::numeric_limits<T>::max()) ++counter;
}

}  // namespace

FrameStats analyseFrame(AcqState &st, double now, int focus) {
  FrameStats r;
  constexpr int newest = kHistory - 1;
  // The first frame of a stream is only the reference of the next one: it is not compared with
  // what the history held before the break, the running counts start afresh, and no period is
  // timed across the break.
  const bool armed = st.FramesArmed && now - st.LastFramesTime <= kFramesGap;
  if (!armed) {
    for (int ch = 0; ch < kChannels; ++ch) {
      st.ADC_DISC_TEMP[ch] = 0;
      st.OVERSHOT[ch] = 0;
      st.ResetSeen[ch] = false;
    }
  }
  st.FramesArmed = true;
  st.LastFramesTime = now;
  for (int ch = 0; ch < kChannels; ++ch) {
    const int cur = st.ADC[ch][newest];
    const int prev = st.ADC[ch][newest - 1];
    st.CFC_VAL[ch] = static_cast<int16_t>(st.CFC[ch][newest]);

    if (armed && cur - prev > kResetJump) {
      // The first reset of a stream only starts the timing; each later one closes a period.
      if (st.ResetSeen[ch]) {
        st.ADC_STAT_PERIODE[ch] = static_cast<float>(now - st.ADC_TIMER[ch]);
        st.ADC_PERIOD_START[ch] = st.ADC_TIMER[ch];
        st.ADC_DISC[ch] = st.ADC_DISC_TEMP[ch];
        r.resets = static_cast<uint8_t>(r.resets | (1u << ch));
        if (ch == focus) {
          r.focusReset = true;
          r.focusDisc = st.ADC_DISC[ch];
          r.focusOvershoot = st.OVERSHOT[ch];
        }
      }
      st.ResetSeen[ch] = true;
      st.ADC_TIMER[ch] = now;
      st.OVERSHOT[ch] = 0;
      st.ADC_DISC_TEMP[ch] = 0;
      if (st.ADC_MAX[ch] == kAdcFull) st.ADC_MAX[ch] = 0;
    } else if (armed && (cur - prev > kDiscontinuity || prev - cur > kDiscontinuity)) {
      increment(st.ADC_DISC_TEMP[ch]);
    }
    if (cur > kOvershoot) increment(st.OVERSHOT[ch]);
    if (cur < st.ADC_MIN[ch]) st.ADC_MIN[ch] = static_cast<uint16_t>(cur);
    if (cur > st.ADC_MAX[ch]) st.ADC_MAX[ch] = static_cast<uint16_t>(cur);
  }
  return r;
}

bool updateSlope(AcqState &st, double now, double framePeriod) {
  if (!(now - st.LastSlopeTime > 1.0)) return false;
  st.LastSlopeTime = now;
  for (int ch = 0; ch < kChannels; ++ch) {
    const uint16_t *a = st.ADC[ch];
    if (int(a[kHistory - 1]) - int(a[kSlopeEarly]) >= kSlopeRange) continue;
    const int early =
        (a[kSlopeEarly] + a[kSlopeEarly + 1] + a[kSlopeEarly + 2] + a[kSlopeEarly + 3]) / 4;
    const int late =
        (a[kSlopeLate] + a[kSlopeLate + 1] + a[kSlopeLate + 2] + a[kSlopeLate + 3]) / 4;
    st.ADC_STAT_SLOPE[ch] = static_cast<float>((early - late) / (kSlopeSpanFrames * framePeriod));
  }
  return true;
}

void updateCalcPeriod(AcqState &st) {
  for (int ch = 0; ch < kChannels; ++ch)
    st.ADC_STAT_CALC_PER[ch] = kAdcSwing / st.ADC_STAT_SLOPE[ch];
}

int nextStatsColumn(AcqState &st) {
  static constexpr int kColumn[8] = {0, 2, 3, 4, 5, 8, 9, 10};
  ++st.StatsColumnStep;
  if (st.StatsColumnStep < 1 || st.StatsColumnStep > 7) st.StatsColumnStep = 1;
  const int column = kColumn[st.StatsColumnStep];
  if (st.StatsColumnStep == 7) st.StatsColumnStep = 0;
  return column;
}

void normaliseSums(AcqState &st) {
  for (int ch = 0; ch < kChannels; ++ch)
    for (int s = 0; s < kSums; ++s)
      st.SumsMaximumsNormalized[ch][s][kSumHistory - 1] = static_cast<float>(
          st.SumsMaximumsNormalized[ch][s][kSumHistory - 1] / blk::kSumDivisor[s]);
}

bool updateRates(AcqState &st, double now) {
  if (!(now - st.LastRateTime > 3.0)) return false;
  const double elapsed = now - st.LastRateTime;
  auto rate = [elapsed](int32_t counter, int32_t previous) {
    // Both as unsigned 32-bit values. A counter that went down was reset (or its module went
    // away): that interval has no rate, and the new value is the base of the next one.
    if (uint32_t(counter) < uint32_t(previous)) return 0.0f;
    return static_cast<float>((double(uint32_t(counter)) - double(uint32_t(previous))) / elapsed);
  };
  if (st.LastRateTime == 0.0) {
    st.Erra_rate = st.Errb_rate = st.Losta_rate = st.Lostb_rate = 0;
  } else {
    st.Erra_rate = rate(st.Erra, st.PrevErra);
    st.Errb_rate = rate(st.Errb, st.PrevErrb);
    st.Losta_rate = rate(st.Losta, st.PrevLosta);
    st.Lostb_rate = rate(st.Lostb, st.PrevLostb);
  }
  st.PrevErra = st.Erra;
  st.PrevErrb = st.Errb;
  st.PrevLosta = st.Losta;
  st.PrevLostb = st.Lostb;
  st.LastRateTime = now;
  return true;
}

}  // namespace acq
