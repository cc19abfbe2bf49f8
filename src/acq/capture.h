// Raw capture: the FPGA's stream taken unprocessed at full speed into binary part files, one
// per minute of capture, then a text conversion and a plot of the first words of part 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rt/clock.h"

namespace acq {

class BlockSource;

inline constexpr uint32_t kCaptureRequest = 1000;      // bytes asked for by every bulk read
inline constexpr size_t kCaptureBufferBytes = 100000;  // the capture's read buffer
inline constexpr double kPartSeconds = 60.0;           // capture time per part file
inline constexpr size_t kConversionWords = 50000;      // words of part 1 in the text conversion
inline constexpr size_t kCapturePlotWords = 5000;      // words of part 1 plotted after a capture
inline constexpr double kProgressSeconds = 0.1;        // progress reports this often

struct CaptureProgress {
  double elapsed = 0;  // seconds since the capture started
  double seconds = 0;  // duration asked for
  uint64_t bytes = 0;  // bytes written so far
  int part = 1;        // part file being written
};

// Watches a capture while it runs: the desktop program shows a progress dialog whose Stop
// button ends the capture as a failed read would.
class CaptureMonitor {
 public:
  virtual ~CaptureMonitor() = default;
  virtual void begin(double seconds) = 0;
  // False when the operator asks to stop.
  virtual bool progress(const CaptureProgress &p) = 0;
  virtual void end() = 0;
};

enum class CaptureEnd {
  Elapsed,     // the duration has passed
  ReadFailed,  // a bulk read failed
  Stopped,     // the operator stopped it
  FileFailed,  // a part file could not be opened or written
  ClockStuck,  // virtual time: a pass took no time, so the capture would never end
};

struct CaptureResult {
  CaptureEnd end = CaptureEnd::Elapsed;
  uint64_t bytes = 0;   // bytes written to the part files
  uint64_t reads = 0;   // bulk reads that succeeded
  uint64_t gated = 0;   // passes that found the read gate held
  int parts = 0;        // part files opened
  double elapsed = 0;   // seconds the loop ran
  std::string problem;  // the part file that failed and why
};

// The name of part `part`: the base path followed by "_<part>.dat".
std::string capturePartName(const std::string &base, int part);

// The capture loop: while less than `seconds` have passed on `clock` (taken at the top of each
// pass), waits out a held read gate, reads up to kCaptureRequest bytes from `source` into
// `buffer` and appends what was delivered to the part file of the moment. The part changes at
// the first block once more than 60 x n seconds have passed. Part files are opened for
// appending; each read asks for the full request, whatever the previous one delivered.
CaptureResult captureParts(BlockSource &source, rt::Clock &clock, double seconds,
                           const std::string &base, std::vector<uint8_t> &buffer,
                           CaptureMonitor *monitor);

// The text conversion: the words one per line, each right-aligned in 10 characters. Creates
// the folder when missing; false with the reason when the file cannot be written.
bool writeConversion(const std::string &path, const uint16_t *words, size_t n, std::string &error);

// Where the text conversion goes by default: TempMeasures/tempIO.txt in the temporary folder
// ($TMPDIR, else /tmp).
std::string defaultConversionPath();

}  // namespace acq
