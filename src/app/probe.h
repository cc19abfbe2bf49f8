// The bench check: what a technician wants to know before a two-hour test. Which QuickUSB
// library is loaded and from where, the modules it finds, the FPGA's JTAG identification, and
// a short reading of the FRAMES stream on each fibre and of the SUMS status block (frame rate,
// CRC and lost-frame counts, card number), and the results store (history::Store::checkForBench).
// It reads through the program's own read cycle (Acquisition::ReadShowFrame) and JTAG read
// (Fpga::Read_JTAG) on a started Bench, and puts the read-out mode, the fibre and the continuous
// acquisition back as they were.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/bench.h"

namespace app {

struct ProbeResult {
  std::vector<std::string> lines;   // the report, the summary line last
  std::vector<std::string> faults;  // what makes the bench unusable; empty: usable
  bool usable() const { return faults.empty(); }
  std::string text() const;  // the lines, each ended by a line break
};

// Seconds of FRAMES reading per fibre and of SUMS reading.
inline constexpr double kProbeFramesSecondsPerFibre = 1.0;
inline constexpr double kProbeSumsSeconds = 2.0;

// Runs the check. `line` receives every line as it is made (may be empty). While a functional
// test runs the check is refused (a fault, nothing touched).
ProbeResult RunProbe(Bench &bench, const std::function<void(const std::string &)> &line = {});

}  // namespace app
