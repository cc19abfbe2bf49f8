// The simulated board's physics as the test steps see it: bias period, 200 counts per frame,
// running sums, integrator levels and the 100-second CFC error, supplies, the modes the test
// voltage triggers, the HV comparators under the HV step's scan, the DAC counters, and the
// linearity file against the source model. Figures go to the test log ("[figures]").
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "../sim/testing/harness.h"
#include "hw/block_format.h"
#include "support/test_env.h"

namespace {

simtest::SimLibrary &lib() {
  static simtest::SimLibrary l(testenv::simLibrary());
  return l;
}

struct FrameValues {
  unsigned cfc[8], adc[8];
};

// One FRAMES block decoded as the reader does (first frame found).
bool readFrame(simtest::Bench &b, FrameValues &out) {
  const std::vector<uint8_t> blk = b.block(1000);
  const int n = static_cast<int>(blk.size() / 2);
  for (int i = 0; i + 20 + 17 < n; ++i) {
    if (simtest::word(blk, i) != 317 || simtest::word(blk, i + 20) != 317) continue;
    if (simtest::word(blk, i + 17) + 1 != simtest::word(blk, i + 37)) continue;
    for (int g = 0; g < 2; ++g) {
      const unsigned w3 = simtest::word(blk, i + 3 + 5 * g), w4 = simtest::word(blk, i + 4 + 5 * g),
                     w5 = simtest::word(blk, i + 5 + 5 * g), w6 = simtest::word(blk, i + 6 + 5 * g),
                     w7 = simtest::word(blk, i + 7 + 5 * g);
      unsigned *c = out.cfc + 4 * g, *a = out.adc + 4 * g;
      c[0] = w3 >> 8;
      a[0] = ((w3 << 4) & 0xFF0) | (w4 >> 12);
      c[1] = (w4 >> 4) & 0xFF;
      a[1] = ((w4 << 8) & 0xF00) | (w5 >> 8);
      c[2] = w5 & 0xFF;
      a[2] = w6 >> 4;
      c[3] = ((w6 << 4) & 0xF0) | (w7 >> 12);
      a[3] = w7 & 0xFFF;
    }
    return true;
  }
  return false;
}

struct Sums {
  double normalised[8][12];
  uint16_t statusA, statusB;
  uint8_t dac[8];
};

Sums readSums(simtest::Bench &b) {
  const std::vector<uint8_t> blk = b.block(1024);
  Sums s{};
  for (int ch = 0; ch < 8; ++ch) {
    const int group = ch < 4 ? 2 : 258, second = ch < 4 ? 194 : 450, k = ch % 4;
    for (int sum = 0; sum < 12; ++sum) {
      double v = simtest::long32(blk, group + 4 * (4 * sum + k));
      if (sum >= 8) v += 34.0 * simtest::long32(blk, second + 4 * (4 * (sum - 8) + k));
      s.normalised[ch][sum] = v / blk::kSumDivisor[sum];
    }
  }
  const uint32_t st = simtest::long32(blk, 514 + 4 * 12);
  s.statusA = st & 0xFFFF;
  s.statusB = st >> 16;
  const uint32_t d1 = simtest::long32(blk, 514 + 60), d2 = simtest::long32(blk, 514 + 64);
  const uint32_t d[8] = {d1 >> 8, d1, d1 >> 24, d1 >> 16, d2 >> 8, d2, d2 >> 24, d2 >> 16};
  for (int c = 0; c < 8; ++c) s.dac[c] = static_cast<uint8_t>(d[c] & 0xFF);
  return s;
}

// Channel settings sent one channel at a time, as the unlinked configuration does.
void perChannel(simtest::Bench &b, const int selA[8], const int selB[8], const int value[8],
                uint8_t mask) {
  for (int ch = 1; ch <= 8; ++ch) {
    b.command(static_cast<uint8_t>(0x60 + ch), value[ch - 1] >> 8, value[ch - 1] & 0xFF);
    b.command(0x50, static_cast<uint8_t>(0x10 * ch), static_cast<uint8_t>(1u << selA[ch - 1]));
    b.command(0x80, static_cast<uint8_t>(0x10 * ch), static_cast<uint8_t>(1u << selB[ch - 1]));
  }
  b.command(0x90, 0x00, mask);
}

// Integrator periods from the ADC resets seen in FRAMES blocks every 20 ms, as the frame
// analysis measures them; also the ADC extremes and any step above 20 counts between resets.
struct PeriodRun {
  double mean[8] = {};
  unsigned adcMin = 4095, adcMax = 0;
  int discontinuities = 0, overshoots = 0;
};
PeriodRun measurePeriods(simtest::Bench &b, double seconds) {
  PeriodRun r;
  double last[8], sum[8] = {};
  int n[8] = {};
  unsigned prev[8];
  for (double &t : last) t = -1.0;
  FrameValues f{};
  bool first = true;
  for (double t = 0; t < seconds; t += 0.02) {
    b.wait(0.02);
    if (!readFrame(b, f)) continue;
    for (int c = 0; c < 8; ++c) {
      r.adcMin = std::min(r.adcMin, f.adc[c]);
      r.adcMax = std::max(r.adcMax, f.adc[c]);
      r.overshoots += f.adc[c] > 4090;
      if (!first) {
        const int d = static_cast<int>(f.adc[c]) - static_cast<int>(prev[c]);
        if (d > 3300) {
          if (last[c] >= 0) {
            sum[c] += b.clock.t - last[c];
            ++n[c];
          }
          last[c] = b.clock.t;
        } else if (std::abs(d) > 20) {
          ++r.discontinuities;
        }
      }
      prev[c] = f.adc[c];
    }
    first = false;
  }
  for (int c = 0; c < 8; ++c) r.mean[c] = n[c] ? sum[c] / n[c] : 0.0;
  return r;
}

TEST(SimPhysics, BiasCurrentGivesATwentySecondPeriod) {
  for (int viaSource = 0; viaSource < 2; ++viaSource) {
    simtest::Bench b(lib());
    b.mode(0x20);
    if (viaSource)
      b.linkedSources(10, 1, 1, false);  // setup 9: 10 pA from the source
    else
      b.linkedSources(10, 1, 1, true);  // open inputs: the channels' own offset current
    const PeriodRun r = measurePeriods(b, 65.0);
    std::printf("[figures] %s periods:", viaSource ? "setup 9" : "open-input");
    for (int c = 0; c < 8; ++c) {
      std::printf(" %.3f", r.mean[c]);
      EXPECT_NEAR(r.mean[c], 20.0, 0.4) << "channel " << c + 1;
    }
    std::printf(" s; ADC %u..%u\n", r.adcMin, r.adcMax);
    EXPECT_EQ(r.discontinuities, 0);
    EXPECT_EQ(r.overshoots, 0);
    EXPECT_LT(r.adcMin, 200u);
    EXPECT_GT(r.adcMax, 3900u);
  }
}

TEST(SimPhysics, SetupZeroGivesTwoHundredCountsPerFrame) {
  simtest::Bench b(lib());
  b.mode(0x20);
  b.linkedSources(1000, 7, 1, false);
  double sum[8] = {};
  int n = 0;
  FrameValues f{};
  for (int r = 0; r < 200; ++r) {
    b.wait(0.02);
    ASSERT_TRUE(readFrame(b, f));
    for (int c = 0; c < 8; ++c) {
      EXPECT_GE(f.cfc[c], 198u);
      EXPECT_LE(f.cfc[c], 202u);
      sum[c] += f.cfc[c];
    }
    ++n;
  }
  std::printf("[figures] setup 0 counts per frame:");
  for (int c = 0; c < 8; ++c) {
    std::printf(" %.2f", sum[c] / n);
    EXPECT_NEAR(sum[c] / n, 200.0, 2.0);
  }
  std::printf("\n");
}

TEST(SimPhysics, NormalisedSumsMatchTheCurrent) {
  const struct {
    int value, selA;
    double amps;
  } cases[] = {{1000, 7, 1e-3}, {1000, 4, 1e-6}, {1000, 1, 1e-9}, {10, 1, 1e-11}};
  for (const auto &k : cases) {
    simtest::Bench b(lib());
    b.mode(0x40);
    b.linkedSources(static_cast<uint16_t>(k.value), k.selA, 1, false);
    b.wait(90.0);
    const Sums s = readSums(b);
    const QuickUsbSimState st = b.state();
    for (int c = 0; c < 8; ++c) {
      const double expected = st.currentAmps[c] * 40e-6 / 200e-12;
      EXPECT_NEAR(st.currentAmps[c], k.amps, k.amps * 0.003);
      for (int sum = 7; sum < 12; ++sum)
        EXPECT_NEAR(s.normalised[c][sum], expected, expected * 1e-3 + 1.0 / blk::kSumDivisor[sum])
            << k.amps << " A, channel " << c + 1 << ", sum " << sum;
    }
    std::printf("[figures] %g A: sum 12 of channel 1 = %.6g per frame (expected %.6g)\n", k.amps,
                s.normalised[0][11], st.currentAmps[0] * 2e5);
  }
}

TEST(SimPhysics, IntegratorLevelsAndTheHundredSecondCfcError) {
  simtest::Bench b(lib());
  b.mode(0x40);
  b.linkedSources(0, 4, 7, false);  // positive current
  b.wait(1.0);
  Sums s = readSums(b);
  EXPECT_EQ(s.statusB, 0xFFFF);
  b.linkedSources(0, 5, 3, false);  // reverse current
  b.wait(0.1);
  s = readSums(b);
  EXPECT_EQ(s.statusB & 0x00FF, 0x00) << "out of range";
  const QuickUsbSimState before = b.state();
  b.wait(98.0);
  s = readSums(b);
  EXPECT_EQ(s.statusB & 0xFF00, 0xFF00) << "still normal after 98 s";
  const QuickUsbSimState stopped = b.state();
  for (int c = 0; c < 8; ++c) EXPECT_EQ(stopped.counts[c], before.counts[c]) << "counts stop";
  b.wait(2.5);
  s = readSums(b);
  EXPECT_EQ(s.statusB & 0xFF00, 0x0000) << "the 100-second error";
  b.linkedSources(0, 4, 7, false);
  b.wait(0.01);
  s = readSums(b);
  EXPECT_EQ(s.statusB, 0xFFFF) << "back in range and counting";
}

TEST(SimPhysics, SupplyReductionsDropTheirOwnLine) {
  simtest::Bench b(lib());
  b.mode(0x40);
  const struct {
    uint8_t reduce;
    uint16_t bit;
  } cases[] = {{0x01, 0x8000}, {0x04, 0x4000}, {0x02, 0x2000}};
  EXPECT_EQ(readSums(b).statusA & 0xEF03, 0xEF03);
  for (const auto &k : cases) {
    b.command(0x90, k.reduce, 0x00);
    b.wait(0.5);
    EXPECT_EQ(readSums(b).statusA & 0xE000, 0xE000 & ~k.bit);
  }
  b.command(0x90, 0x00, 0x00);
  EXPECT_EQ(readSums(b).statusA & 0xE000, 0xE000);
}

TEST(SimPhysics, ModesEnterWhenHeldAndReleaseWithTheIntegrators) {
  const struct { uint16_t code, bit; } modes[] = {{3000, 0x0040}, {4000, 0x0004}, {3250, 0x0010}};
  for (const auto &m : modes) {
    simtest::Bench b(lib());
    b.mode(0x40);
    b.testVoltage(2700);
    b.linkedSources(0, 0, 7, true);  // inputs open, as the mode steps set them
    b.testVoltage(m.code);
    b.wait(60.0);
    const Sums without = readSums(b);
    b.wait(29.0);
    EXPECT_EQ(readSums(b).statusA & m.bit, 0) << m.code << " not yet after 89 s";
    b.wait(2.0);
    EXPECT_EQ(readSums(b).statusA & m.bit, m.bit) << m.code << " entered after 90 s";
    b.wait(25.0);
    const Sums with = readSums(b);
    if (m.bit != 0x0010) {
      const double diff = (with.normalised[0][10] - without.normalised[0][10]) * 524288;
      std::printf("[figures] mode %04X: 20 s running sum of channel 1 grows by %.1f counts\n",
                  m.bit, diff);
      EXPECT_NEAR(diff, 100e-12 * 20.97152 / 200e-12, 1.5);
    }
    b.linkedSources(0, 5, 3, false);
    b.wait(10.0);
    b.testVoltage(2700);
    b.wait(5.0);
    EXPECT_EQ(readSums(b).statusA & m.bit, m.bit) << "held after the voltage falls";
    b.linkedSources(0, 4, 7, false);
    b.wait(0.4);
    const Sums after = readSums(b);
    EXPECT_EQ(after.statusB & 0xFF, 0xFF);
    EXPECT_EQ(after.statusA & m.bit, 0) << "released once every integrator is back";
  }
}

// The HV levels step's scan, from code 2450 up in windows of ten steps with a 250-code jump
// after each change, then down; the grading limits of the step.
TEST(SimPhysics, HvComparatorsPassTheGradingOfTheHvScan) {
  for (int step : {5, 1, 10}) {
    simtest::Bench b(lib());
    b.mode(0x40);
    b.testVoltage(0);
    const uint16_t bits[4] = {0x1000, 0x0080, 0x0020, 0x0008};
    double v[4][2] = {};
    int dac = 2450, up = 1, prev = 0;
    auto scan = [&](int code) -> bool {
      b.testVoltage(static_cast<uint16_t>(code));
      const int st = readSums(b).statusA & 0x10A8;
      if (st == prev) return false;
      for (int k = 0; k < 4; ++k)
        if ((st ^ prev) == bits[k]) v[k][up ? 0 : 1] = static_cast<float>(code * 5.0 / 4095.0);
      prev = st;
      return true;
    };
    for (int tick = 0; tick < 400; ++tick) {
      bool changed = false;
      if (up) {
        for (int code = dac; code < dac + 10 * step; code += step) {
          if (prev == 0x10A8 || code >= 4000) {
            up = 0;
            changed = true;
            break;
          }
          if (scan(code)) {
            dac += 250;
            changed = true;
            break;
          }
        }
        if (!changed) dac += 10 * step;
      } else {
        for (int code = dac; code > dac - 10 * step; code -= step) {
          if (prev == 0 || code <= 2000) break;
          if (scan(code)) {
            dac -= 250;
            changed = true;
            break;
          }
        }
        if (changed) continue;
        dac -= 10 * step;
        if (prev == 0) break;
      }
    }
    ASSERT_EQ(prev, 0);
    std::printf("[figures] HV scan step %d: up %.3f %.3f %.3f %.3f V, down %.3f %.3f %.3f %.3f V\n",
                step, v[0][0], v[1][0], v[2][0], v[3][0], v[0][1], v[1][1], v[2][1], v[3][1]);
    EXPECT_LT(v[0][0], 3.084);
    EXPECT_LT(v[0][1], 3.084);
    EXPECT_LE(v[1][0], 3.426);
    EXPECT_GE(v[1][1], 3.500);
    EXPECT_LE(v[2][0], 3.778);
    EXPECT_GE(v[2][1], 3.862);
    EXPECT_LE(v[3][0], 4.140);
    EXPECT_GE(v[3][1], 4.259);
    for (int k = 1; k < 4; ++k) EXPECT_GT(v[k][0], 0.0) << "every up switch recorded";
  }
}

TEST(SimPhysics, DacResetThenAClimbOfOneStepPerRunningSumWindow) {
  simtest::Bench b(lib());
  b.mode(0x40);
  b.testVoltage(3250);
  b.linkedSources(0, 5, 3, false);
  b.wait(30.0);
  Sums s = readSums(b);
  for (int c = 0; c < 8; ++c) EXPECT_NE(s.dac[c], 0) << "not reset yet after 30 s";
  b.wait(61.0);
  s = readSums(b);
  EXPECT_EQ(s.statusA & 0x0010, 0x0010);
  for (int c = 0; c < 8; ++c) EXPECT_EQ(s.dac[c], 0);
  b.testVoltage(2700);
  b.wait(1.0);
  EXPECT_EQ(readSums(b).statusA & 0x0010, 0x0010);
  b.linkedSources(0, 4, 7, false);
  b.wait(0.5);
  s = readSums(b);
  EXPECT_EQ(s.statusB & 0xFF, 0xFF);
  EXPECT_EQ(s.statusA & 0x0010, 0);
  for (int c = 0; c < 8; ++c) EXPECT_EQ(s.dac[c], 0);
  b.testVoltage(0);
  b.linkedSources(0, 5, 3, false);
  const double start = b.clock.t;
  uint8_t prev[8] = {};
  double over155 = 0, overflow = 0, lastStep = 0;
  int steps = 0;
  double minGap = 1e9, maxGap = 0;
  while (b.clock.t - start < 5500.0 && !overflow) {
    b.wait(0.4);
    s = readSums(b);
    for (int c = 0; c < 8; ++c) {
      if (s.dac[c] != prev[c]) {
        ASSERT_EQ(s.dac[c], prev[c] + 1) << "channel " << c + 1 << " at " << b.clock.t - start;
      }
    }
    if (s.dac[0] != prev[0]) {
      if (steps > 0) {
        minGap = std::min(minGap, b.clock.t - lastStep);
        maxGap = std::max(maxGap, b.clock.t - lastStep);
      }
      lastStep = b.clock.t;
      ++steps;
    }
    std::copy(s.dac, s.dac + 8, prev);
    if (!over155 && !(s.statusA & 0x0002)) {
      over155 = b.clock.t;
      EXPECT_EQ(*std::max_element(s.dac, s.dac + 8), 156);
    }
    if (!overflow && !(s.statusA & 0x0001)) {
      overflow = b.clock.t;
      EXPECT_EQ(*std::max_element(s.dac, s.dac + 8), 255);
    }
  }
  std::printf("[figures] DAC climb: %d steps, %.2f..%.2f s apart, 156 at %.0f s, 255 at %.0f s\n",
              steps, minGap, maxGap, over155 - start, overflow - start);
  EXPECT_EQ(steps, 255);
  EXPECT_NEAR(minGap, 20.97, 0.5);
  EXPECT_NEAR(maxGap, 20.97, 0.5);
  EXPECT_GT(overflow, 0.0);
}

TEST(SimPhysics, EveryLinearityFileLinePassesItsLimits) {
  std::ifstream in(testenv::sourceDir() + "/data/Card_3_linearity.txt");
  ASSERT_TRUE(in);
  simtest::Bench b(lib());
  b.mode(0x40);
  int lines = 0;
  for (std::string line; std::getline(in, line);) {
    float current, lo, hi;
    int selA, selB, value[8], sum, wait;
    if (std::sscanf(line.c_str(), "%f %d %d %d %d %d %d %d %d %d %d %d %f %f %d", &current, &selA,
                    &selB, &value[0], &value[1], &value[2], &value[3], &value[4], &value[5],
                    &value[6], &value[7], &sum, &lo, &hi, &wait) != 15)
      continue;
    if (lines == 0) {
      EXPECT_NEAR(current, 1e-3, 1e-9) << "line 0: the 200-counts current";
    }
    if (lines == 9) {
      EXPECT_NEAR(current, 1e-11, 1e-15) << "line 9: the bias current";
    }
    const int loops = current > 0.0001 ? 2 : 1;
    for (int j = 0; j < loops; ++j) {
      int a[8], bsel[8];
      for (int c = 0; c < 8; ++c) {
        const bool parked = loops == 2 && ((j == 0) == (c >= 4));
        a[c] = parked ? 0 : selA;
        bsel[c] = parked ? 7 : selB;
      }
      perChannel(b, a, bsel, value, 0x00);
      b.wait(wait + 0.25);
      const Sums s = readSums(b);
      for (int c = 0; c < 8; ++c) {
        if (loops == 2 && ((j == 0) == (c >= 4))) continue;
        const float v = static_cast<float>(s.normalised[c][sum - 1]);
        EXPECT_TRUE(v > lo && v < hi) << "line " << lines << " channel " << c + 1 << ": " << v
                                      << " not in " << lo << ".." << hi;
      }
      if (j == loops - 1)
        std::printf("[figures] linearity line %2d: %.3e A -> %.4e (limits %.4e..%.4e)\n", lines,
                    current, s.normalised[loops == 2 ? 4 : 0][sum - 1], lo, hi);
    }
    ++lines;
  }
  EXPECT_EQ(lines, 20);
}

}  // namespace
