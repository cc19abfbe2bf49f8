// Block decoders and the frame search with its lock. Blocks are vectors of exactly the delivered
// size, so that the sanitizers see any read past them.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "acq/decode.h"

namespace {

using acq::AcqState;
using Bytes = std::vector<uint8_t>;

acq::BlockView view(const Bytes &b, size_t size = ~size_t{0}) {
  return {b.data(), static_cast<uint32_t>(std::min(size, b.size()))};
}
void word(Bytes &b, size_t k, uint16_t v) { b.at(2 * k) = v & 0xFF, b.at(2 * k + 1) = v >> 8; }
void dword(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = (v >> (8 * i)) & 0xFF;
}
// 1000 bytes of 20-word frames of `card` from word `first`, counters from `counter`.
Bytes frames(uint16_t card, uint16_t counter, size_t first = 0) {
  Bytes b(1000, 0);
  for (size_t at = first; at + 18 <= 500; at += 20) word(b, at, card), word(b, at + 17, counter++);
  return b;
}

TEST(AcqDecode, UnpacksTheChannelFields) {
  const uint16_t w[5] = {0x12, 0x3456, 0x789A, 0xBCDE, 0xF012};
  uint16_t cfc[4], adc[4];
  acq::unpackChannels(w, cfc, adc);
  EXPECT_EQ(std::vector<int>(cfc, cfc + 4), (std::vector<int>{0x00, 0x45, 0x9A, 0xEF}));
  EXPECT_EQ(std::vector<int>(adc, adc + 4), (std::vector<int>{0x123, 0x678, 0xBCD, 0x012}));
}

TEST(AcqDecode, FrameSearchLearnsLocksUnlocksAndRelocks) {
  AcqState st;
  Bytes two(1000, 0);
  word(two, 0, 0x21), word(two, 17, 7), word(two, 20, 0x21), word(two, 37, 8);
  EXPECT_TRUE(acq::findFrame(view(two), 20, st).learned);
  EXPECT_EQ(st.CardNumber, 0x21);
  // Locked on 5: another card's frames miss; the fifth miss in a row unlocks, then it relocks.
  st.CardNumber = 5;
  const Bytes card6 = frames(6, 10, 13);
  for (int k = 1; k <= 5; ++k) {
    EXPECT_EQ(acq::findFrame(view(card6), 20, st).start, -1);
    EXPECT_EQ(st.CardLocked, k < 5 ? 1 : 0) << k;
  }
  EXPECT_EQ(acq::findFrame(view(card6), 20, st).start, 13);
  EXPECT_EQ(st.CardNumber, 6);
  // A hit clears the misses; other cards' frames before it are passed over.
  Bytes mixed = frames(7, 1);
  for (size_t at = 200; at < 500; at += 20) word(mixed, at, 6);
  acq::findFrame(view(frames(9, 1)), 20, st);
  EXPECT_EQ(acq::findFrame(view(mixed), 20, st).start, 200);
  EXPECT_EQ(st.SyncMisses, 0);
  // Misses before a lock do not count against it: five misses after it still unlock.
  AcqState fresh;
  for (int k = 0; k < 7; ++k) acq::findFrame(view(Bytes(1000, 0)), 20, fresh);
  ASSERT_TRUE(acq::findFrame(view(frames(8, 1)), 20, fresh).learned);
  for (int k = 0; k < 5; ++k) acq::findFrame(view(Bytes(1000, 0)), 20, fresh);
  EXPECT_EQ(fresh.CardLocked, 0);
}

TEST(AcqDecode, AConstantWordWithALuckyStepDoesNotWinAgainstTheFrames) {
  // Frames of card 317 from word 10. The DAC word 13 of every frame is constant, so the
  // position 3 (word 13 of the frame before the block) repeats one frame later; the data word 17
  // places after it (channel word 10 of the next frame) steps by one exactly once. The frames
  // that follow confirm the card, not the DAC word.
  Bytes b = frames(317, 40, 10);
  for (size_t at = 3; at < 500; at += 20) word(b, at, 0x2C29);
  word(b, 20, 100), word(b, 40, 101), word(b, 60, 101);
  AcqState st;
  const acq::FrameSearch found = acq::findFrame(view(b), 20, st);
  EXPECT_EQ(found.start, 10);
  EXPECT_EQ(st.CardNumber, 317);
  // Locked, a data word that happens to equal the card number is passed over the same way.
  Bytes locked = frames(317, 40, 10);
  word(locked, 5, 317), word(locked, 25, 317), word(locked, 22, 7), word(locked, 42, 8);
  EXPECT_EQ(acq::findFrame(view(locked), 20, st).start, 10);
}

TEST(AcqDecode, SecondFrameAndItsCounterMustBeDelivered) {
  Bytes b(1000, 0);
  word(b, 462, 3), word(b, 479, 1), word(b, 482, 3), word(b, 499, 2);  // counter in word 499
  AcqState a, c, w;
  EXPECT_EQ(acq::findFrame(view(b), 20, a).start, 462);
  EXPECT_EQ(acq::findFrame(view(b, 999), 20, c).start, -1);  // 499 whole words only
  Bytes wrap(1000, 0);                                       // 0xFFFF then 0 is no step
  word(wrap, 0, 9), word(wrap, 17, 0xFFFF), word(wrap, 20, 9), word(wrap, 37, 0);
  EXPECT_EQ(acq::findFrame(view(wrap), 20, w).start, -1);
  for (int s : {0, -1, -20, 1 << 30}) EXPECT_EQ(acq::findFrame(view(b), s, w).start, -1) << s;
}

TEST(AcqDecode, SumsAndStatusBlock) {
  Bytes b(1024, 0);
  auto sum = [](int ch, int s) { return size_t((ch < 4 ? 2 : 258) + 4 * (4 * s + ch % 4)); };
  auto second = [](int ch, int s) {
    return size_t((ch < 4 ? 194 : 450) + 4 * (4 * (s - 8) + ch % 4));
  };
  for (int ch = 0; ch < 8; ++ch)
    for (int s = 0; s < 12; ++s) dword(b, sum(ch, s), 1000 * (ch + 1) + s);
  dword(b, sum(2, 8), 100), dword(b, second(2, 8), 2);
  dword(b, sum(6, 3), 0xFFFFFFFF);
  dword(b, sum(5, 11), 0), dword(b, second(5, 11), 0xFFFFFFFF);
  const uint32_t status[24] = {0x002A0007, 1,  2,          0x80000001, 4,          5,
                               6,          7,  8,          9,          10,         11,
                               0x80010002, 13, 14,         0x33441122, 0x77885566, 0,
                               0,          0,  0x08070605, 0x04030201, 0x15161718, 0x11121314};
  for (int n = 0; n < 24; ++n) dword(b, 514 + 4 * n, status[n]);

  AcqState st;
  acq::decodeSums(view(b), st);
  EXPECT_EQ(st.SumsMaximums[7][11][19], 8011);
  EXPECT_EQ(st.SumsMaximums[2][8][19], 168);  // 100 + 34 x 2
  EXPECT_EQ(st.SumsMaximums[6][3][19], 4294967295.0f);
  EXPECT_FLOAT_EQ(st.SumsMaximums[5][11][19], 34.0f * 4294967295.0f);
  EXPECT_EQ(st.SumsMaximumsNormalized[2][8][19], 168);
  acq::decodeStatusCounters(view(b), st);
  acq::decodeStatusFlags(view(b), st);
  EXPECT_EQ(st.FrameNbr * 1000 + st.CardNumber, 42007);
  EXPECT_EQ(st.Statusa, 0x0002);
  EXPECT_EQ(st.Statusb, 0x8001);
  const std::vector<int32_t> list = {7,    42,   1,    2,    int32_t(0x80000001u),
                                     4,    5,    6,    7,    8,
                                     9,    10,   11,   2,    0x8001,
                                     13,   14,   0x11, 0x22, 0x33,
                                     0x44, 0x55, 0x66, 0x77, 0x88,
                                     1,    2,    3,    4,    5,
                                     6,    7,    8,    0x11, 0x12,
                                     0x13, 0x14, 0x15, 0x16, 0x17,
                                     0x18};
  EXPECT_EQ(std::vector<int32_t>(st.StatusList, st.StatusList + 41), list);
}

TEST(AcqDecode, SingleValueStartsWhereWordTwoSays) {
  for (auto [code, start] : {std::pair{0, 3}, {1, 3}, {2, 2}, {3, 4}}) {
    Bytes b(606, 0);
    for (int j = 0; j < 99; ++j)
      word(b, start + 3 * j, uint16_t(0x8100 | j)),
          word(b, start + 3 * j + 1, uint16_t(0xF000 | j));
    b[5] = static_cast<uint8_t>((b[5] & 0x9F) | (code << 5));  // bits 13..14 of word 2
    acq::SingleValueBlock out;
    acq::decodeSingleValue(view(b), out);
    EXPECT_EQ(out.cfc[0] + out.adc[0] + out.adc[99], 0) << code;
    EXPECT_EQ(out.cfc[98] + out.adc[98], 2 * 98) << code;
  }
}

TEST(AcqDecode, ShortBlocksReadAsZerosBeyondWhatArrived) {
  std::mt19937 gen(7);
  for (size_t size : {0, 1, 37, 513, 605, 999, 1024}) {
    Bytes b(size);
    for (auto &x : b) x = static_cast<uint8_t>(gen() | 1);
    AcqState st;
    acq::SingleValueBlock sv;
    acq::findFrame(view(b), 20, st);
    acq::decodeSums(view(b), st);
    acq::decodeStatusCounters(view(b), st);
    acq::decodeStatusFlags(view(b), st);
    acq::decodeSingleValue(view(b), sv);
    EXPECT_EQ(st.StatusList[acq::kStNbrReset] == 0, size < 562) << size;
  }
}

}  // namespace
