// Bit-level encoders of the FPGA's data blocks: the packed CFC/ADC fields of a frame, the
// split of the long running sums, little-endian words and the SINGLE_VALUE position tags.
#pragma once

#include <cstdint>

#include "hw/block_format.h"

namespace sim {

// Four channels, 20 bits each (CFC 8 bits then ADC 12 bits), packed most significant bit
// first into five words in the order CFC1, ADC1, CFC2, ADC2, CFC3, ADC3, CFC4, ADC4.
inline void packChannels(const uint8_t cfc[4], const uint16_t adc[4], uint16_t out[5]) {
  const unsigned a0 = adc[0] & 0xFFFu, a1 = adc[1] & 0xFFFu, a2 = adc[2] & 0xFFFu,
                 a3 = adc[3] & 0xFFFu;
  out[0] = static_cast<uint16_t>((cfc[0] << 8) | (a0 >> 4));
  out[1] = static_cast<uint16_t>(((a0 & 0xFu) << 12) | (cfc[1] << 4) | (a1 >> 8));
  out[2] = static_cast<uint16_t>(((a1 & 0xFFu) << 8) | cfc[2]);
  out[3] = static_cast<uint16_t>((a2 << 4) | (cfc[3] >> 4));
  out[4] = static_cast<uint16_t>(((cfc[3] & 0xFu) << 12) | a3);
}

// The long sums 8..11 travel as a first word plus a second word counted 34 times; the FPGA
// carries about half of the sum in each.
inline void splitLongSum(uint32_t sum, uint32_t &first, uint32_t &second) {
  second = sum / (2 * blk::kSecondWordFactor);
  first = sum - blk::kSecondWordFactor * second;
}

inline void putWord(uint8_t *buf, uint32_t size, uint32_t byteOffset, uint16_t w) {
  if (byteOffset < size) buf[byteOffset] = static_cast<uint8_t>(w & 0xFF);
  if (byteOffset + 1 < size) buf[byteOffset + 1] = static_cast<uint8_t>(w >> 8);
}

inline void putLong(uint8_t *buf, uint32_t size, uint32_t byteOffset, uint32_t v) {
  putWord(buf, size, byteOffset, static_cast<uint16_t>(v & 0xFFFF));
  putWord(buf, size, byteOffset + 2, static_cast<uint16_t>(v >> 16));
}

inline uint16_t reverse16(uint16_t v) {
  uint16_t r = 0;
  for (int i = 0; i < 16; ++i)
    if (v & (1u << i)) r = static_cast<uint16_t>(r | (1u << (15 - i)));
  return r;
}

// SINGLE_VALUE words carry their position in the triplet in bits 13..14: 2 for the CFC word,
// 3 for the ADC word, 1 for the third word. The reader looks at word 2: 2 means a triplet
// starts there, 3 that the next one starts at word 4, 0 or 1 at word 3.
inline constexpr uint16_t kTagCfc = 2u << 13;
inline constexpr uint16_t kTagAdc = 3u << 13;
inline constexpr uint16_t kTagThird = 1u << 13;

inline uint16_t singleValueWord(int position, uint8_t cfc, uint16_t adc, uint16_t counter) {
  switch (position) {
    case 0:
      return static_cast<uint16_t>(kTagCfc | cfc);
    case 1:
      return static_cast<uint16_t>(kTagAdc | (adc & 0xFFFu));
    default:
      return static_cast<uint16_t>(kTagThird | (counter & 0x1FFFu));
  }
}

}  // namespace sim
