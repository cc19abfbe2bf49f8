// The VELTRA board and its bench in closed form: per channel a charge integrator fed by the
// bench current source, counting one CFC count per 200 pC, with its slow DAC counter; the
// test-voltage comparators and the modes they trigger; the status lines and fibre counters.
//
// Time only moves forwards. Between two changes of its inputs a channel's current is
// constant, so its state at any time follows from the state at the last change (a segment)
// by a closed formula; nothing is stepped frame by frame. The segments of the last minutes
// are kept so that the running sums can look back over their windows.
#pragma once

#include <array>
#include <cstdint>

#include "sim/config.h"

namespace sim {

inline constexpr double kFrameSeconds = 40e-6;
inline constexpr double kCountCoulomb = 200e-12;
inline constexpr int kMaxCountsPerFrame = 255;
inline constexpr double kMaxCountRate = kMaxCountsPerFrame / kFrameSeconds;
// Integrator content (in counts) at which the reverse-driven integrator sits on its rail.
inline constexpr double kRailLow = -0.5;

// What the FPGA registers set on the bench, per channel and for the board.
struct BenchInputs {
  std::array<uint8_t, kChannels> selA{};  // one-hot bytes as received
  std::array<uint8_t, kChannels> selB{};
  std::array<uint16_t, kChannels> value{};
  uint8_t sourceMask = 0;    // bit 7 channel 1 .. bit 0 channel 8
  uint8_t supplyReduce = 0;  // bit 0 P5V, bit 1 P2V5, bit 2 M5V
  uint16_t testVoltage = 0;  // DAC code, 5/4095 V per code
};

// State of one channel at a given time.
struct ChannelState {
  double x = 0.0;          // integrator content in counts: 0..1 in range, below 0 reverse-driven
  int64_t n = 0;           // CFC counts emitted since power-on
  double lastCount = 0.0;  // time of the last CFC count
  bool capped = false;     // current above what the CFC can count: integrator saturated
};

enum Mode : int { kModeCfcTest = 0, kModeDacReset = 1, kModeOtrReset = 2, kModeCount = 3 };

class Board {
 public:
  void powerOn(const BoardConfig &config, double t);

  // Inputs change at time t (>= every earlier time).
  void setInputs(const BenchInputs &in, double t);
  void resetCounters(double t);  // FPGA reset: error counters and frame counter restart

  // Processes everything that happens up to t (mode entries and releases, channels leaving
  // or reaching their range, DAC climbs).
  void advanceTo(double t);

  // Queries; times must not lie after the last advanceTo.
  ChannelState stateAt(int ch, double t) const;  // looks back through the kept segments
  double currentAmps(int ch) const { return current_[ch]; }
  int adcAt(int ch, const ChannelState &s, uint64_t frameIndex) const;
  uint8_t dacAt(int ch, double t) const;  // as the board reports it
  uint16_t statusA(double t) const;
  uint16_t statusB(double t) const;
  bool levelReported(int ch) const;
  bool modeActive(int mode) const { return modes_[mode].state >= kActive; }
  bool comparator(int k) const { return comparators_[k]; }
  uint32_t fibreCounter(double rate, double t) const;
  uint8_t minCountPerFrame(int ch) const;
  double powerOnTime() const { return powerOn_; }
  double countersSince() const { return countersSince_; }
  const BoardConfig &config() const { return config_; }

 private:
  static constexpr int kSegments = 512;
  struct Segment {
    double t = 0.0;
    ChannelState s;
    double rate = 0.0;  // counts per second, signed
  };
  struct Channel {
    std::array<Segment, kSegments> seg{};
    int head = 0;   // newest segment
    int count = 0;  // kept segments
    bool inRange = true;
    bool wentOut = false;
    // Slow DAC counter: value at the last change, climbing since `climbStart` when set.
    int dacBase = 0;
    bool climbing = false;
    double climbStart = 0.0;
  };
  enum ModeState : int { kIdle = 0, kPending = 1, kActive = 2, kHolding = 3 };
  struct ModeMachine {
    ModeState state = kIdle;
    double since = 0.0;
  };

  static ChannelState evolve(const Segment &seg, double t);
  const Segment &segmentAt(const Channel &c, double t) const;
  double sourceCurrent(int ch) const;
  void recomputeCurrents(double t);
  void pushSegment(int ch, double rate, double t);
  double nextRangeEvent(int ch) const;
  double xLow(int ch) const;
  int dacInternal(int ch, double t) const;
  void updateDac(int ch, double t);
  void updateComparators(double oldVolts, double newVolts);
  int requestedMode() const;
  void updateModeRequests(double t);
  bool allInRange() const;
  bool testCurrentOn() const;
  bool dacResetHeld() const;
  void evolveTo(double t);

  BoardConfig config_;
  BenchInputs in_;
  double powerOn_ = 0.0;
  double now_ = 0.0;
  double countersSince_ = 0.0;
  std::array<Channel, kChannels> ch_{};
  std::array<double, kChannels> current_{};
  std::array<bool, 4> comparators_{};  // present, test CFC, DAC reset, OTR reset
  std::array<ModeMachine, kModeCount> modes_{};
};

}  // namespace sim
