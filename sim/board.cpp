#include "sim/board.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "hw/status_bits.h"
#include "sim/noise.h"

namespace sim {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kVoltsPerCode = 5.0 / 4095.0;

// Index of the single bit set in a selector byte, -1 when none or several are set.
int oneHot(uint8_t b) {
  if (b == 0 || (b & (b - 1)) != 0) return -1;
  int i = 0;
  while (!(b & 1u)) {
    b >>= 1;
    ++i;
  }
  return i;
}

}  // namespace

void Board::powerOn(const BoardConfig &config, double t) {
  config_ = config;
  in_ = BenchInputs{};
  powerOn_ = now_ = countersSince_ = t;
  comparators_ = {};
  modes_ = {};
  for (int c = 0; c < kChannels; ++c) {
    Channel &k = ch_[c];
    k.head = 0;
    k.count = 1;
    Segment &s = k.seg[0];
    s.t = t;
    s.rate = 0.0;
    s.s = ChannelState{};
    s.s.x = 0.2 + 0.6 * unitNoise(config.seed, 0x51u + c, 0);
    s.s.lastCount = t;
    k.inRange = s.s.x >= xLow(c);
    k.wentOut = !k.inRange;
    k.dacBase = config.initialDac[c];
    k.climbing = false;
    k.climbStart = t;
    current_[c] = 0.0;
  }
}

double Board::xLow(int ch) const { return (config_.adcTop[ch] - 4095.0) / config_.adcSwing; }

ChannelState Board::evolve(const Segment &seg, double t) {
  ChannelState s = seg.s;
  const double dt = t - seg.t;
  if (dt <= 0.0) return s;
  double r = seg.rate;
  s.capped = r > kMaxCountRate;
  if (s.capped) r = kMaxCountRate;
  if (r > 0.0) {
    const double total = s.x + r * dt;
    if (total >= 1.0) {
      const double k = std::floor(total);
      s.n += static_cast<int64_t>(k);
      s.x = total - k;
      s.lastCount = t - s.x / r;
    } else {
      s.x = total;
    }
  } else if (r < 0.0) {
    s.x = std::max(s.x + r * dt, kRailLow);
  }
  return s;
}

const Board::Segment &Board::segmentAt(const Channel &c, double t) const {
  int i = c.head;
  for (int n = 1; n < c.count; ++n) {
    if (c.seg[i].t <= t) return c.seg[i];
    i = (i + kSegments - 1) % kSegments;
  }
  return c.seg[i];  // the oldest kept (windows reaching further back are cut there)
}

ChannelState Board::stateAt(int ch, double t) const {
  const Segment &seg = segmentAt(ch_[ch], t);
  return evolve(seg, std::max(t, seg.t));
}

double Board::sourceCurrent(int ch) const {
  // Selector A picks the decade of the source, selector B what drives it:
  //   B1: +value x 10^(A-13) A   B2: -value x 10^(A-13) A
  //   B7: +1000 x 10^(A-13) A    B3: -1000 x 10^(A-13) A (fixed references)
  // A0 leaves the source open; any other B, or a selector byte without exactly one bit set,
  // connects nothing.
  const int a = oneHot(in_.selA[ch]);
  const int b = oneHot(in_.selB[ch]);
  if (a <= 0 || b < 0) return 0.0;
  const double decade = std::pow(10.0, a - 13);
  double i = 0.0;
  switch (b) {
    case 1:
      i = in_.value[ch] * decade;
      break;
    case 2:
      i = -in_.value[ch] * decade;
      break;
    case 3:
      i = -1000.0 * decade;
      break;
    case 7:
      i = 1000.0 * decade;
      break;
    default:
      break;
  }
  return i * config_.sourceGain[ch];
}

bool Board::testCurrentOn() const {
  return modes_[kModeCfcTest].state >= kActive || modes_[kModeOtrReset].state >= kActive;
}

bool Board::dacResetHeld() const { return modes_[kModeDacReset].state >= kActive; }

void Board::pushSegment(int ch, double rate, double t) {
  Channel &c = ch_[ch];
  Segment &newest = c.seg[c.head];
  if (newest.rate == rate) return;
  const ChannelState s = evolve(newest, t);
  const bool wasCapped = newest.rate > kMaxCountRate;
  const bool capped = rate > kMaxCountRate;
  if (newest.t >= t) {
    newest.rate = rate;  // a second change at the same instant
    newest.s.capped = capped;
  } else {
    c.head = (c.head + 1) % kSegments;
    c.count = std::min(c.count + 1, kSegments);
    Segment &seg = c.seg[c.head];
    seg.t = t;
    seg.s = s;
    seg.s.capped = capped;
    seg.rate = rate;
  }
  if (capped) {
    c.inRange = false;
    c.wentOut = true;
  } else if (wasCapped) {
    c.inRange = s.x >= xLow(ch);
  }
}

void Board::recomputeCurrents(double t) {
  const double test = testCurrentOn() ? config_.testCurrentPa * 1e-12 : 0.0;
  for (int c = 0; c < kChannels; ++c) {
    double i = 0.0;
    if (!(config_.deadChannels & (1u << c))) {
      // Mask bit set: the input is switched to the open external input, where only the
      // channel's own offset current flows. Clear: the bench source drives the channel.
      const bool open = in_.sourceMask & (0x80u >> c);
      i = (open ? config_.offsetCurrentPa[c] * 1e-12 : sourceCurrent(c)) + test;
    }
    current_[c] = i;
    pushSegment(c, i / kCountCoulomb, t);
  }
}

int Board::dacInternal(int ch, double t) const {
  const Channel &c = ch_[ch];
  if (!c.climbing) return c.dacBase;
  // The board's slow clock ticks once per step period from power-on; every tick that falls
  // while the channel is driven out of range advances the counter by one.
  const double period = config_.dacStepSeconds;
  const double steps =
      std::floor((t - powerOn_) / period) - std::floor((c.climbStart - powerOn_) / period);
  const int n = steps > 255.0 ? 255 : static_cast<int>(std::max(0.0, steps));
  int v = c.dacBase + n;
  if (config_.dacJumpChannel == ch + 1 && c.dacBase <= config_.dacJumpAtValue &&
      v > config_.dacJumpAtValue)
    v += config_.dacJumpBy - 1;
  return std::min(v, 255);
}

uint8_t Board::dacAt(int ch, double t) const {
  if (config_.dacStuckAtZero & (1u << ch)) return 0;
  return static_cast<uint8_t>(dacInternal(ch, t));
}

void Board::updateDac(int ch, double t) {
  // The slow DAC climbs one step per period while the integrator is driven out of range by
  // a reverse current; the DAC reset mode clears it and holds it at 0.
  Channel &c = ch_[ch];
  if (dacResetHeld()) {
    c.dacBase = 0;
    c.climbing = false;
    return;
  }
  const bool reverse = !c.inRange && !(c.seg[c.head].rate > kMaxCountRate);
  if (reverse && !c.climbing) {
    c.climbing = true;
    c.climbStart = t;
  } else if (!reverse && c.climbing) {
    c.dacBase = dacInternal(ch, t);
    c.climbing = false;
  }
}

void Board::updateComparators(double oldVolts, double newVolts) {
  const Comparator *k[4] = {&config_.hvPresent, &config_.hvTestCfc, &config_.hvDacReset,
                            &config_.hvOtrReset};
  for (int i = 0; i < 4; ++i) {
    if (newVolts > oldVolts)
      comparators_[i] = comparators_[i] || newVolts >= k[i]->up;
    else if (newVolts < oldVolts)
      comparators_[i] = comparators_[i] && newVolts >= k[i]->down;
  }
}

int Board::requestedMode() const {
  // The board decodes the highest comparator that is on into the command it stands for.
  if (comparators_[3]) return kModeOtrReset;
  if (comparators_[2]) return kModeDacReset;
  if (comparators_[1]) return kModeCfcTest;
  return -1;
}

bool Board::allInRange() const {
  for (const Channel &c : ch_)
    if (!c.inRange) return false;
  return true;
}

void Board::updateModeRequests(double t) {
  const bool enabled[kModeCount] = {config_.cfcTestMode, config_.dacResetMode,
                                    config_.otrResetMode};
  const int req = requestedMode();
  for (int m = 0; m < kModeCount; ++m) {
    ModeMachine &mm = modes_[m];
    const bool wanted = req == m && enabled[m];
    switch (mm.state) {
      case kIdle:
        if (wanted) mm = {kPending, t};
        break;
      case kPending:
        if (!wanted) mm = {kIdle, t};
        break;
      case kActive:
        if (!wanted) mm = {kHolding, t};
        break;
      case kHolding:
        if (wanted) mm = {kActive, t};
        break;
    }
  }
}

void Board::evolveTo(double t) {
  // Settles everything that depends on the others at time t: modes held only until every
  // integrator is back in range, currents, DAC counters.
  for (int pass = 0; pass < 4; ++pass) {
    bool changed = false;
    if (allInRange())
      for (ModeMachine &mm : modes_)
        if (mm.state == kHolding) {
          mm = {kIdle, t};
          changed = true;
        }
    recomputeCurrents(t);
    for (int c = 0; c < kChannels; ++c) updateDac(c, t);
    if (!changed) break;
  }
}

double Board::nextRangeEvent(int ch) const {
  const Channel &c = ch_[ch];
  const Segment &seg = c.seg[c.head];
  const double r = seg.rate;
  if (r > kMaxCountRate) return kInf;
  const ChannelState s = evolve(seg, now_);
  const double lo = xLow(ch);
  if (c.inRange && r < 0.0) return now_ + std::max(0.0, s.x - lo) / -r;
  if (!c.inRange && r > 0.0) return now_ + std::max(0.0, lo - s.x) / r;
  return kInf;
}

void Board::advanceTo(double t) {
  if (t < now_) t = now_;
  // Each pass handles the earliest event and flips one flag or one mode, so the number of
  // passes is bounded by the events that really happen before t.
  for (int guard = 0; guard < 100000; ++guard) {
    double te = kInf;
    int which = -1;
    for (int c = 0; c < kChannels; ++c) {
      const double e = nextRangeEvent(c);
      if (e < te) {
        te = e;
        which = c;
      }
    }
    for (int m = 0; m < kModeCount; ++m)
      if (modes_[m].state == kPending) {
        const double e = modes_[m].since + config_.modeEntrySeconds;
        if (e < te) {
          te = e;
          which = 100 + m;
        }
      }
    if (which < 0 || te > t) break;
    now_ = std::max(now_, te);
    if (which < 100) {
      Channel &c = ch_[which];
      c.inRange = !c.inRange;
      if (!c.inRange) c.wentOut = true;
    } else {
      modes_[which - 100] = {kActive, now_};
    }
    evolveTo(now_);
  }
  now_ = t;
}

void Board::setInputs(const BenchInputs &in, double t) {
  advanceTo(t);
  const double oldVolts = in_.testVoltage * kVoltsPerCode;
  in_ = in;
  const double newVolts = in_.testVoltage * kVoltsPerCode;
  if (newVolts != oldVolts) {
    updateComparators(oldVolts, newVolts);
    updateModeRequests(now_);
  }
  evolveTo(now_);
}

void Board::resetCounters(double t) {
  advanceTo(t);
  countersSince_ = now_;
}

bool Board::levelReported(int ch) const {
  const Channel &c = ch_[ch];
  if ((config_.levelNeverBack & (1u << ch)) && c.wentOut) return false;
  return c.inRange;
}

int Board::adcAt(int ch, const ChannelState &s, uint64_t frameIndex) const {
  double v = s.capped ? 0.0 : config_.adcTop[ch] - config_.adcSwing * s.x;
  v += config_.adcNoise * (2.0 * unitNoise(config_.seed, 0xADCu + ch, frameIndex) - 1.0);
  const long r = std::lround(v);
  return static_cast<int>(std::clamp(r, 0L, 4095L));
}

uint16_t Board::statusA(double t) const {
  uint16_t a = 0;
  const uint8_t red = in_.supplyReduce;
  if (!(red & 0x01) || !config_.p5vMonitor) a |= st::kP5vOk;
  if (!(red & 0x04) || !config_.m5vMonitor) a |= st::kM5vOk;
  if (!(red & 0x02) || !config_.p2v5Monitor) a |= st::kP2v5Ok;
  if (comparators_[0]) a |= st::kHvPresent;
  if (config_.temp1) a |= st::kTemp1Ok;
  if (config_.temp2) a |= st::kTemp2Ok;
  if (config_.otr1) a |= st::kOtr1Ok;
  if (config_.otr2) a |= st::kOtr2Ok;
  if (comparators_[1]) a |= st::kHvTestCfc;
  if (modes_[kModeCfcTest].state >= kActive) a |= st::kCfcTestMode;
  if (comparators_[2]) a |= st::kHvDacReset;
  if (modes_[kModeDacReset].state >= kActive) a |= st::kDacResetReceived;
  if (comparators_[3]) a |= st::kHvOtrReset;
  if (modes_[kModeOtrReset].state >= kActive) a |= st::kOtrResetReceived;
  bool over155 = false, overflow = false;
  for (int c = 0; c < kChannels; ++c) {
    const int d = dacAt(c, t);
    over155 = over155 || d > 155;
    overflow = overflow || d >= 255;
  }
  auto line = [](LineMode m, bool ok) {
    return m == LineMode::StuckOk || (m == LineMode::Follows && ok);
  };
  if (line(config_.dacOver155, !over155)) a |= st::kDacOver155Ok;
  if (line(config_.dacOverflow, !overflow)) a |= st::kDacOverflowOk;
  return a;
}

uint16_t Board::statusB(double t) const {
  uint16_t b = 0;
  for (int c = 0; c < kChannels; ++c) {
    if (levelReported(c)) b |= static_cast<uint16_t>(st::levelOk(c));
    const ChannelState s = stateAt(c, t);
    if (t - s.lastCount < config_.cfcErrorSeconds) b |= static_cast<uint16_t>(st::cfcNormal(c));
  }
  return b;
}

uint32_t Board::fibreCounter(double rate, double t) const {
  const double v = std::floor(rate * std::max(0.0, t - countersSince_));
  return v >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

uint8_t Board::minCountPerFrame(int ch) const {
  const double r = ch_[ch].seg[ch_[ch].head].rate;
  if (r <= 0.0) return 0;
  return static_cast<uint8_t>(std::min(255.0, std::floor(r * kFrameSeconds)));
}

}  // namespace sim
