// Decoders of the FRAMES, SUMS and SINGLE_VALUE blocks, and the frame search with its lock.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "acq/decode.h"
#include "acq/display.h"

namespace {

using acq::AcqState;
using acq::BlockView;

// A block of exactly the delivered size, so that the sanitizer sees any read past it.
struct Block {
  std::vector<uint8_t> bytes;
  explicit Block(size_t size) : bytes(size, 0) {}
  void word(size_t k, uint16_t v) {
    bytes.at(2 * k) = v & 0xFF;
    bytes.at(2 * k + 1) = v >> 8;
  }
  void dword(size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.at(offset + i) = (v >> (8 * i)) & 0xFF;
  }
  BlockView view() const { return BlockView{bytes.data(), static_cast<uint32_t>(bytes.size())}; }
};

// Writes a frame of `frameWords` words at word `at`: card, counter, and a marker in word 1.
void putFrame(Block &b, size_t at, uint16_t card, uint16_t counter, uint16_t status1 = 0) {
  b.word(at, card);
  b.word(at + 1, status1);
  b.word(at + 17, counter);
}

// A 1000-byte block holding consecutive frames of one card from word `first` on.
Block frameStream(uint16_t card, uint16_t counter, size_t first = 0, int frameWords = 20) {
  Block b(1000);
  for (size_t at = first; at + 18 <= 500; at += frameWords) putFrame(b, at, card, counter++);
  return b;
}

TEST(AcqDecode, BlockViewReadsUndeliveredBytesAsZero) {
  Block b(5);
  b.bytes = {0x34, 0x12, 0x78, 0x56, 0x9A};
  const BlockView v = b.view();
  EXPECT_EQ(v.word(0), 0x1234);
  EXPECT_EQ(v.word(2), 0x009A);  // high byte not delivered
  EXPECT_EQ(v.word(3), 0);
  EXPECT_EQ(v.dword(0), 0x56781234u);
  EXPECT_EQ(v.dword(2), 0x009A5678u);
  EXPECT_EQ(v.dword(1000), 0u);
}

TEST(AcqDecode, UnpacksTheWorkedExampleOfFourChannels) {
  const uint16_t w[5] = {0x12, 0x3456, 0x789A, 0xBCDE, 0xF012};
  uint16_t cfc[4], adc[4];
  acq::unpackChannels(w, cfc, adc);
  EXPECT_EQ(cfc[0], 0x00);
  EXPECT_EQ(adc[0], 0x123);
  EXPECT_EQ(cfc[1], 0x45);
  EXPECT_EQ(adc[1], 0x678);
  EXPECT_EQ(cfc[2], 0x9A);
  EXPECT_EQ(adc[2], 0xBCD);
  EXPECT_EQ(cfc[3], 0xEF);
  EXPECT_EQ(adc[3], 0x012);
}

TEST(AcqDecode, UnlockedSearchLearnsTheCardNumber) {
  Block b(1000);
  putFrame(b, 0, 0x0321, 7);
  putFrame(b, 20, 0x0321, 8);
  AcqState st;
  const acq::FrameSearch r = acq::findFrame(b.view(), 20, st);
  EXPECT_EQ(r.start, 0);
  EXPECT_TRUE(r.learned);
  EXPECT_EQ(st.CardNumber, 0x0321);
  EXPECT_EQ(st.CardLocked, 1);
  EXPECT_EQ(st.SyncMisses, 0);
}

TEST(AcqDecode, SearchFindsTheFirstFrameAtAnyWordAndHonoursTheFrameLength) {
  AcqState st;
  Block b = frameStream(44, 100, 13);
  EXPECT_EQ(acq::findFrame(b.view(), 20, st).start, 13);

  // A 24-word stream is not found with a 20-word frame length, and is found with 24.
  AcqState other;
  Block wide = frameStream(44, 100, 5, 24);
  EXPECT_EQ(acq::findFrame(wide.view(), 20, other).start, -1);
  EXPECT_EQ(acq::findFrame(wide.view(), 24, other).start, 5);
}

TEST(AcqDecode, CountersThatWrapDoNotSynchronise) {
  Block b(1000);
  putFrame(b, 0, 9, 0xFFFF);
  putFrame(b, 20, 9, 0x0000);
  AcqState st;
  EXPECT_EQ(acq::findFrame(b.view(), 20, st).start, -1);
  EXPECT_EQ(st.CardLocked, 0);
  EXPECT_EQ(st.SyncMisses, 1);
}

TEST(AcqDecode, SecondFrameMustLieWithItsCounterInTheDeliveredWords) {
  // Frames at 462 and 482: the second counter is word 499, the last of a 1000-byte block.
  Block b(1000);
  putFrame(b, 462, 3, 1);
  putFrame(b, 482, 3, 2);
  AcqState st;
  EXPECT_EQ(acq::findFrame(b.view(), 20, st).start, 462);
  // With 999 bytes delivered only 499 whole words count: word 499 is not there.
  AcqState st2;
  EXPECT_EQ(acq::findFrame(BlockView{b.bytes.data(), 999}, 20, st2).start, -1);
}

TEST(AcqDecode, LockedSearchOnlyAcceptsItsCardAndUnlocksAfterFiveMisses) {
  AcqState st;
  st.CardLocked = 1;
  st.CardNumber = 5;
  Block card6 = frameStream(6, 10);
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(acq::findFrame(card6.view(), 20, st).start, -1);
    EXPECT_EQ(st.SyncMisses, k);
    EXPECT_EQ(st.CardLocked, 1);
  }
  EXPECT_EQ(acq::findFrame(card6.view(), 20, st).start, -1);
  EXPECT_EQ(st.CardLocked, 0);  // fifth miss in a row
  const acq::FrameSearch r = acq::findFrame(card6.view(), 20, st);
  EXPECT_EQ(r.start, 0);
  EXPECT_TRUE(r.learned);
  EXPECT_EQ(st.CardNumber, 6);

  // A hit in between clears the count of misses.
  Block card5 = frameStream(5, 10);
  st.CardNumber = 5;
  acq::findFrame(card6.view(), 20, st);
  acq::findFrame(card6.view(), 20, st);
  EXPECT_EQ(acq::findFrame(card5.view(), 20, st).start, 0);
  EXPECT_EQ(st.SyncMisses, 0);
}

TEST(AcqDecode, LockedSearchSkipsFramesOfAnotherCard) {
  Block b(1000);
  putFrame(b, 0, 6, 1);
  putFrame(b, 20, 6, 2);
  putFrame(b, 100, 5, 70);
  putFrame(b, 120, 5, 71);
  AcqState st;
  st.CardLocked = 1;
  st.CardNumber = 5;
  EXPECT_EQ(acq::findFrame(b.view(), 20, st).start, 100);
}

TEST(AcqDecode, MissesBeforeTheFirstLockDoNotCountAgainstIt) {
  AcqState st;
  Block empty(1000);
  for (int k = 0; k < 7; ++k) acq::findFrame(empty.view(), 20, st);
  EXPECT_EQ(st.SyncMisses, 7);
  Block card8 = frameStream(8, 1);
  ASSERT_TRUE(acq::findFrame(card8.view(), 20, st).learned);
  EXPECT_EQ(st.SyncMisses, 0);
  // A board change after such a start still unlocks after five misses.
  for (int k = 0; k < 5; ++k) acq::findFrame(empty.view(), 20, st);
  EXPECT_EQ(st.CardLocked, 0);
}

TEST(AcqDecode, NonsensicalFrameLengthsFindNothing) {
  Block b = frameStream(2, 1);
  for (int s : {0, -1, -20, 1000, 1 << 30}) {
    AcqState st;
    EXPECT_EQ(acq::findFrame(b.view(), s, st).start, -1) << s;
  }
  AcqState st;
  EXPECT_EQ(acq::findFrame(BlockView{nullptr, 0}, 20, st).start, -1);
}

TEST(AcqDecode, FrameDecodingFillsTheNewestHistoryElement) {
  Block b(1000);
  const size_t at = 40;
  putFrame(b, at, 0x0101, 0x1234, 0xA5A5);
  b.word(at + 2, 0x5A5A);
  const uint16_t ch14[5] = {0x12, 0x3456, 0x789A, 0xBCDE, 0xF012};
  const uint16_t ch58[5] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  for (int k = 0; k < 5; ++k) {
    b.word(at + 3 + k, ch14[k]);
    b.word(at + 8 + k, ch58[k]);
  }
  for (int j = 0; j < 4; ++j)
    b.word(at + 13 + j, static_cast<uint16_t>((0x10 + j) << 8 | (0x20 + j)));

  AcqState st;
  st.ADC[0][199] = 111;
  st.CFC[7][199] = 22;
  acq::decodeFrame(b.view(), static_cast<int>(at), st);
  EXPECT_EQ(st.NewestIndex, 199);
  EXPECT_EQ(st.ADC[0][198], 111);  // shifted down
  EXPECT_EQ(st.CFC[7][198], 22);
  EXPECT_EQ(st.ADC[0][199], 0x123);
  EXPECT_EQ(st.CFC[1][199], 0x45);
  EXPECT_EQ(st.ADC[3][199], 0x012);
  EXPECT_EQ(st.CFC[4][199], 0xFF);
  EXPECT_EQ(st.ADC[7][199], 0xFFF);
  const uint8_t dac[8] = {0x10, 0x20, 0x11, 0x21, 0x12, 0x22, 0x13, 0x23};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(st.DacVal[k], dac[k]) << k;
  EXPECT_EQ(st.FrameCard, 0x0101);
  EXPECT_EQ(st.FrameStatus1, 0xA5A5);
  EXPECT_EQ(st.FrameStatus2, 0x5A5A);
  EXPECT_EQ(st.FrameCounter, 0x1234);
  EXPECT_EQ(st.Statusa, 0);  // frame status words are not the SUMS status words
}

// ---- SUMS

constexpr size_t kSumsBytes = 1024;

size_t sumOffset(int ch, int s) {  // ch 0..7
  return (ch < 4 ? 2 : 258) + 4 * (4 * s + ch % 4);
}
size_t secondOffset(int ch, int s) {  // s 8..11
  return (ch < 4 ? 194 : 450) + 4 * (4 * (s - 8) + ch % 4);
}

TEST(AcqDecode, SumsLayoutUnsignedWordsAndTheFactor34) {
  Block b(kSumsBytes);
  for (int ch = 0; ch < 8; ++ch)
    for (int s = 0; s < 12; ++s)
      b.dword(sumOffset(ch, s), static_cast<uint32_t>(1000 * (ch + 1) + s));
  b.dword(sumOffset(2, 8), 100);
  b.dword(secondOffset(2, 8), 2);
  b.dword(sumOffset(6, 3), 0xFFFFFFFFu);
  b.dword(sumOffset(5, 11), 0);
  b.dword(secondOffset(5, 11), 0xFFFFFFFFu);

  AcqState st;
  st.SumsMaximums[0][0][19] = 77;
  acq::decodeSums(b.view(), st);
  EXPECT_EQ(st.SumsMaximums[0][0][18], 77);
  for (int ch = 0; ch < 8; ++ch)
    for (int s = 0; s < 12; ++s) {
      if ((ch == 2 && s == 8) || (ch == 6 && s == 3) || (ch == 5 && s == 11)) continue;
      EXPECT_EQ(st.SumsMaximums[ch][s][19], 1000 * (ch + 1) + s) << ch << " " << s;
      EXPECT_EQ(st.SumsMaximumsNormalized[ch][s][19], st.SumsMaximums[ch][s][19]);
    }
  EXPECT_EQ(st.SumsMaximums[2][8][19], 168.0f);
  EXPECT_EQ(st.SumsMaximumsNormalized[2][8][19], 168.0f);
  EXPECT_EQ(st.SumsMaximums[6][3][19], 4294967295.0f);
  EXPECT_FLOAT_EQ(st.SumsMaximums[5][11][19], 34.0f * 4294967295.0f);  // no 32-bit wrap
}

TEST(AcqDecode, StatusBlockWordsAndTheFortyOneValueList) {
  Block b(kSumsBytes);
  auto status = [&](int n, uint32_t v) { b.dword(514 + 4 * n, v); };
  status(0, 0x002A0007);
  for (int n = 1; n <= 11; ++n) status(n, static_cast<uint32_t>(100 + n));
  status(3, 0x80000001u);  // above 2^31
  status(12, 0x80010002);
  status(13, 0x1313);
  status(14, 0x1414);
  status(15, 0x33441122);  // DAC 1 = 0x11, 2 = 0x22, 3 = 0x33, 4 = 0x44
  status(16, 0x77885566);
  status(20, 0x08070605);  // fibre A channels 5..8, ascending bytes
  status(21, 0x04030201);  // fibre A channels 1..4
  status(22, 0x15161718);  // fibre B channels 5..8, descending bytes
  status(23, 0x11121314);  // fibre B channels 1..4

  AcqState st;
  acq::decodeStatusCounters(b.view(), st);
  EXPECT_EQ(st.CardNumber, 7);
  EXPECT_EQ(st.FrameNbr, 42);
  EXPECT_EQ(st.Dump, 101);
  EXPECT_EQ(st.Frames, 102);
  EXPECT_EQ(static_cast<uint32_t>(st.Erra), 0x80000001u);
  EXPECT_EQ(st.Errb, 104);
  EXPECT_EQ(st.Errf, 107);
  EXPECT_EQ(st.Acq, 108);
  EXPECT_EQ(st.Losta, 109);
  EXPECT_EQ(st.Lostb, 110);
  EXPECT_EQ(st.Nbrmaxresets, 111);
  EXPECT_EQ(st.Statusa, 0);  // words 12 on come separately

  acq::decodeStatusFlags(b.view(), st);
  EXPECT_EQ(st.Statusa, 0x0002);
  EXPECT_EQ(st.Statusb, 0x8001);
  const int dac[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(st.DacVal[k], dac[k]) << k;

  const std::vector<int32_t> expected = {
      7,      42,     101,  102,  static_cast<int32_t>(0x80000001u),
      104,    105,    106,  107,  108,
      109,    110,    111,  2,    0x8001,
      0x1313, 0x1414, 0x11, 0x22, 0x33,
      0x44,   0x55,   0x66, 0x77, 0x88,
      1,      2,      3,    4,    5,
      6,      7,      8,  // fibre A, channels 1..8
      0x11,   0x12,   0x13, 0x14, 0x15,
      0x16,   0x17,   0x18};  // fibre B, channels 1..8
  EXPECT_EQ(std::vector<int32_t>(st.StatusList, st.StatusList + 41), expected);
}

// ---- SINGLE_VALUE

TEST(AcqDecode, SingleValueStartsWhereWordTwoSays) {
  for (auto [code, start] : {std::pair{0, 3}, {1, 3}, {2, 2}, {3, 4}}) {
    Block b(606);
    for (int j = 0; j < 99; ++j) {
      b.word(start + 3 * j, static_cast<uint16_t>(0x8100 | j));             // CFC: low byte
      b.word(start + 3 * j + 1, static_cast<uint16_t>(0xF000 | (j * 41)));  // ADC: 12 bits
    }
    // Word 2 carries the offset code in bits 13..14 (and is itself a sample word).
    b.bytes[5] = static_cast<uint8_t>((b.bytes[5] & 0x9F) | (code << 5));
    acq::SingleValueBlock out;
    out.cfc[99] = out.adc[99] = 0xEEEE;
    EXPECT_EQ(acq::singleValueStart(b.view()), start);
    acq::decodeSingleValue(b.view(), out);
    for (int j = 0; j < 99; ++j) {
      ASSERT_EQ(out.cfc[j], j) << "code " << code;
      ASSERT_EQ(out.adc[j], (j * 41) & 0xFFF) << "code " << code;
      ASSERT_EQ(out.zeros[j], 0);
    }
    EXPECT_EQ(out.cfc[99], 0);
    EXPECT_EQ(out.adc[99], 0);
  }
}

TEST(AcqDecode, ShortAndEmptyBlocksDecodeAsZerosWithoutReadingPastThem) {
  std::mt19937 gen(7);
  for (uint32_t size : {0u, 1u, 5u, 37u, 100u, 513u, 605u, 999u, 1023u, 1024u, 2000u}) {
    Block b(size);
    for (auto &x : b.bytes) x = static_cast<uint8_t>(gen());
    AcqState st;
    acq::findFrame(b.view(), 20, st);
    acq::decodeSums(b.view(), st);
    acq::decodeStatusCounters(b.view(), st);
    acq::decodeStatusFlags(b.view(), st);
    acq::SingleValueBlock sv;
    acq::decodeSingleValue(b.view(), sv);
    if (size < 514) {
      EXPECT_EQ(st.CardNumber, 0) << size;
      EXPECT_EQ(st.StatusList[acq::kStLostb], 0) << size;
    }
  }
}

TEST(AcqDecode, DemoSamplesFillChannelOneThenRoll) {
  AcqState st;
  for (int k = 0; k < 200; ++k)
    acq::storeDemoSample(st, static_cast<uint16_t>(k), static_cast<uint16_t>(1000 + k));
  EXPECT_EQ(st.NewestIndex, 200);
  EXPECT_EQ(st.ADC[0][0], 0);
  EXPECT_EQ(st.ADC[0][199], 199);
  acq::storeDemoSample(st, 500, 600);
  EXPECT_EQ(st.NewestIndex, 200);
  EXPECT_EQ(st.ADC[0][0], 1);
  EXPECT_EQ(st.ADC[0][198], 199);
  EXPECT_EQ(st.ADC[0][199], 500);
  EXPECT_EQ(st.CFC[0][199], 600);
  EXPECT_EQ(st.ADC[1][199], 0);  // other channels untouched
}

// ---- text views

TEST(AcqDecode, FrameTextAndRawWordsAreExactText) {
  AcqState st;
  st.NewestIndex = 199;
  st.FrameCard = 0x0101;
  st.FrameStatus1 = 0xA;
  st.FrameStatus2 = 0x8000;
  for (int ch = 0; ch < 8; ++ch) {
    st.CFC[ch][199] = static_cast<uint16_t>(ch + 1);
    st.ADC[ch][199] = static_cast<uint16_t>(0xF00 + ch);
    st.DacVal[ch] = static_cast<uint8_t>(0xE0 + ch);
  }
  st.FrameCounter = 0xBEEF;
  std::string line;
  acq::formatFrameText(st, line);
  EXPECT_EQ(line,
            "0101   000a   8000   0001 0f00 0002 0f01 0003 0f02 0004 0f03 0005 0f04 0006 0f05 "
            "0007 0f06 0008 0f07 00e0 00e1 00e2 00e3 00e4 00e5 00e6 00e7 beef");
  acq::formatRawWord(0xAB, line);
  EXPECT_EQ(line, "00AB");
  acq::formatRawWord(0xFFFF, line);
  EXPECT_EQ(line, "FFFF");
}

}  // namespace
