// Acquisition end to end against the simulated bench in virtual time, started with the
// operator's keys: FRAMES and SUMS on the good board with the bias period, fibre-error rates,
// and a module unplugged during acquisition.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "support/test_env.h"

namespace {

namespace M = ctl::Main;
namespace O = ctl::Options;
constexpr int kF10 = 0x1800, kF11 = 0x1900;

class SimAcquisition : public ::testing::Test {
 protected:
  // The simulated bench stays loaded for the whole program, as in a real run: its one bench
  // instance lives as long as the library.
  static void SetUpTestSuite() { dlopen(testenv::simLibrary().c_str(), RTLD_NOW); }
  // The simulated bench is part of every build: its absence fails the test.
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << testenv::simLibrary();
  }
  void start(const std::string &config) {
    bench = std::make_unique<app::Bench>(
        clock, app::BenchOptions{testenv::uiDir(), testenv::simLibrary(), config, dir.file("s")});
    bench->StartUp();
    ASSERT_EQ(bench->usb.NbrQuickUSBConnected, 1);
  }
  static std::string data(const char *name) {
    return testenv::sourceDir() + "/data/sim/" + name + ".json";
  }
  void run(int key, double seconds) {
    if (key) bench->rt.KeyPress(bench->panels.MainPanel, key);
    bench->rt.RunUntil(clock.now() + seconds);
  }
  double main(int c) { return bench->rt.GetCtrlValD(bench->panels.MainPanel, c); }
  bool running() {
    return bench->rt.GetCtrlAttribute(bench->panels.MainPanel, M::AcqTimer, rt::ATTR_ENABLED);
  }

  testenv::TempDir dir;
  rt::VirtualClock clock;
  std::unique_ptr<app::Bench> bench;
};

TEST_F(SimAcquisition, GoodBoardInFramesAndSums) {
  start(data("good"));  // card number 317
  const int o = bench->panels.OptionsPanel;
  // Every channel on the bias current of the linearity file: 10 x 1 pA from the source.
  for (auto [c, v] : {std::pair{O::LinkSources, 1},
                      {O::SourceValue[0], 10},
                      {O::SourceSelA[0], 1},
                      {O::SourceSelB[0], 1},
                      {O::SourceOn[0], 0}})
    bench->rt.SetCtrlVal(o, c, v);
  bench->config.UpdateFPGAConfigFromOptionPanel();
  run(kF10, 65.0);  // two integrator resets at least: the first measures from time 0
  EXPECT_EQ(main(M::CardNumber) + bench->rt.GetCtrlValD(o, O::CardNumber), 2 * 317);
  EXPECT_NEAR(main(M::FramePeriod), 0.02, 0.02 * 0.02);
  EXPECT_EQ(main(M::ReadErrors), 0);
  for (int ch = 0; ch < 8; ++ch) EXPECT_NEAR(bench->acq.ADC_STAT_PERIODE[ch], 20.0, 1.0) << ch;

  run(kF11, 10.0);
  EXPECT_EQ(main(M::AcqInterval), 0.4);
  EXPECT_EQ(main(M::CardNumber), 317);
  const acq::Acquisition &a = bench->acq;
  EXPECT_GT(a.LastRateTime, 65.0);
  EXPECT_EQ(a.Erra_rate + a.Errb_rate + a.Losta_rate + a.Lostb_rate, 0);
  EXPECT_EQ(a.ReadErrorCount, 0);
}

TEST_F(SimAcquisition, FibreErrorRates) {
  start(data("crc_fibre_a"));  // 5 CRC errors a second on fibre A
  run(kF11, 10.0);
  EXPECT_NEAR(bench->acq.Erra_rate, 5.0, 0.5);
  EXPECT_EQ(bench->acq.Errb_rate + bench->acq.Losta_rate + bench->acq.Lostb_rate, 0);
  testenv::writeFile(dir.file("fast.json"), R"({"name": "fast", "description": "errors",)"
                                            R"( "fibres": {"crcA": 40, "lostB": 25}})");
  bench.reset();
  start(dir.file("fast.json"));
  run(kF11, 10.0);
  EXPECT_NEAR(bench->acq.Erra_rate, 40.0, 4.0);
  EXPECT_NEAR(bench->acq.Lostb_rate, 25.0, 2.5);
  EXPECT_EQ(bench->acq.Errb_rate + bench->acq.Losta_rate, 0);
}

TEST_F(SimAcquisition, UnpluggedModuleStopsTheAcquisition) {
  start(data("unplugged"));  // gone 120 s after power-on
  run(kF10, 110.0);
  ASSERT_TRUE(running());
  run(0, 20.0);
  EXPECT_FALSE(running());
  EXPECT_EQ(bench->usb.NbrQuickUSBConnected, 0);
  EXPECT_FALSE(
      bench->rt.GetCtrlAttribute(bench->panels.MainPanel, M::ReadOutMode, rt::ATTR_DIMMED));
  // Started again, the acquisition reads nothing: no pseudo-random data takes the module's
  // place, and the last figures of the board stay as they were.
  const uint16_t adc = bench->acq.ADC[0][199];
  const double lostAt = bench->usb.ModuleLostAt;
  EXPECT_NEAR(lostAt, 120.0, 0.5);
  run(kF10, 1.0);
  EXPECT_FALSE(running());
  EXPECT_EQ(bench->acq.ADC[0][199], adc);
  EXPECT_EQ(bench->acq.ReadShowFrame(), -10);
  EXPECT_EQ(bench->usb.ModuleLostAt, lostAt);

  bench.reset();  // the read itself returns -10
  start(data("unplugged"));
  clock.advance(121.0);
  EXPECT_EQ(bench->acq.ReadShowFrame(), -10);
}

}  // namespace
