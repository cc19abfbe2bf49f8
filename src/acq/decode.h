// Decoders of the three block formats the FPGA delivers: FRAMES (frame search and channel
// unpacking), SUMS (running sums and status block) and SINGLE_VALUE. Pure functions over a
// delivered block and the acquisition state: no I/O, no panels. A block is never read past the
// bytes it holds; bytes that were not delivered read as zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "acq/acq_state.h"

namespace acq {

// A delivered block of bytes. Words are little-endian byte pairs; a 32-bit word is four bytes,
// least significant first.
struct BlockView {
  const uint8_t *bytes = nullptr;
  uint32_t size = 0;  // bytes delivered

  // 16-bit word k; 0 for bytes beyond the block.
  uint16_t word(size_t k) const {
    size_t b = 2 * k;
    uint16_t lo = b < size ? bytes[b] : 0;
    uint16_t hi = b + 1 < size ? bytes[b + 1] : 0;
    return static_cast<uint16_t>(lo | (hi << 8));
  }
  // 32-bit word at a byte offset; 0 for bytes beyond the block.
  uint32_t dword(size_t offset) const {
    uint32_t v = 0;
    for (size_t k = 4; k-- > 0;) v = (v << 8) | (offset + k < size ? bytes[offset + k] : 0u);
    return v;
  }
};

// ---- FRAMES

// CFC and ADC of four channels packed into five words, most significant bit first in the order
// CFC1, ADC1, CFC2, ADC2, CFC3, ADC3, CFC4, ADC4 (8 + 12 bits per channel).
void unpackChannels(const uint16_t w[5], uint16_t cfc[4], uint16_t adc[4]);

struct FrameSearch {
  int start = -1;        // word index of the frame found, -1 when none
  bool learned = false;  // the card number was learned by this search (lock taken)
};

// Searches the block for a frame of `frameWords` words followed by a second one, updating the
// lock (CardLocked, SyncMisses, CardNumber). Locked: only frames of CardNumber qualify; five
// misses in a row unlock. Unlocked: any word repeated one frame later with a counter that steps
// by one is learned as the card number.
FrameSearch findFrame(const BlockView &block, int frameWords, AcqState &st);

// Decodes the frame at word `start` (found by findFrame) into the newest element of the
// histories, DacVal and the held frame words. Shifts all eight histories down by one.
void decodeFrame(const BlockView &block, int start, AcqState &st);

// ---- SUMS

// Shifts the sums histories and stores the twelve sums of every channel as element 19 of
// SumsMaximums and SumsMaximumsNormalized (not yet normalised). Sums 8..11 add 34 times their
// second word.
void decodeSums(const BlockView &block, AcqState &st);
// Status words 0..11: card number, frame number and the eleven counters.
void decodeStatusCounters(const BlockView &block, AcqState &st);
// Status words 12..23: status words A and B, changes, DAC values and the minimum counts; builds
// the 41-value StatusList (counters included).
void decodeStatusFlags(const BlockView &block, AcqState &st);

// ---- SINGLE_VALUE

struct SingleValueBlock {
  uint16_t zeros[kSingleArray] = {};
  uint16_t cfc[kSingleArray] = {};
  uint16_t adc[kSingleArray] = {};
};

// Word at which the first whole triplet starts, from bits 13..14 of word 2.
int singleValueStart(const BlockView &block);
// The 99 samples of the block (the hundredth element of each array stays 0).
void decodeSingleValue(const BlockView &block, SingleValueBlock &out);

// ---- no hardware

// Stores one pseudo-random pair into channel 1's histories at NewestIndex, rolling the history
// once it is full.
void storeDemoSample(AcqState &st, uint16_t adc, uint16_t cfc);

}  // namespace acq
