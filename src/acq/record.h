// The text of the acquisition record files: the header block of a recorded run and the data
// line of each read-out mode. Pure formatting, tested character by character; the analysis
// scripts that read these files depend on every blank.
#pragma once

#include <string>

#include "acq/acq_state.h"
#include "acq/decode.h"

namespace acq {

inline constexpr int kRawRecordWords = 99;  // words of the read buffer on a RAWDATA line

// Appends the header block of a run in `mode`: three lines of one blank, the date line of
// `unixSeconds` in ctime's text (which ends with its own line break, so an empty line follows),
// then the lines of the mode. Every line ends with a line break.
void appendRecordHeader(std::string &out, int mode, long long unixSeconds);

// The data lines, without their line break. `t` is the time column (seconds since the start
// of the run).
// RAWDATA: the time, two blanks, then words 0..98 of the block each followed by one blank.
void formatRawLine(std::string &out, double t, const BlockView &block);
// FRAMES: the time, CFC and ADC of channels 1..8 (newest frame), the eight DAC values, the two
// status words of the frame and the card number.
void formatFramesLine(std::string &out, double t, const AcqState &st);
// SUMS_MAXIMUMS_ANALYSIS: the time, the 96 newest raw sums (channel by channel) and the 39
// integers of the status block (a literal 0, then the status list without the frame number and
// status words A and B).
void formatSumsLine(std::string &out, double t, const AcqState &st);
// SINGLE_VALUE: the 99 samples of the block as a table of three columns (zero, CFC, ADC), each
// right-aligned in 10 characters, one line per sample, each ending with a line break.
void formatSingleValueTable(std::string &out, const SingleValueBlock &block);

}  // namespace acq
