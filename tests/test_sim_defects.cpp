// Each defect configuration against the good board: the same bench session (bias, 200 counts,
// supply reductions, integrator levels and CFC error, CFC test mode, HV scan, DAC reset and
// climb, fibre counters) is observed on both, and the defect must change what it is meant to
// change and nothing else.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>

#include "../sim/testing/harness.h"
#include "hw/block_format.h"
#include "support/test_env.h"

namespace {

simtest::SimLibrary &lib() {
  static simtest::SimLibrary l(testenv::simLibrary());
  return l;
}

std::string dataFile(const std::string &name) { return testenv::sourceDir() + "/data/sim/" + name; }

using Observations = std::map<std::string, long>;

struct Block {
  std::vector<uint8_t> bytes;
  uint32_t status(int n) const { return simtest::long32(bytes, 514 + 4 * n); }
  int dac(int ch) const {
    const uint32_t w = status(ch < 4 ? 15 : 16);
    const int shift[4] = {8, 0, 24, 16};
    return (w >> shift[ch % 4]) & 0xFF;
  }
  double normalised(int ch, int sum) const {
    const int group = ch < 4 ? 2 : 258, second = ch < 4 ? 194 : 450, k = ch % 4;
    double v = simtest::long32(bytes, group + 4 * (4 * sum + k));
    if (sum >= 8) v += 34.0 * simtest::long32(bytes, second + 4 * (4 * (sum - 8) + k));
    return v / blk::kSumDivisor[sum];
  }
};

class Session {
 public:
  explicit Session(const char *config) : b(lib(), config) { b.mode(0x40); }

  Block read() { return Block{b.block(1024)}; }
  void status(const std::string &at) {
    static const char *names[16] = {"DacOverflowOk", "DacOver155Ok", "OtrResetOn", "HvOtrReset",
                                    "DacResetOn",    "HvDacReset",   "TestCfcOn",  "HvTestCfc",
                                    "OTR2",          "OTR1",         "TEMP2",      "TEMP1",
                                    "HvPresent",     "P2V5",         "M5V",        "P5V"};
    const uint32_t w = read().status(12);
    for (int i = 0; i < 16; ++i) obs[at + ".A." + names[i]] = (w >> i) & 1;
    for (int c = 0; c < 8; ++c) {
      obs[at + ".level.ch" + std::to_string(c + 1)] = (w >> (16 + c)) & 1;
      obs[at + ".cfc.ch" + std::to_string(c + 1)] = (w >> (24 + c)) & 1;
    }
  }
  void dacs(const std::string &at) {
    const Block k = read();
    for (int c = 0; c < 8; ++c) obs[at + ".dac.ch" + std::to_string(c + 1)] = k.dac(c);
  }

  Observations run() {
    // Bias on open inputs.
    const QuickUsbSimState s0 = b.state();
    b.linkedSources(0, 0, 7, true);
    b.wait(45.0);
    const QuickUsbSimState s1 = b.state();
    for (int c = 0; c < 8; ++c)
      obs["bias.counts.ch" + std::to_string(c + 1)] = (s1.counts[c] - s0.counts[c]) > 0;
    status("bias");
    dacs("bias");
    // 200 counts.
    b.linkedSources(1000, 7, 1, false);
    b.wait(1.0);
    const Block k = read();
    for (int c = 0; c < 8; ++c)
      obs["setup0.ch" + std::to_string(c + 1)] = std::lround(k.normalised(c, 7));
    // Supplies, one at a time.
    for (uint8_t r : {0x01, 0x02, 0x04}) {
      b.command(0x90, r, 0x00);
      b.wait(1.0);
      status("reduce" + std::to_string(r));
    }
    b.command(0x90, 0x00, 0x00);
    // Integrator levels and the CFC error.
    b.linkedSources(0, 4, 7, false);
    b.wait(2.0);
    status("positive");
    b.linkedSources(0, 5, 3, false);
    b.wait(3.0);
    status("reverse3s");
    b.wait(102.0);
    status("reverse105s");
    dacs("reverse");
    b.linkedSources(0, 4, 7, false);
    b.wait(0.5);
    status("back");
    // CFC test mode, held and released.
    b.testVoltage(2700);
    b.linkedSources(0, 0, 7, true);
    b.testVoltage(3000);
    b.wait(95.0);
    status("cfcTest95s");
    b.linkedSources(0, 5, 3, false);
    b.wait(10.0);
    b.testVoltage(2700);
    b.wait(5.0);
    status("cfcTestHeld");
    b.linkedSources(0, 4, 7, false);
    b.wait(0.5);
    status("cfcTestReleased");
    hvScan();
    // DAC reset, release and climb.
    b.testVoltage(3250);
    b.linkedSources(0, 5, 3, false);
    b.wait(95.0);
    status("dacReset");
    dacs("dacReset");
    b.testVoltage(2700);
    b.linkedSources(0, 4, 7, false);
    b.wait(0.5);
    status("dacResetReleased");
    b.testVoltage(0);
    b.linkedSources(0, 5, 3, false);
    int prev[8] = {}, maxStep[8] = {};
    for (int i = 0; i < 1150; ++i) {
      b.wait(2.0);
      const Block d = read();
      for (int c = 0; c < 8; ++c) {
        maxStep[c] = std::max(maxStep[c], d.dac(c) - prev[c]);
        prev[c] = d.dac(c);
      }
    }
    for (int c = 0; c < 8; ++c) {
      obs["climb.maxStep.ch" + std::to_string(c + 1)] = maxStep[c];
      obs["climb.final.ch" + std::to_string(c + 1)] = prev[c];
    }
    const Block f = read();
    obs["fibre.crcA"] = f.status(3) > 0;
    obs["fibre.crcB"] = f.status(4) > 0;
    obs["fibre.lostA"] = f.status(9) > 0;
    obs["fibre.lostB"] = f.status(10) > 0;
    obs["fibre.other"] = f.status(5) + f.status(6) + f.status(7) > 0;
    return obs;
  }

  // The HV step's scan (step 5): the voltage at which each comparator switched.
  void hvScan() {
    b.testVoltage(0);
    const uint16_t bits[4] = {0x1000, 0x0080, 0x0020, 0x0008};
    int dac = 2450, up = 1, prev = 0;
    auto scan = [&](int code) {
      b.testVoltage(static_cast<uint16_t>(code));
      const int st = read().status(12) & 0x10A8;
      if (st == prev) return false;
      for (int k = 0; k < 4; ++k)
        if ((st ^ prev) == bits[k])
          obs[std::string(up ? "hv.up." : "hv.down.") + std::to_string(k)] = code;
      prev = st;
      return true;
    };
    for (int tick = 0; tick < 400; ++tick) {
      bool changed = false;
      if (up) {
        for (int code = dac; code < dac + 50; code += 5) {
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
        if (!changed) dac += 50;
      } else {
        for (int code = dac; code > dac - 50; code -= 5) {
          if (prev == 0 || code <= 2000) break;
          if (scan(code)) {
            dac -= 250;
            changed = true;
            break;
          }
        }
        if (changed) continue;
        dac -= 50;
        if (prev == 0) break;
      }
    }
  }

  simtest::Bench b;
  Observations obs;
};

const Observations &good() {
  static const Observations g = Session(dataFile("good.json").c_str()).run();
  return g;
}

bool contains(const std::string &s, const char *part) { return s.find(part) != std::string::npos; }

void expectOnly(const char *file, const std::function<bool(const std::string &)> &meant) {
  const Observations d = Session(dataFile(file).c_str()).run();
  ASSERT_EQ(d.size(), good().size()) << file;
  int shown = 0;
  for (const auto &[key, value] : good()) {
    const long v = d.at(key);
    if (v == value) continue;
    EXPECT_TRUE(meant(key)) << file << " also changes " << key << ": " << value << " -> " << v;
    shown += meant(key);
  }
  EXPECT_GT(shown, 0) << file << " changes nothing it is meant to";
}

TEST(SimDefects, GoodBoardObservations) {
  const Observations &g = good();
  for (int c = 1; c <= 8; ++c) {
    const std::string ch = std::to_string(c);
    EXPECT_EQ(g.at("bias.counts.ch" + ch), 1);
    EXPECT_EQ(g.at("setup0.ch" + ch), 200);
    EXPECT_EQ(g.at("positive.level.ch" + ch), 1);
    EXPECT_EQ(g.at("reverse3s.level.ch" + ch), 0);
    EXPECT_EQ(g.at("reverse3s.cfc.ch" + ch), 1);
    EXPECT_EQ(g.at("reverse105s.cfc.ch" + ch), 0);
    EXPECT_EQ(g.at("back.level.ch" + ch), 1);
    EXPECT_EQ(g.at("dacReset.dac.ch" + ch), 0);
    EXPECT_EQ(g.at("climb.maxStep.ch" + ch), 1);
    EXPECT_GT(g.at("climb.final.ch" + ch), 100);
  }
  EXPECT_EQ(g.at("bias.A.TEMP1") + g.at("bias.A.TEMP2") + g.at("bias.A.OTR1") + g.at("bias.A.OTR2"),
            4);
  EXPECT_EQ(g.at("reduce1.A.P5V"), 0);
  EXPECT_EQ(g.at("reduce4.A.M5V"), 0);
  EXPECT_EQ(g.at("reduce2.A.P2V5"), 0);
  EXPECT_EQ(g.at("cfcTest95s.A.TestCfcOn"), 1);
  EXPECT_EQ(g.at("cfcTestHeld.A.TestCfcOn"), 1);
  EXPECT_EQ(g.at("cfcTestReleased.A.TestCfcOn"), 0);
  EXPECT_EQ(g.at("dacReset.A.DacResetOn"), 1);
  EXPECT_EQ(g.at("dacResetReleased.A.DacResetOn"), 0);
  EXPECT_EQ(g.at("fibre.crcA") + g.at("fibre.crcB") + g.at("fibre.lostA") + g.at("fibre.lostB"), 0);
}

TEST(SimDefects, EachDefectChangesWhatItShouldAndNothingElse) {
  expectOnly("dac_jump.json", [](const std::string &k) {
    return k == "climb.maxStep.ch3" || k == "climb.final.ch3";
  });
  expectOnly("dac_stuck_zero.json", [](const std::string &k) {
    return contains(k, "ch6") && (contains(k, "dac") || contains(k, "climb"));
  });
  expectOnly("dead_channel.json", [](const std::string &k) { return contains(k, "ch4"); });
  expectOnly("hv_shifted.json", [](const std::string &k) { return k == "hv.up.2"; });
  expectOnly("m5v_monitor_stuck.json", [](const std::string &k) { return k == "reduce4.A.M5V"; });
  expectOnly("otr2_down.json", [](const std::string &k) { return contains(k, ".A.OTR2"); });
  expectOnly("temp1_down.json", [](const std::string &k) { return contains(k, ".A.TEMP1"); });
  expectOnly("crc_fibre_a.json", [](const std::string &k) { return k == "fibre.crcA"; });
  expectOnly("lost_fibre_b.json", [](const std::string &k) { return k == "fibre.lostB"; });
  expectOnly("level_never_back.json",
             [](const std::string &k) { return contains(k, "level.ch7"); });
  expectOnly("no_cfc_test_mode.json",
             [](const std::string &k) { return contains(k, "TestCfcOn"); });
}

TEST(SimDefects, UnpluggedModuleAnswersLikeTheGoodBoardUntilItGoes) {
  auto statusAfter = [](const char *file, double t) {
    simtest::Bench b(lib(), dataFile(file).c_str());
    b.mode(0x40);
    b.linkedSources(0, 0, 7, true);
    b.wait(t);
    const std::vector<uint8_t> blk = b.block(1024);
    return blk.empty() ? -1L : static_cast<long>(simtest::long32(blk, 514 + 48));
  };
  EXPECT_EQ(statusAfter("unplugged.json", 100.0), statusAfter("good.json", 100.0));
  EXPECT_EQ(statusAfter("unplugged.json", 130.0), -1L);
}

}  // namespace
