// Fuzz target: the block decoders (FRAMES search and decoding, SUMS, status block, SINGLE_VALUE)
// and the statistics they feed, over arbitrary blocks, frame lengths and delivered counts.
//
// Input: a 16-byte header, then the bytes of the stream, cut into 1..8 consecutive blocks that
// are read one after the other with one acquisition state.
//   [0]      bit 0: start locked; bit 1: frame length from bytes 1..4 as a 32-bit value (else
//            from byte 1 as a signed byte); bits 3..5: blocks - 1
//   [1..4]   frame length in words
//   [5..6]   delivered count per block (cut to the bytes the block has)
//   [7]      focus channel (signed)
//   [8..9]   card number at start
//   [10]     SyncMisses at start
//   [11]     frame period in milliseconds
//   [12..13] milliseconds between two reads
//   [14]     NewestIndex at start (signed)
//   [15]     unused
// Every block is held in storage of exactly its delivered size, so that any read past it is
// seen by AddressSanitizer. Beside memory safety the target checks what the decoders promise:
// the frame search against a plain reading of its rules, the lock, the field ranges, and that
// bytes that were not delivered read as zeros.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "acq/analysis.h"
#include "acq/decode.h"
#include "hw/block_format.h"

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "fuzz_decode: %s\n", what);
  std::abort();
}

void check(bool ok, const char *what) {
  if (!ok) fail(what);
}

uint16_t u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The frame rules written out: position i is a frame start when the second frame, i + S, lies
// in the delivered words with its counter (i + S + 17 < N), the word one frame later repeats
// the word at i (locked: both are the card number) and its counter is one more, compared as
// plain integers.
bool qualifies(const std::vector<uint8_t> &b, int64_t i, int64_t s, bool locked, int card) {
  const int64_t n = static_cast<int64_t>(b.size() / 2);
  if (s < 1 || i < 0 || i + s + 17 >= n) return false;
  auto w = [&](int64_t k) { return int(b[size_t(2 * k)]) | int(b[size_t(2 * k + 1)]) << 8; };
  const bool same = locked ? w(i) == card && w(i + s) == card : w(i) == w(i + s);
  return same && w(i + 17) + 1 == w(i + s + 17);
}

bool anyQualifies(const std::vector<uint8_t> &b, int64_t s, bool locked, int card) {
  for (int64_t i = 0; i + s + 17 < static_cast<int64_t>(b.size() / 2); ++i)
    if (qualifies(b, i, s, locked, card)) return true;
  return false;
}

void checkFrames(const std::vector<uint8_t> &block, int frameWords, int focus, double now,
                 double framePeriod, acq::AcqState &st) {
  const acq::BlockView view{block.data(), static_cast<uint32_t>(block.size())};
  const acq::AcqState before = st;
  const bool locked = before.CardLocked != 0;
  const bool any = frameWords >= 1 && anyQualifies(block, frameWords, locked, before.CardNumber);
  const acq::FrameSearch found = acq::findFrame(view, frameWords, st);
  // Which of several qualifying positions is taken is the search's choice; it takes one exactly
  // when there is one.
  check((found.start >= 0) == any, "a frame found where none qualifies, or missed");
  if (found.start >= 0)
    check(qualifies(block, found.start, frameWords, locked, before.CardNumber),
          "the frame found does not qualify");

  // The lock.
  if (before.CardLocked) {
    check(!found.learned, "a locked search learned a card number");
    check(st.CardNumber == before.CardNumber, "a locked search changed the card number");
    if (found.start >= 0) {
      check(st.CardLocked == 1 && st.SyncMisses == 0, "a locked hit kept its misses");
    } else {
      check(st.SyncMisses >= before.SyncMisses, "a miss lowered the misses");
      check(st.CardLocked == (st.SyncMisses == 5 ? 0 : 1), "unlock not at the fifth miss");
    }
  } else if (found.start >= 0) {
    check(found.learned && st.CardLocked == 1, "a hit did not lock");
    check(st.CardNumber == view.word(size_t(found.start)), "learned a word other than the frame's");
  } else {
    check(st.CardLocked == 0 && st.CardNumber == before.CardNumber, "a miss changed the lock");
  }
  if (found.start < 0) return;

  acq::decodeFrame(view, found.start, st);
  check(st.NewestIndex == acq::kHistory - 1, "NewestIndex not on the newest element");
  for (int ch = 0; ch < acq::kChannels; ++ch) {
    check(st.ADC[ch][acq::kHistory - 1] <= 0xFFF, "ADC beyond 12 bits");
    check(st.CFC[ch][acq::kHistory - 1] <= 0xFF, "CFC beyond 8 bits");
    check(std::memcmp(st.ADC[ch], before.ADC[ch] + 1, (acq::kHistory - 1) * 2) == 0,
          "ADC history not shifted by one");
    check(std::memcmp(st.CFC[ch], before.CFC[ch] + 1, (acq::kHistory - 1) * 2) == 0,
          "CFC history not shifted by one");
  }
  for (int j = 0; j < 4; ++j) {
    const uint16_t dac = view.word(size_t(found.start) + blk::kFrameDacs + j);
    check(st.DacVal[2 * j] == dac >> 8 && st.DacVal[2 * j + 1] == (dac & 0xFF), "DAC bytes");
  }
  check(st.FrameCard == view.word(size_t(found.start)), "frame word 0");
  check(st.FrameCounter == view.word(size_t(found.start) + blk::kFrameCounter), "frame counter");

  const acq::FrameStats stats = acq::analyseFrame(st, now, focus);
  check(stats.focusReset == (focus >= 0 && focus < acq::kChannels && (stats.resets >> focus & 1)),
        "focus reset outside the focus channel");
  for (int ch = 0; ch < acq::kChannels; ++ch) {
    check(st.ADC_MIN[ch] <= 0xFFF || st.ADC_MIN[ch] == before.ADC_MIN[ch], "ADC_MIN raised");
    check(st.OVERSHOT[ch] >= 0 && st.ADC_DISC_TEMP[ch] >= 0, "a counter went negative");
  }
  acq::updateSlope(st, now, framePeriod);
  acq::updateCalcPeriod(st);
  const int column = acq::nextStatsColumn(st);
  check(column == 2 || column == 3 || column == 4 || column == 5 || column == 8 || column == 9 ||
            column == 10,
        "result table column");
}

void checkSums(const std::vector<uint8_t> &block, double now, acq::AcqState &st) {
  const acq::BlockView view{block.data(), static_cast<uint32_t>(block.size())};
  // The same block as the reader holds it: the request's 1024 bytes, zeros past the delivered.
  std::vector<uint8_t> padded(blk::kSumsBytes, 0);
  if (!block.empty())
    std::memcpy(padded.data(), block.data(), std::min(block.size(), padded.size()));
  const acq::BlockView full{padded.data(), blk::kSumsBytes};
  const bool delivered = block.size() <= padded.size();
  auto other = std::make_unique<acq::AcqState>(st);

  acq::decodeSums(view, st);
  acq::normaliseSums(st);
  acq::decodeStatusCounters(view, st);
  acq::updateRates(st, now);
  acq::decodeStatusFlags(view, st);
  for (int ch = 0; ch < acq::kChannels; ++ch)
    for (int s = 0; s < acq::kSums; ++s) {
      const float v = st.SumsMaximums[ch][s][acq::kSumHistory - 1];
      check(std::isfinite(v) && v >= 0, "a sum is negative or not finite");
      check(st.SumsMaximumsNormalized[ch][s][acq::kSumHistory - 1] <= v, "normalised above raw");
    }
  check(st.Statusa >= 0 && st.Statusa <= 0xFFFF && st.Statusb >= 0 && st.Statusb <= 0xFFFF,
        "status word beyond 16 bits");
  for (int k = acq::kStMinCountA; k < acq::kStatusList; ++k)
    check(st.StatusList[k] >= 0 && st.StatusList[k] <= 0xFF, "minimum count beyond a byte");

  if (!delivered) return;
  acq::decodeSums(full, *other);
  acq::normaliseSums(*other);
  acq::decodeStatusCounters(full, *other);
  acq::updateRates(*other, now);
  acq::decodeStatusFlags(full, *other);
  check(std::memcmp(st.SumsMaximums, other->SumsMaximums, sizeof st.SumsMaximums) == 0 &&
            std::memcmp(st.StatusList, other->StatusList, sizeof st.StatusList) == 0,
        "bytes not delivered do not read as zeros (SUMS)");
}

void checkSingleValue(const std::vector<uint8_t> &block) {
  const acq::BlockView view{block.data(), static_cast<uint32_t>(block.size())};
  acq::SingleValueBlock out;
  for (int j = 0; j < acq::kSingleArray; ++j)  // the decoder must set every element
    out.zeros[j] = out.cfc[j] = out.adc[j] = 0xA5A5;
  acq::decodeSingleValue(view, out);
  const int start = acq::singleValueStart(view);
  check(start >= 2 && start <= 4, "single-value start");
  for (int j = 0; j < acq::kSingleArray; ++j) {
    check(out.zeros[j] == 0 && out.cfc[j] <= 0xFF && out.adc[j] <= 0xFFF, "single-value ranges");
    if (j == acq::kSingleSamples) check(out.cfc[j] == 0 && out.adc[j] == 0, "hundredth element");
  }
  if (block.size() > blk::kSingleValueBytes) return;
  std::vector<uint8_t> padded(blk::kSingleValueBytes, 0);
  if (!block.empty()) std::memcpy(padded.data(), block.data(), block.size());
  acq::SingleValueBlock full;
  acq::decodeSingleValue({padded.data(), blk::kSingleValueBytes}, full);
  check(std::memcmp(&out, &full, sizeof out) == 0,
        "bytes not delivered do not read as zeros (SINGLE_VALUE)");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t kHeader = 16;
  if (size < kHeader) return 0;
  const uint8_t flags = data[0];
  const int frameWords =
      flags & 2 ? static_cast<int>(u32(data + 1)) : static_cast<int>(static_cast<int8_t>(data[1]));
  const uint32_t deliveredCount = u16(data + 5);
  const int focus = static_cast<int8_t>(data[7]);
  const double framePeriod = data[11] / 1000.0;
  const double step = u16(data + 12) / 1000.0;
  const int blocks = 1 + (flags >> 3 & 7);

  auto st = std::make_unique<acq::AcqState>();
  st->CardLocked = flags & 1;
  st->CardNumber = u16(data + 8);
  st->SyncMisses = data[10];
  st->NewestIndex = static_cast<int8_t>(data[14]);
  for (auto &m : st->ADC_MIN) m = acq::kAdcFull;

  const uint8_t *payload = data + kHeader;
  const size_t payloadSize = size - kHeader;
  const size_t chunk = payloadSize / size_t(blocks);
  double now = 0.5;
  for (int r = 0; r < blocks; ++r) {
    const uint8_t *begin = payload + size_t(r) * chunk;
    const size_t length = r + 1 == blocks ? payloadSize - size_t(r) * chunk : chunk;
    const std::vector<uint8_t> block(begin, begin + std::min<size_t>(length, deliveredCount));
    now += step;

    checkFrames(block, frameWords, focus, now, framePeriod, *st);
    checkSums(block, now, *st);
    checkSingleValue(block);

    // No hardware: one demo pair per read.
    const acq::BlockView view{block.data(), static_cast<uint32_t>(block.size())};
    acq::storeDemoSample(*st, view.word(0), view.word(1));
    check(st->NewestIndex >= 1 && st->NewestIndex <= acq::kHistory, "demo NewestIndex");
  }
  return 0;
}
