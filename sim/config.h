// Board configuration of the simulated bench: what the module, the FPGA and the VELTRA board
// look like, and which defects the board carries. The built-in defaults are the good board
// (data/sim/good.json); a configuration file lists the fields that differ from it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr int kChannels = 8;
inline constexpr size_t kMaxOtherModules = 7;

// Switch points of one test-voltage comparator, in volts at the board input: the bit comes on
// when the voltage rises through `up` and goes off when it falls through `down`.
struct Comparator {
  double up = 0.0;
  double down = 0.0;
};

// How a status indication behaves: as the board's state says, or stuck either way.
enum class LineMode : int { Follows = 0, StuckOk = 1, Down = 2 };

struct BoardConfig {
  std::string name = "good";
  std::string description = "A good board: passes every check of every step.";
  uint64_t seed = 20240611;

  // QuickUSB module.
  std::string moduleName = "QUSB-0";
  // Further modules on the same PC, listed by discovery after moduleName. Each is a module of
  // its own bench with this same board: a program opens one of them (a process holds one bench).
  std::vector<std::string> otherModules;
  uint16_t fpgaType = 0x0001;   // setting 4
  uint16_t cpuConfig = 0x0012;  // setting 5
  double callSeconds = 125e-6;  // one USB transaction
  double bulkBytesPerSecond = 40e6;
  // A bulk read first waits for the module: a seeded latency from 0 to this long, so that the
  // host never reads on an exact time grid.
  double bulkLatencySeconds = 0.001;
  double unplugAfterSeconds = 0.0;  // 0: never unplugged

  // Board identity and framing.
  uint16_t cardNumber = 317;
  int boxNumber = 3;
  uint32_t jtagId = 0x0A5E1093;
  int frameWords = 20;

  // Channels.
  std::array<double, kChannels> offsetCurrentPa = {10.05, 9.93, 10.12, 9.88,
                                                   10.02, 9.97, 10.08, 9.95};
  std::array<double, kChannels> sourceGain = {1.0012, 0.9991, 1.0004, 0.9986,
                                              1.0017, 0.9995, 1.0008, 0.9983};
  std::array<int, kChannels> adcTop = {3952, 3947, 3955, 3949, 3950, 3944, 3958, 3951};
  double adcSwing = 3800.0;
  double adcNoise = 2.0;  // peak, ADC counts
  std::array<int, kChannels> initialDac = {37, 42, 40, 39, 44, 41, 38, 43};
  uint8_t deadChannels = 0;    // bit ch-1: no input current reaches the integrator
  uint8_t levelNeverBack = 0;  // bit ch-1: level line stays low once the channel left range
  uint8_t dacStuckAtZero = 0;  // bit ch-1: DAC counter reads 0
  int dacJumpChannel = 0;      // 1..8, 0: none
  int dacJumpAtValue = 0;      // the counter leaving this value ...
  int dacJumpBy = 1;           // ... advances by this much
  double dacStepSeconds = 20.97152;

  // Test-voltage comparators (Statusa 0x1000, 0x0080, 0x0020, 0x0008).
  Comparator hvPresent = {3.010, 2.985};
  Comparator hvTestCfc = {3.400, 3.515};
  Comparator hvDacReset = {3.760, 3.880};
  Comparator hvOtrReset = {4.120, 4.280};

  // Modes entered when the test voltage is held.
  double modeEntrySeconds = 90.0;
  double testCurrentPa = 100.0;
  bool cfcTestMode = true;
  bool otrResetMode = true;
  bool dacResetMode = true;

  // Status lines.
  bool p5vMonitor = true;  // false: the line stays OK when the supply is reduced
  bool m5vMonitor = true;
  bool p2v5Monitor = true;
  bool temp1 = true;  // false: the line is down
  bool temp2 = true;
  bool otr1 = true;
  bool otr2 = true;
  // The two DAC counter indications (DAC_OVER_155 OK, DAC_OVERFLOW OK): each follows the
  // counters, or is stuck in its OK state, or is stuck down.
  LineMode dacOver155 = LineMode::Follows;
  LineMode dacOverflow = LineMode::Follows;
  double cfcErrorSeconds = 100.0;

  // Fibre error rates, per second.
  double crcA = 0.0;
  double crcB = 0.0;
  double lostA = 0.0;
  double lostB = 0.0;
  double errC = 0.0;
  double errD = 0.0;
  double errF = 0.0;
};

// Reads a configuration file over the good board. On failure returns false and sets `error`
// to a message naming the file and the field, or why the file cannot be read (no regular file,
// larger than 1 MiB); `out` is then untouched.
bool loadConfig(const std::string &path, BoardConfig &out, std::string &error);
// Parses configuration text (the file name is used in messages only).
bool parseConfig(const std::string &text, const std::string &path, BoardConfig &out,
                 std::string &error);
// The whole configuration as JSON text, every field present (the layout of good.json).
std::string describeConfig(const BoardConfig &config);

}  // namespace sim
