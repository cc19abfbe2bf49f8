#include "sim/blocks.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "hw/block_format.h"
#include "sim/block_encode.h"

namespace sim {
namespace {

uint64_t frameIndex(const Board &board, double t) {
  const double f = std::floor((t - board.powerOnTime()) / kFrameSeconds);
  return f > 0.0 ? static_cast<uint64_t>(f) : 0;
}

double frameEnd(const Board &board, uint64_t k) {
  return board.powerOnTime() + static_cast<double>(k + 1) * kFrameSeconds;
}

// One frame of the board's stream: card number, status words, packed channels, DACs and the
// frame counter; words beyond 17 are zero.
struct FrameBuilder {
  const Board &board;
  uint16_t status1;
  uint16_t status2;
  uint16_t dacs[4];
  uint64_t cached = ~0ull;
  uint16_t words[64] = {};
  int64_t prevN[kChannels] = {};
  uint64_t prevK = ~0ull;

  FrameBuilder(const Board &b, double t) : board(b) {
    status1 = b.statusA(t);
    status2 = reverse16(b.statusB(t));  // frames carry status B bit-reversed
    for (int j = 0; j < 4; ++j)
      dacs[j] = static_cast<uint16_t>((b.dacAt(2 * j, t) << 8) | b.dacAt(2 * j + 1, t));
  }

  const uint16_t *build(uint64_t k) {
    if (k == cached) return words;
    cached = k;
    const double tk = frameEnd(board, k);
    uint8_t cfc[kChannels];
    uint16_t adc[kChannels];
    for (int c = 0; c < kChannels; ++c) {
      const ChannelState s = board.stateAt(c, tk);
      const int64_t before =
          (prevK != ~0ull && prevK + 1 == k) ? prevN[c] : board.stateAt(c, tk - kFrameSeconds).n;
      const int64_t d = s.n - before;
      cfc[c] = static_cast<uint8_t>(std::clamp<int64_t>(d, 0, kMaxCountsPerFrame));
      adc[c] = static_cast<uint16_t>(board.adcAt(c, s, k));
      prevN[c] = s.n;
    }
    prevK = k;
    std::memset(words, 0, sizeof words);
    words[blk::kFrameCard] = board.config().cardNumber;
    words[blk::kFrameStatus1] = status1;
    words[blk::kFrameStatus2] = status2;
    packChannels(cfc, adc, &words[blk::kFrameChannels1to4]);
    packChannels(cfc + 4, adc + 4, &words[blk::kFrameChannels5to8]);
    for (int j = 0; j < 4; ++j) words[blk::kFrameDacs + j] = dacs[j];
    words[blk::kFrameCounter] = static_cast<uint16_t>(k & 0xFFFF);
    return words;
  }
};

}  // namespace

void fillFrames(const Board &board, uint8_t *buf, uint32_t size, double t) {
  const int f = board.config().frameWords;
  const uint64_t nWords = (static_cast<uint64_t>(size) + 1) / 2;
  // The stream runs at f words per frame period; the block ends with the newest word.
  const double produced = std::floor((t - board.powerOnTime()) / kFrameSeconds * f);
  uint64_t end = produced > 0.0 ? static_cast<uint64_t>(produced) : 0;
  if (end < nWords) end = nWords;
  const uint64_t start = end - nWords;
  FrameBuilder fb(board, t);
  for (uint64_t w = start; w < end; ++w) {
    const uint16_t *frame = fb.build(w / f);
    putWord(buf, size, static_cast<uint32_t>(2 * (w - start)), frame[w % f]);
  }
}

void fillSums(const Board &board, const Fpga &fpga, DeliveryCounters &counters, uint8_t *buf,
              uint32_t size, double t) {
  std::memset(buf, 0, size);
  const double p = board.powerOnTime();
  const uint64_t k = frameIndex(board, t);
  const double tf = p + static_cast<double>(k) * kFrameSeconds;
  for (int c = 0; c < kChannels; ++c) {
    const int64_t now = board.stateAt(c, tf).n;
    const uint32_t group = c < 4 ? blk::kSumsCh1to4 : blk::kSumsCh5to8;
    const uint32_t second = c < 4 ? blk::kSumsCh1to4Second : blk::kSumsCh5to8Second;
    const int pos = c % 4;
    for (int s = 0; s < blk::kSumCount; ++s) {
      const double window = blk::kSumDivisor[s] * kFrameSeconds;
      const int64_t d = now - board.stateAt(c, tf - window).n;
      const uint32_t sum = static_cast<uint32_t>(std::clamp<int64_t>(d, 0, 0xFFFFFFFFll));
      if (s < 8) {
        putLong(buf, size, group + 4 * (4 * s + pos), sum);
      } else {
        uint32_t first = 0, high = 0;
        splitLongSum(sum, first, high);
        putLong(buf, size, group + 4 * (4 * s + pos), first);
        putLong(buf, size, second + 4 * (4 * (s - 8) + pos), high);
      }
    }
  }
  const BoardConfig &cfg = board.config();
  const uint16_t a = board.statusA(t);
  const uint16_t b = board.statusB(t);
  uint32_t st[blk::kStatusWords] = {};
  st[0] = cfg.cardNumber | static_cast<uint32_t>(k & 0xFFFF) << 16;
  st[1] = counters.dumps;
  const double since = std::floor((t - board.countersSince()) / kFrameSeconds);
  st[2] = since >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(std::max(0.0, since));
  st[3] = board.fibreCounter(cfg.crcA, t);
  st[4] = board.fibreCounter(cfg.crcB, t);
  st[5] = board.fibreCounter(cfg.errC, t);
  st[6] = board.fibreCounter(cfg.errD, t);
  st[7] = board.fibreCounter(cfg.errF, t);
  st[8] = counters.acquisitions;
  st[9] = board.fibreCounter(cfg.lostA, t);
  st[10] = board.fibreCounter(cfg.lostB, t);
  st[11] = fpga.fpgaResets;
  st[12] = a | static_cast<uint32_t>(b) << 16;
  st[13] = static_cast<uint16_t>(a ^ counters.lastStatusA);
  st[14] = static_cast<uint16_t>(b ^ counters.lastStatusB);
  uint32_t dac[kChannels];
  uint32_t minc[kChannels];
  for (int c = 0; c < kChannels; ++c) {
    dac[c] = board.dacAt(c, t);
    minc[c] = board.minCountPerFrame(c);
  }
  st[15] = dac[0] << 8 | dac[1] | dac[2] << 24 | dac[3] << 16;
  st[16] = dac[4] << 8 | dac[5] | dac[6] << 24 | dac[7] << 16;
  st[20] = minc[4] | minc[5] << 8 | minc[6] << 16 | minc[7] << 24;
  st[21] = minc[0] | minc[1] << 8 | minc[2] << 16 | minc[3] << 24;
  st[22] = minc[4] << 24 | minc[5] << 16 | minc[6] << 8 | minc[7];
  st[23] = minc[0] << 24 | minc[1] << 16 | minc[2] << 8 | minc[3];
  for (int n = 0; n < blk::kStatusWords; ++n) putLong(buf, size, blk::kStatusBlock + 4 * n, st[n]);
  counters.lastStatusA = a;
  counters.lastStatusB = b;
  ++counters.acquisitions;
}

void fillSingleValue(const Board &board, int channel, uint8_t *buf, uint32_t size, double t) {
  const uint64_t nWords = (static_cast<uint64_t>(size) + 1) / 2;
  // One triplet per frame, so three words per frame period.
  const double produced = std::floor((t - board.powerOnTime()) / kFrameSeconds * 3.0);
  uint64_t end = produced > 0.0 ? static_cast<uint64_t>(produced) : 0;
  if (end < nWords) end = nWords;
  const uint64_t start = end - nWords;
  uint64_t cachedK = ~0ull;
  uint8_t cfc = 0;
  uint16_t adc = 0;
  for (uint64_t w = start; w < end; ++w) {
    const uint64_t k = w / 3;
    if (k != cachedK) {
      const double tk = frameEnd(board, k);
      const ChannelState s = board.stateAt(channel, tk);
      const int64_t d = s.n - board.stateAt(channel, tk - kFrameSeconds).n;
      cfc = static_cast<uint8_t>(std::clamp<int64_t>(d, 0, kMaxCountsPerFrame));
      adc = static_cast<uint16_t>(board.adcAt(channel, s, k));
      cachedK = k;
    }
    putWord(buf, size, static_cast<uint32_t>(2 * (w - start)),
            singleValueWord(static_cast<int>(w % 3), cfc, adc, static_cast<uint16_t>(k)));
  }
}

void fillQuiet(const Fpga &fpga, DeliveryCounters &counters, uint8_t *buf, uint32_t size) {
  ++counters.dumps;
  std::memset(buf, 0, size);
  if (fpga.regs().readoutMode != 0x40) return;
  putLong(buf, size, blk::kStatusBlock + 4 * 1, counters.dumps);
  putLong(buf, size, blk::kStatusBlock + 4 * 8, counters.acquisitions);
  putLong(buf, size, blk::kStatusBlock + 4 * 11, fpga.fpgaResets);
  counters.lastStatusA = 0;
  counters.lastStatusB = 0;
  ++counters.acquisitions;
}

void fillBlock(const Board &board, const Fpga &fpga, DeliveryCounters &counters, uint8_t *buf,
               uint32_t size, double t) {
  ++counters.dumps;
  const FpgaRegisters &r = fpga.regs();
  switch (r.readoutMode) {
    case 0x40:
      fillSums(board, fpga, counters, buf, size, t);
      break;
    case 0x30: {
      // 0xA1 with 1..8 names channels 1..8 of fibre A, 0xA0 with 0x11..0x18 those of fibre B;
      // both fibres carry the same channels.
      const int ch = r.singleValue[0] == 0xA1 ? r.singleValue[1] - 1 : r.singleValue[1] - 0x11;
      fillSingleValue(board, std::clamp(ch, 0, kChannels - 1), buf, size, t);
      break;
    }
    default:  // FRAMES, and RAWDATA: the same word stream as it comes off the fibre
      fillFrames(board, buf, size, t);
      break;
  }
}

}  // namespace sim
