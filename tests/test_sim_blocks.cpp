// The simulated FPGA's data blocks against the decoding formulas the program uses: the packed
// channel fields, the long sums with their 34-factor second words, the status block, the
// SINGLE_VALUE position code, and a FRAMES stream that synchronises on the card number.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "../sim/block_encode.h"
#include "../sim/testing/harness.h"
#include "support/test_env.h"

namespace {

simtest::SimLibrary &lib() {
  static simtest::SimLibrary l(testenv::simLibrary());
  return l;
}

// The decoding formulas, written out independently of the encoders.
struct Fields {
  unsigned cfc[4], adc[4];
};
Fields decode(const uint16_t w[5]) {
  const unsigned w3 = w[0], w4 = w[1], w5 = w[2], w6 = w[3], w7 = w[4];
  return {{w3 >> 8, (w4 >> 4) & 0xFF, w5 & 0xFF, ((w6 << 4) & 0xF0) | (w7 >> 12)},
          {((w3 << 4) & 0xFF0) | (w4 >> 12), ((w4 << 8) & 0xF00) | (w5 >> 8), w6 >> 4, w7 & 0xFFF}};
}

TEST(SimEncode, PackedChannelsFollowTheWorkedExampleAndRoundTrip) {
  const uint8_t cfc[4] = {0x00, 0x45, 0x9A, 0xEF};
  const uint16_t adc[4] = {0x123, 0x678, 0xBCD, 0x012};
  uint16_t w[5];
  sim::packChannels(cfc, adc, w);
  const uint16_t expected[5] = {0x0012, 0x3456, 0x789A, 0xBCDE, 0xF012};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(w[i], expected[i]) << i;
  std::mt19937 rng(7);
  for (int n = 0; n < 1000; ++n) {
    uint8_t c[4];
    uint16_t a[4];
    for (int i = 0; i < 4; ++i) {
      c[i] = static_cast<uint8_t>(rng());
      a[i] = static_cast<uint16_t>(rng() & 0xFFF);
    }
    sim::packChannels(c, a, w);
    const Fields f = decode(w);
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(f.cfc[i], c[i]);
      ASSERT_EQ(f.adc[i], a[i]);
    }
  }
}

TEST(SimEncode, LongSumsDecodeAsFirstPlus34TimesSecond) {
  for (uint32_t s : {0u, 1u, 33u, 34u, 67u, 68u, 168u, 4194304u, 419430400u, 0xFFFFFFFFu}) {
    uint32_t first = 0, second = 0;
    sim::splitLongSum(s, first, second);
    EXPECT_EQ(static_cast<uint64_t>(first) + 34ull * second, s) << s;
    if (s >= 68) {
      EXPECT_GT(second, 0u) << "the second word carries part of " << s;
    }
  }
  EXPECT_EQ(sim::reverse16(0x0001), 0x8000);
  EXPECT_EQ(sim::reverse16(0x80F1), 0x8F01);
}

// Frame search of the reader: the first i with w[i] == w[i+S] and counters stepping by one.
int findFrame(const std::vector<uint8_t> &b, int s) {
  const int n = static_cast<int>(b.size() / 2);
  for (int i = 0; i + s + 17 < n; ++i)
    if (simtest::word(b, i) == simtest::word(b, i + s) &&
        simtest::word(b, i + 17) + 1 == simtest::word(b, i + s + 17))
      return i;
  return -1;
}

TEST(SimBlocks, FramesStreamCarriesCardStatusChannelsDacsAndCounter) {
  simtest::Bench b(lib());
  b.mode(0x20);
  b.linkedSources(1000, 7, 1, false);  // 1 mA on every channel
  b.wait(0.5);
  std::set<int> starts;
  for (int r = 0; r < 20; ++r) {
    b.wait(0.02);
    const std::vector<uint8_t> blk = b.block(1000);
    ASSERT_EQ(blk.size(), 1000u);
    const int i = findFrame(blk, 20);
    ASSERT_GE(i, 0);
    starts.insert(i);
    const QuickUsbSimState s = b.state();
    EXPECT_EQ(simtest::word(blk, i), 317);
    EXPECT_EQ(simtest::word(blk, i + 1), s.statusA);
    EXPECT_EQ(simtest::word(blk, i + 2), sim::reverse16(s.statusB));
    // Every frame of the block follows the one before it.
    for (int k = i; k + 20 + 17 < 500; k += 20)
      EXPECT_EQ(static_cast<uint16_t>(simtest::word(blk, k + 17) + 1),
                simtest::word(blk, k + 20 + 17));
    uint16_t w[5];
    for (int g = 0; g < 2; ++g) {
      for (int j = 0; j < 5; ++j) w[j] = simtest::word(blk, i + 3 + 5 * g + j);
      const Fields f = decode(w);
      for (int c = 0; c < 4; ++c) {
        EXPECT_NEAR(f.cfc[c], 200.0, 1.0);
        EXPECT_LE(f.adc[c], 3960u);
        EXPECT_GE(f.adc[c], 140u);
      }
    }
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(simtest::word(blk, i + 13 + j) >> 8, s.dac[2 * j]);
      EXPECT_EQ(simtest::word(blk, i + 13 + j) & 0xFF, s.dac[2 * j + 1]);
    }
  }
  EXPECT_GT(starts.size(), 3u) << "blocks start at arbitrary words";
}

TEST(SimBlocks, SumsBlockLayoutAndStatusWords) {
  simtest::Bench b(lib());
  b.mode(0x40);
  b.linkedSources(1000, 4, 1, false);  // 1 uA: 0.2 counts per frame
  b.wait(100.0);
  const std::vector<uint8_t> blk = b.block(1024);
  const QuickUsbSimState s = b.state();
  const uint32_t w0 = simtest::long32(blk, 514);
  EXPECT_EQ(w0 & 0xFFFF, 317u);
  // The frame number of the read, a few calls before the inspection.
  const uint32_t frameNow = static_cast<uint32_t>(s.boardTime / 40e-6) & 0xFFFF;
  EXPECT_LE((frameNow - (w0 >> 16)) & 0xFFFF, 20u);
  EXPECT_EQ(simtest::long32(blk, 514 + 4 * 12), s.statusA | static_cast<uint32_t>(s.statusB) << 16);
  const uint32_t d1 = simtest::long32(blk, 514 + 4 * 15), d2 = simtest::long32(blk, 514 + 4 * 16);
  const uint8_t dacs[8] = {uint8_t(d1 >> 8), uint8_t(d1), uint8_t(d1 >> 24), uint8_t(d1 >> 16),
                           uint8_t(d2 >> 8), uint8_t(d2), uint8_t(d2 >> 24), uint8_t(d2 >> 16)};
  for (int c = 0; c < 8; ++c) EXPECT_EQ(dacs[c], s.dac[c]);
  // Sums: normalised by their window they give the counts per frame of the current.
  for (int ch = 0; ch < 8; ++ch) {
    const int group = ch < 4 ? 2 : 258, second = ch < 4 ? 194 : 450, k = ch % 4;
    const double expected = s.currentAmps[ch] * 40e-6 / 200e-12;
    EXPECT_NEAR(expected, 0.2, 0.002);
    for (int sum = 4; sum < 12; ++sum) {
      double v = simtest::long32(blk, group + 4 * (4 * sum + k));
      if (sum >= 8) v += 34.0 * simtest::long32(blk, second + 4 * (4 * (sum - 8) + k));
      const double div = blk::kSumDivisor[sum];
      EXPECT_NEAR(v / div, expected, 1.0 / div + 1e-9) << "channel " << ch + 1 << " sum " << sum;
    }
  }
}

TEST(SimBlocks, SingleValueTripletsCarryTheirPositionCode) {
  simtest::Bench b(lib());
  b.mode(0x30);
  b.command(0x40, 0xA1, 0x03);        // channel 3
  b.linkedSources(500, 7, 1, false);  // 0.5 mA: 100 counts per frame
  std::set<int> codes;
  // Reads at spread times (the module's seeded latency spreads them too) see every phase.
  for (int r = 0; r < 30; ++r) {
    b.wait(0.001 + r * 1.37e-5);
    const std::vector<uint8_t> blk = b.block(606);
    const int code = (simtest::word(blk, 2) >> 13) & 3;
    codes.insert(code);
    const int start = code == 2 ? 2 : code == 3 ? 4 : 3;
    for (int t = 0; t < 99; ++t) {
      const uint16_t c = simtest::word(blk, start + 3 * t),
                     a = simtest::word(blk, start + 3 * t + 1);
      ASSERT_EQ((c >> 13) & 3, 2) << "CFC word";
      ASSERT_EQ((a >> 13) & 3, 3) << "ADC word";
      EXPECT_NEAR(c & 0xFF, 100.0, 1.0);
    }
  }
  EXPECT_EQ(codes.size(), 3u) << "all three phases of the triplet stream seen";
}

TEST(SimBlocks, RequestedSizesAreDeliveredAndOversizedReadsRefused) {
  simtest::Bench b(lib());
  b.mode(0x10);
  for (uint32_t n : {1u, 999u, 1000u, 100000u}) {
    std::vector<uint8_t> buf(n + 8, 0xEE);
    unsigned long len = n;
    ASSERT_NE(lib().readData(b.dev, buf.data(), &len), 0);
    EXPECT_EQ(len, n);
    EXPECT_EQ(buf[n], 0xEE) << "nothing written past the request";
  }
  uint8_t byte = 0;
  unsigned long len = (16u << 20) + 1;
  EXPECT_EQ(lib().readData(b.dev, &byte, &len), 0);
  EXPECT_EQ(lib().readData(b.dev, nullptr, &len), 0);
}

}  // namespace
