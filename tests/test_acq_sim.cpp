// Acquisition end to end against the simulated bench, in virtual time: FRAMES and SUMS runs
// started with the operator's keys on the good board, the bias period of the integrators, the
// fibre-error rates, and a module unplugged during acquisition.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "support/test_env.h"

namespace {

namespace M = ctl::Main;
namespace O = ctl::Options;

constexpr int kF10 = 0x1800;    // FRAMES
constexpr int kF11 = 0x1900;    // SUMS
constexpr int kGoodCard = 317;  // cardNumber of data/sim/good.json

std::string simConfig(const std::string &name) {
  return testenv::sourceDir() + "/data/sim/" + name + ".json";
}

class SimAcquisition : public ::testing::Test {
 protected:
  void start(const std::string &config) {
    if (!std::filesystem::exists(testenv::simLibrary())) GTEST_SKIP() << "no simulated bench";
    app::BenchOptions options;
    options.uiDir = testenv::uiDir();
    options.settingsPath = dir.file("settings.ini");
    options.quickusbLib = testenv::simLibrary();
    options.simConfig = config;
    bench = std::make_unique<app::Bench>(clock, options);
    bench->StartUp();
    ASSERT_EQ(bench->usb.NbrQuickUSBConnected, 1) << "the simulated module did not open";
  }
  void key(int vk) { bench->rt.KeyPress(bench->panels.MainPanel, vk); }
  void runFor(double seconds) { bench->rt.RunUntil(clock.now() + seconds); }
  double main(int ctrl) { return bench->rt.GetCtrlValD(bench->panels.MainPanel, ctrl); }
  bool running() {
    return bench->rt.GetCtrlAttribute(bench->panels.MainPanel, M::AcqTimer, rt::ATTR_ENABLED);
  }
  acq::Acquisition &acq() { return bench->acq; }

  testenv::TempDir dir;
  rt::VirtualClock clock;
  std::unique_ptr<app::Bench> bench;
};

TEST_F(SimAcquisition, FramesRunOnTheGoodBoard) {
  start(simConfig("good"));
  key(kF10);
  ASSERT_TRUE(running());
  runFor(10.0);
  EXPECT_EQ(main(M::CardNumber), kGoodCard);
  EXPECT_EQ(bench->rt.GetCtrlValD(bench->panels.OptionsPanel, O::CardNumber), kGoodCard);
  EXPECT_NEAR(main(M::FramePeriod), 0.02, 0.02 * 0.02);
  EXPECT_EQ(main(M::ReadErrors), 0);
  EXPECT_EQ(acq().ReadErrorCount, 0);
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_GT(acq().ADC[ch][199], 0) << ch;
    EXPECT_LE(acq().ADC[ch][199], 4095) << ch;
  }
}

TEST_F(SimAcquisition, IntegratorsOnTheBiasCurrentTakeTwentySeconds) {
  start(simConfig("good"));
  // The bias current setup of the linearity file on every channel: 10 x 1 pA, source driven.
  const int o = bench->panels.OptionsPanel;
  bench->rt.SetCtrlVal(o, O::LinkSources, 1);
  bench->rt.SetCtrlVal(o, O::SourceValue[0], 10);
  bench->rt.SetCtrlVal(o, O::SourceSelA[0], 1);
  bench->rt.SetCtrlVal(o, O::SourceSelB[0], 1);
  bench->rt.SetCtrlVal(o, O::SourceOn[0], 0);
  bench->config.UpdateFPGAConfigFromOptionPanel();
  key(kF10);
  // Two resets at least: the first one measures from the clock's origin.
  runFor(65.0);
  for (int ch = 0; ch < 8; ++ch) EXPECT_NEAR(acq().ADC_STAT_PERIODE[ch], 20.0, 1.0) << ch;
  EXPECT_NEAR(main(M::FocusPeriodRate), 10.0, 0.5);  // 200 / period of the focus channel
  EXPECT_EQ(acq().ReadErrorCount, 0);
}

TEST_F(SimAcquisition, SumsRunOnTheGoodBoardShowsNoErrors) {
  start(simConfig("good"));
  key(kF11);
  runFor(10.0);
  EXPECT_EQ(main(M::AcqInterval), 0.4);
  EXPECT_EQ(main(M::CardNumber), kGoodCard);
  EXPECT_GT(acq().LastRateTime, 0.0);
  EXPECT_EQ(acq().Erra_rate, 0);
  EXPECT_EQ(acq().Errb_rate, 0);
  EXPECT_EQ(acq().Losta_rate, 0);
  EXPECT_EQ(acq().Lostb_rate, 0);
  const int m = bench->panels.MainPanel;
  for (int row : {5, 6, 11, 12}) EXPECT_EQ(bench->rt.GetTableCellVal(m, M::StatusTable, row, 3), 0);
  EXPECT_EQ(acq().ReadErrorCount, 0);
}

TEST_F(SimAcquisition, CrcErrorsOfFibreAShowAsARate) {
  // 0.5 errors a second: a window of a little over 3 s holds one or two of them.
  start(simConfig("crc_fibre_a"));
  key(kF11);
  runFor(10.0);
  const double window = 3.2;
  EXPECT_GT(acq().Erra_rate, 0.0);
  EXPECT_NEAR(acq().Erra_rate, 0.5, 1.0 / window);
  EXPECT_EQ(acq().Errb_rate, 0);
  EXPECT_EQ(acq().Lostb_rate, 0);
}

TEST_F(SimAcquisition, FibreRatesMatchTheConfiguredRates) {
  // Rates high enough that one count more or less is below a percent of a window.
  const std::string config = dir.file("fast_errors.json");
  testenv::writeFile(
      config, R"({"name": "fast_errors", "description": "CRC errors on A, lost frames on B",)"
              R"( "fibres": {"crcA": 40, "lostB": 25}})");
  start(config);
  key(kF11);
  runFor(10.0);
  EXPECT_NEAR(acq().Erra_rate, 40.0, 4.0);
  EXPECT_NEAR(acq().Lostb_rate, 25.0, 2.5);
  EXPECT_EQ(acq().Errb_rate, 0);
  EXPECT_EQ(acq().Losta_rate, 0);
}

TEST_F(SimAcquisition, UnpluggedModuleStopsTheAcquisitionIntoNoHardwareMode) {
  start(simConfig("unplugged"));  // gone 120 s after power-on
  key(kF10);
  runFor(110.0);
  ASSERT_TRUE(running());
  EXPECT_EQ(acq().ReadErrorCount, 0);
  runFor(20.0);
  EXPECT_FALSE(running());
  EXPECT_EQ(bench->usb.NbrQuickUSBConnected, 0);
  EXPECT_FALSE(
      bench->rt.GetCtrlAttribute(bench->panels.MainPanel, M::ReadOutMode, rt::ATTR_DIMMED));

  // Started again, the acquisition runs on demo values.
  const int index = acq().NewestIndex;
  key(kF10);
  runFor(1.0);
  EXPECT_TRUE(running());
  EXPECT_NE(acq().NewestIndex, index);
}

TEST_F(SimAcquisition, ReadAfterTheUnplugReturnsModuleLost) {
  start(simConfig("unplugged"));
  bench->rt.SetCtrlVal(bench->panels.MainPanel, M::ReadOutMode, 1);
  bench->config.UpdateMainPanel();
  EXPECT_EQ(acq().ReadShowFrame(), 0);
  clock.advance(121.0);
  EXPECT_EQ(acq().ReadShowFrame(), -10);
  EXPECT_EQ(bench->usb.NbrQuickUSBConnected, 0);
}

}  // namespace
