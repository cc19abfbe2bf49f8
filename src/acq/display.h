// Text of the two text views: the raw words and the newest frame. Pure formatting; the
// Acquisition display members put the lines into their panels.
#pragma once

#include <cstdint>
#include <string>

#include "acq/acq_state.h"

namespace acq {

inline constexpr int kRawViewLines = 500;
inline constexpr const char *kFrameTextHeader = "CNMBR STATUS1 STATUS2 CFC1 ADC1 CFC2 ADC2 ...";

// Colours of the plots.
inline constexpr uint32_t kSumColour[kChannels] = {0xFF0000, 0x0000FF, 0x00FF00, 0x00FFFF,
                                                   0xFF00FF, 0xFFFF00, 0xA0A0A0, 0xFFFFFF};
inline constexpr uint32_t kAdcColour = 0xFF0000;
inline constexpr uint32_t kCfcColour = 0x00FF00;
// The names of the channels in the graphs' legends.
inline constexpr const char *kChannelLegend[kChannels] = {"CH1", "CH2", "CH3", "CH4",
                                                          "CH5", "CH6", "CH7", "CH8"};

// One line of the raw view: the word in four upper-case hexadecimal digits.
void formatRawWord(uint16_t word, std::string &out);

// The values line of the frame text: card number, status words 1 and 2, CFC and ADC of the
// eight channels, the eight DAC values and the frame counter, in hexadecimal.
void formatFrameText(const AcqState &st, std::string &out);

}  // namespace acq
