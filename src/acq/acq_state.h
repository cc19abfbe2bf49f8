// The shared acquisition state: everything the block reader fills and the test steps read.
// Histories keep the newest element at the highest index (ADC[ch][199], SumsMaximums[ch][s][19])
// and are shifted down in place by one per decoded block.
#pragma once

#include <cstdint>

namespace acq {

inline constexpr int kChannels = 8;
inline constexpr int kHistory = 200;       // ADC / CFC history per channel
inline constexpr int kSumHistory = 20;     // SUMS history per channel and sum
inline constexpr int kSums = 12;           // running sums per channel
inline constexpr int kStatusList = 41;     // status values shown and recorded per SUMS block
inline constexpr int kStatusShown = 33;    // of which the status table shows the first 33
inline constexpr int kSingleSamples = 99;  // SINGLE_VALUE samples per block
inline constexpr int kSingleArray = 100;   // length of the three SINGLE_VALUE arrays

// Integrator thresholds of the ADC statistics.
inline constexpr int kResetJump = 3300;     // a rise above this is an integrator reset
inline constexpr int kDiscontinuity = 20;   // a step above this is a discontinuity
inline constexpr int kOvershoot = 4090;     // an ADC value above this is an overshoot
inline constexpr uint16_t kAdcFull = 4095;  // saturated maximum, cleared at the next reset
inline constexpr int kSlopeEarly = 176;     // first sample of the early mean of the slope
inline constexpr int kSlopeLate = 196;      // first sample of the late mean of the slope
inline constexpr int kSlopeRange = 500;     // the slope is taken only below this rise
inline constexpr double kSlopeSpanFrames = 21.0;
inline constexpr float kAdcSwing = 3800.0f;  // ADC counts of one integrator cycle
// Two FRAMES frames further apart than this (s) belong to different streams: the acquisition
// was held up or off in between, so their difference says nothing of the board.
inline constexpr double kFramesGap = 1.0;

// The status values of one SUMS block in the order they are shown and recorded.
enum StatusIndex : int {
  kStCard = 0,
  kStFrame = 1,
  kStDump = 2,
  kStFrames = 3,
  kStErra = 4,
  kStErrb = 5,
  kStErrc = 6,
  kStErrd = 7,
  kStErrf = 8,
  kStAcq = 9,
  kStLosta = 10,
  kStLostb = 11,
  kStNbrReset = 12,
  kStStatusA = 13,
  kStStatusB = 14,
  kStChangeA = 15,
  kStChangeB = 16,
  kStDac = 17,        // 8 values
  kStMinCountA = 25,  // 8 values, channels 1..8 on fibre A
  kStMinCountB = 33,  // 8 values, channels 1..8 on fibre B
};

struct AcqState {
  // ---- frame values and histories
  uint16_t ADC[kChannels][kHistory] = {};
  uint16_t CFC[kChannels][kHistory] = {};
  int16_t CFC_VAL[kChannels] = {};
  uint8_t DacVal[kChannels] = {};
  uint16_t CardNumber = 1;

  // ---- SUMS status block
  int32_t FrameNbr = 0;
  int32_t Dump = 0, Frames = 0, Acq = 0;
  int32_t Erra = 0, Errb = 0;
  int32_t Errc = 0, Errd = 0, Errf = 0;
  int32_t Losta = 0, Lostb = 0;
  int32_t Nbrmaxresets = 0;
  int32_t Statusa = 0, Statusb = 0;
  int32_t StatusList[kStatusList] = {};  // the 41 values of the newest status block

  // ---- rates (increase per second over the last rate interval)
  float Erra_rate = 0, Errb_rate = 0, Losta_rate = 0, Lostb_rate = 0;

  // ---- running sums
  float SumsMaximums[kChannels][kSums][kSumHistory] = {};
  float SumsMaximumsNormalized[kChannels][kSums][kSumHistory] = {};

  // ---- ADC statistics
  uint16_t ADC_MIN[kChannels] = {};
  uint16_t ADC_MAX[kChannels] = {};
  int16_t ADC_DISC[kChannels] = {};
  int16_t ADC_DISC_TEMP[kChannels] = {};
  int32_t OVERSHOT[kChannels] = {};
  double ADC_TIMER[kChannels] = {};
  float ADC_STAT_PERIODE[kChannels] = {};
  // When the period in ADC_STAT_PERIODE (and the count in ADC_DISC) began: the reset that
  // opened it. A step trusts a period only when this lies after its own start.
  double ADC_PERIOD_START[kChannels] = {};
  // A reset of the running stream has started ADC_TIMER: the next one measures a period.
  bool ResetSeen[kChannels] = {};
  float ADC_STAT_SLOPE[kChannels] = {};
  float ADC_STAT_CALC_PER[kChannels] = {};

  // ---- the newest FRAMES frame, held for the frame text, the status lights and the record
  uint16_t FrameCard = 0;     // word 0
  uint16_t FrameStatus1 = 0;  // word 1
  uint16_t FrameStatus2 = 0;  // word 2
  uint16_t FrameCounter = 0;  // word 17

  // ---- synchronisation of the FRAMES stream
  int CardLocked = 0;
  int SyncMisses = 0;
  int NewestIndex = 0;

  // ---- analysis bookkeeping
  // The newest history element before this frame belongs to the same unbroken FRAMES stream.
  // Cleared at start-up, by a block of another mode and when the acquisition starts or stops.
  bool FramesArmed = false;
  double LastFramesTime = 0;  // time of the last analysed FRAMES frame
  double LastSlopeTime = 0;
  int StatsColumnStep = 0;
  double LastRateTime = 0;
  int32_t PrevErra = 0, PrevErrb = 0, PrevLosta = 0, PrevLostb = 0;
};

}  // namespace acq
