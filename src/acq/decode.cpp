#include "acq/decode.h"

#include <climits>
#include <cstring>

#include "hw/block_format.h"

namespace acq {

namespace {

// Word k of a block whose delivered size is known to cover it.
inline int wordAt(const uint8_t *bytes, int64_t k) {
  return bytes[2 * k] | (bytes[2 * k + 1] << 8);
}

inline void countMiss(AcqState &st) {
  if (st.SyncMisses < INT_MAX) ++st.SyncMisses;
}

template <class T, size_t N>
inline void shiftDown(T (&history)[N]) {
  std::memmove(&history[0], &history[1], (N - 1) * sizeof(T));
}

}  // namespace

void unpackChannels(const uint16_t w[5], uint16_t cfc[4], uint16_t adc[4]) {
  cfc[0] = static_cast<uint16_t>(w[0] >> 8);
  adc[0] = static_cast<uint16_t>(((w[0] << 4) & 0xFF0) | (w[1] >> 12));
  cfc[1] = static_cast<uint16_t>((w[1] >> 4) & 0xFF);
  adc[1] = static_cast<uint16_t>(((w[1] << 8) & 0xF00) | (w[2] >> 8));
  cfc[2] = static_cast<uint16_t>(w[2] & 0xFF);
  adc[2] = static_cast<uint16_t>(w[3] >> 4);
  cfc[3] = static_cast<uint16_t>(((w[3] << 4) & 0xF0) | (w[4] >> 12));
  adc[3] = static_cast<uint16_t>(w[4] & 0xFFF);
}

FrameSearch findFrame(const BlockView &block, int frameWords, AcqState &st) {
  FrameSearch r;
  const int64_t n = block.size / 2;  // whole words delivered
  const int64_t s = frameWords;
  const int64_t counter = blk::kFrameCounter;
  const uint8_t *b = block.bytes;
  // A frame length below one word would compare a frame with itself (or before the block).
  if (s >= 1 && b != nullptr) {
    // A position qualifies when its word comes back one frame later with a counter that steps
    // by one (locked: when that word is the learned card number). A constant word inside the
    // frame (a DAC pair, a status word) qualifies too whenever the data word 17 places after it
    // happens to step by one, so among the qualifying positions the one that the following
    // frames of the block confirm the longest is taken; the first one on a tie. A true frame is
    // confirmed to the end of the block, so a lucky data word never wins against it.
    const bool locked = st.CardLocked != 0;
    const int card = st.CardNumber;
    int64_t bestConfirmed = -1;
    for (int64_t i = 0; i + s + counter < n; ++i) {
      const int w0 = wordAt(b, i);
      if ((locked && w0 != card) || wordAt(b, i + s) != w0 ||
          wordAt(b, i + counter) != wordAt(b, i + s + counter) - 1)
        continue;
      int64_t confirmed = 0;
      for (int64_t k = i + s; k + s + counter < n; k += s) {
        if (wordAt(b, k + s) != w0 || wordAt(b, k + counter) != wordAt(b, k + s + counter) - 1)
          break;
        ++confirmed;
      }
      if (confirmed > bestConfirmed) {
        bestConfirmed = confirmed;
        r.start = static_cast<int>(i);
      }
      // No later position can be confirmed by more frames than this one was: it ran to the end.
      if (i + s + confirmed * s + s + counter >= n) break;
    }
  }

  if (st.CardLocked) {
    if (r.start >= 0) {
      st.SyncMisses = 0;
    } else {
      countMiss(st);
      if (st.SyncMisses == 5) st.CardLocked = 0;
    }
  } else if (r.start >= 0) {
    st.CardNumber = static_cast<uint16_t>(wordAt(b, r.start));
    st.CardLocked = 1;
    // Misses counted before the lock do not count against it: five misses from here unlock.
    st.SyncMisses = 0;
    r.learned = true;
  } else {
    countMiss(st);
  }
  return r;
}

void decodeFrame(const BlockView &block, int start, AcqState &st) {
  for (int ch = 0; ch < kChannels; ++ch) {
    shiftDown(st.ADC[ch]);
    shiftDown(st.CFC[ch]);
  }
  st.NewestIndex = kHistory - 1;

  uint16_t w[blk::kFrameCounter + 1];
  for (int k = 0; k <= blk::kFrameCounter; ++k) w[k] = block.word(static_cast<size_t>(start) + k);

  uint16_t cfc[4], adc[4];
  for (int group = 0; group < 2; ++group) {
    unpackChannels(&w[blk::kFrameChannels1to4 + 5 * group], cfc, adc);
    for (int k = 0; k < 4; ++k) {
      st.CFC[4 * group + k][kHistory - 1] = cfc[k];
      st.ADC[4 * group + k][kHistory - 1] = adc[k];
    }
  }
  for (int j = 0; j < 4; ++j) {
    st.DacVal[2 * j] = static_cast<uint8_t>(w[blk::kFrameDacs + j] >> 8);
    st.DacVal[2 * j + 1] = static_cast<uint8_t>(w[blk::kFrameDacs + j] & 0xFF);
  }
  st.FrameCard = w[blk::kFrameCard];
  st.FrameStatus1 = w[blk::kFrameStatus1];
  st.FrameStatus2 = w[blk::kFrameStatus2];
  st.FrameCounter = w[blk::kFrameCounter];
}

void decodeSums(const BlockView &block, AcqState &st) {
  for (int ch = 0; ch < kChannels; ++ch)
    for (int s = 0; s < kSums; ++s) {
      shiftDown(st.SumsMaximums[ch][s]);
      shiftDown(st.SumsMaximumsNormalized[ch][s]);
    }

  constexpr int last = kSumHistory - 1;
  for (int half = 0; half < 2; ++half) {
    const int firstWords = half == 0 ? blk::kSumsCh1to4 : blk::kSumsCh5to8;
    const int secondWords = half == 0 ? blk::kSumsCh1to4Second : blk::kSumsCh5to8Second;
    for (int s = 0; s < kSums; ++s)
      for (int k = 0; k < 4; ++k) {
        const int ch = 4 * half + k;
        const float v = static_cast<float>(block.dword(firstWords + 4 * (4 * s + k)));
        st.SumsMaximums[ch][s][last] = v;
        st.SumsMaximumsNormalized[ch][s][last] = v;
      }
    for (int s = 8; s < kSums; ++s)
      for (int k = 0; k < 4; ++k) {
        const int ch = 4 * half + k;
        const double second = block.dword(secondWords + 4 * (4 * (s - 8) + k));
        // In floating point: 34 times a 32-bit word does not fit 32 bits.
        st.SumsMaximums[ch][s][last] += blk::kSecondWordFactor * second;
        st.SumsMaximumsNormalized[ch][s][last] = st.SumsMaximums[ch][s][last];
      }
  }
}

void decodeStatusCounters(const BlockView &block, AcqState &st) {
  auto word = [&](int n) { return block.dword(blk::kStatusBlock + 4 * n); };
  const uint32_t w0 = word(0);
  st.CardNumber = static_cast<uint16_t>(w0 & 0xFFFF);
  st.FrameNbr = static_cast<int32_t>(w0 >> 16);
  st.Dump = static_cast<int32_t>(word(1));
  st.Frames = static_cast<int32_t>(word(2));
  st.Erra = static_cast<int32_t>(word(3));
  st.Errb = static_cast<int32_t>(word(4));
  st.Errc = static_cast<int32_t>(word(5));
  st.Errd = static_cast<int32_t>(word(6));
  st.Errf = static_cast<int32_t>(word(7));
  st.Acq = static_cast<int32_t>(word(8));
  st.Losta = static_cast<int32_t>(word(9));
  st.Lostb = static_cast<int32_t>(word(10));
  st.Nbrmaxresets = static_cast<int32_t>(word(11));
}

void decodeStatusFlags(const BlockView &block, AcqState &st) {
  auto word = [&](int n) { return block.dword(blk::kStatusBlock + 4 * n); };
  auto byteOf = [](uint32_t v, int shift) { return static_cast<int32_t>((v >> shift) & 0xFF); };

  const uint32_t w12 = word(12);
  st.Statusa = static_cast<int32_t>(w12 & 0xFFFF);
  st.Statusb = static_cast<int32_t>(w12 >> 16);

  const uint32_t dac14 = word(15), dac58 = word(16);
  const int dacShift[4] = {8, 0, 24, 16};  // channels 1, 2, 3, 4 (and 5, 6, 7, 8)
  for (int k = 0; k < 4; ++k) {
    st.DacVal[k] = static_cast<uint8_t>(byteOf(dac14, dacShift[k]));
    st.DacVal[4 + k] = static_cast<uint8_t>(byteOf(dac58, dacShift[k]));
  }

  int32_t *l = st.StatusList;
  l[kStCard] = st.CardNumber;
  l[kStFrame] = st.FrameNbr;
  l[kStDump] = st.Dump;
  l[kStFrames] = st.Frames;
  l[kStErra] = st.Erra;
  l[kStErrb] = st.Errb;
  l[kStErrc] = st.Errc;
  l[kStErrd] = st.Errd;
  l[kStErrf] = st.Errf;
  l[kStAcq] = st.Acq;
  l[kStLosta] = st.Losta;
  l[kStLostb] = st.Lostb;
  l[kStNbrReset] = st.Nbrmaxresets;
  l[kStStatusA] = st.Statusa;
  l[kStStatusB] = st.Statusb;
  l[kStChangeA] = static_cast<int32_t>(word(13));
  l[kStChangeB] = static_cast<int32_t>(word(14));
  for (int k = 0; k < kChannels; ++k) l[kStDac + k] = st.DacVal[k];

  // Fibre A: ascending bytes; fibre B: descending. Words 20/22 carry channels 5..8, 21/23 1..4.
  const uint32_t a58 = word(20), a14 = word(21), b58 = word(22), b14 = word(23);
  for (int k = 0; k < 4; ++k) {
    l[kStMinCountA + k] = byteOf(a14, 8 * k);
    l[kStMinCountA + 4 + k] = byteOf(a58, 8 * k);
    l[kStMinCountB + k] = byteOf(b14, 24 - 8 * k);
    l[kStMinCountB + 4 + k] = byteOf(b58, 24 - 8 * k);
  }
}

int singleValueStart(const BlockView &block) {
  switch ((block.word(2) >> 13) & 3) {
    case 2:
      return 2;
    case 3:
      return 4;
    default:
      return 3;
  }
}

void decodeSingleValue(const BlockView &block, SingleValueBlock &out) {
  const size_t start = static_cast<size_t>(singleValueStart(block));
  for (int j = 0; j < kSingleSamples; ++j) {
    out.zeros[j] = 0;
    out.cfc[j] = block.word(start + 3 * j) & 0xFF;
    out.adc[j] = block.word(start + 3 * j + 1) & 0xFFF;
  }
  out.zeros[kSingleSamples] = out.cfc[kSingleSamples] = out.adc[kSingleSamples] = 0;
}

void storeDemoSample(AcqState &st, uint16_t adc, uint16_t cfc) {
  if (st.NewestIndex > kHistory - 1) {
    st.NewestIndex = kHistory - 1;
    shiftDown(st.ADC[0]);
    shiftDown(st.CFC[0]);
  }
  if (st.NewestIndex < 0) st.NewestIndex = 0;
  st.ADC[0][st.NewestIndex] = adc;
  st.CFC[0][st.NewestIndex] = cfc;
  ++st.NewestIndex;
}

}  // namespace acq
