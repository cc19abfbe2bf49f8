// Sizes and layout of the data blocks the FPGA delivers, shared by the reader and the
// simulated bench.
#pragma once

#include <cstdint>

namespace blk {

// Read-out modes: the value of Main.ReadOutMode.
enum Mode : int { RAWDATA = 0, FRAMES = 1, SUMS_MAXIMUMS_ANALYSIS = 2, SINGLE_VALUE = 3 };

// Bytes requested per block.
inline constexpr uint32_t kRawBytes = 1000;
inline constexpr uint32_t kFramesBytes = 1000;
inline constexpr uint32_t kSumsBytes = 1024;
inline constexpr uint32_t kSingleValueBytes = 606;
inline constexpr uint32_t kOtherBytes = 1000;
inline constexpr uint32_t kMinFramesBytes = 999;  // fewer delivered bytes: block refused
inline constexpr uint32_t kReadBufferBytes = 2000;

constexpr uint32_t bytesForMode(int mode) {
  return mode == SUMS_MAXIMUMS_ANALYSIS ? kSumsBytes
         : mode == SINGLE_VALUE         ? kSingleValueBytes
                                        : kRawBytes;
}

// FRAMES: word offsets inside a frame.
inline constexpr int kFrameCard = 0;
inline constexpr int kFrameStatus1 = 1;
inline constexpr int kFrameStatus2 = 2;
inline constexpr int kFrameChannels1to4 = 3;  // words 3..7
inline constexpr int kFrameChannels5to8 = 8;  // words 8..12
inline constexpr int kFrameDacs = 13;         // words 13..16
inline constexpr int kFrameCounter = 17;
inline constexpr int kDefaultFrameWords = 20;

// SUMS: byte offsets.
inline constexpr int kSumsCh1to4 = 2;          // 48 32-bit words: sum s of ch k at 4s + (k-1)
inline constexpr int kSumsCh1to4Second = 194;  // 16 words: second words of sums 8..11
inline constexpr int kSumsCh5to8 = 258;
inline constexpr int kSumsCh5to8Second = 450;
inline constexpr int kStatusBlock = 514;  // 24 32-bit words
inline constexpr int kStatusWords = 24;
inline constexpr int kSumCount = 12;
inline constexpr uint32_t kSecondWordFactor = 34;
// Window length of each running sum, in 40 us counting periods.
inline constexpr double kSumDivisor[kSumCount] = {1,    2,     8,     16,     64,     256,
                                                  2048, 16384, 32768, 131072, 524288, 2097152};

// SINGLE_VALUE.
inline constexpr int kSingleValueSamples = 99;
inline constexpr int kSingleValueWords = 303;

// Frame period of the board.
inline constexpr double kFramePeriodSeconds = 40e-6;

}  // namespace blk
