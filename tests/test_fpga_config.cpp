// FPGA configuration from the options and main panels: the commands each update sends, in
// order, the displays and the dimming and visibility they set, and the current setups.
#include "test_acq_bench.h"

namespace {

using acqtest::Command;
namespace O = ctl::Options;
namespace M = ctl::Main;

class FpgaConfig : public acqtest::BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    plugModule();
    module().clearLog();
  }
  hw::FpgaConfig &config() { return bench->config; }
  std::vector<Command> optionCommands() {
    module().clearLog();
    config().UpdateFPGAConfigFromOptionPanel();
    return commands();
  }
  std::vector<Command> mainCommands() {
    module().clearLog();
    config().UpdateMainPanel();
    return commands();
  }
};

TEST_F(FpgaConfig, LinkedSourcesSendChannelOneForAll) {
  setOpt(O::LinkSources, 1);
  setOpt(O::SourceValue[0], 0x1234);
  setOpt(O::SourceSelA[0], 4);
  setOpt(O::SourceSelB[0], 7);
  setOpt(O::SourceOn[0], 1);
  setOpt(O::SourceValue[3], 0x5555);  // ignored while linked
  setOpt(O::ModulationDivider, 256);
  setOpt(O::ModulationMultiplication, 511);
  setOpt(O::ModulationOffset, 0xABCD);
  setOpt(O::TestCfcVoltage, 0x0FFF);
  for (auto c : {O::ReduceP5V, O::ReduceP2V5, O::ReduceM5V}) setOpt(c, 0);

  std::vector<Command> expected = {
      {0x70, 0x01, 0x00}, {0x71, 0x00, 0xFF}, {0x6B, 0xAB, 0xCD}, {0x6C, 0x0F, 0xFF}};
  for (int c = 0x61; c <= 0x68; ++c) expected.push_back({c, 0x12, 0x34});
  for (int code = 0x10; code <= 0x80; code += 0x10) expected.push_back({0x50, code, 0x10});
  for (int code = 0x10; code <= 0x80; code += 0x10) expected.push_back({0x80, code, 0x80});
  expected.push_back({0x90, 0x00, 0xFF});
  EXPECT_EQ(optionCommands(), expected);
  EXPECT_EQ(expected.size(), 29u);

  EXPECT_DOUBLE_EQ(optVal(O::ModulationFrequency), 15.2587890625);
  EXPECT_DOUBLE_EQ(optVal(O::ModulationFactorDisplay), 3992.1875);
  EXPECT_EQ(config().Link_current_sources, 1);

  setOpt(O::SourceOn[0], 0);
  EXPECT_EQ(optionCommands().back(), (Command{0x90, 0x00, 0x00}));
}

TEST_F(FpgaConfig, UnlinkedSourcesSendEachChannelInTurn) {
  setOpt(O::LinkSources, 0);
  for (int ch = 0; ch < 8; ++ch) {
    setOpt(O::SourceValue[ch], 0x100 * (ch + 1) + ch);
    setOpt(O::SourceSelA[ch], ch);
    setOpt(O::SourceSelB[ch], 7 - ch);
    setOpt(O::SourceOn[ch], ch == 0 || ch == 7);
  }
  setOpt(O::ReduceP5V, 1);
  setOpt(O::ReduceP2V5, 0);
  setOpt(O::ReduceM5V, 1);

  const std::vector<Command> got = optionCommands();
  ASSERT_EQ(got.size(), 29u);
  for (int ch = 1; ch <= 8; ++ch) {
    const size_t at = 4 + 3 * (ch - 1);
    EXPECT_EQ(got[at], (Command{0x60 + ch, ch, ch - 1})) << ch;
    EXPECT_EQ(got[at + 1], (Command{0x50, 0x10 * ch, 1 << (ch - 1)})) << ch;
    EXPECT_EQ(got[at + 2], (Command{0x80, 0x10 * ch, 1 << (8 - ch)})) << ch;
  }
  EXPECT_EQ(got.back(), (Command{0x90, 0x05, 0x81}));
}

TEST_F(FpgaConfig, ModulationDividerOfZeroShowsNoFrequency) {
  setOpt(O::ModulationDivider, 0);
  const std::vector<Command> got = optionCommands();
  EXPECT_EQ(got.front(), (Command{0x70, 0x00, 0x00}));
  EXPECT_EQ(optVal(O::ModulationFrequency), 0.0);
}

TEST_F(FpgaConfig, LinkingDimsTheOtherChannelsControls) {
  const int o = p.OptionsPanel;
  setOpt(O::LinkSources, 1);
  config().UpdateFPGAConfigFromOptionPanel();
  for (const rt::Ctl *group : {O::SourceValue, O::SourceSelA, O::SourceSelB, O::SourceOn}) {
    EXPECT_FALSE(dimmed(o, group[0]));
    for (int ch = 1; ch < 8; ++ch) EXPECT_TRUE(dimmed(o, group[ch])) << group[ch].id;
  }
  int dimmedCount = 0;
  for (const rt::Control &c : bench->rt.panel(o).controls) dimmedCount += c.dimmed;
  EXPECT_EQ(dimmedCount, 28);

  setOpt(O::LinkSources, 0);
  config().UpdateFPGAConfigFromOptionPanel();
  for (const rt::Control &c : bench->rt.panel(o).controls) EXPECT_FALSE(c.dimmed) << c.name;
}

TEST_F(FpgaConfig, MainPanelModeFibreAndSingleValue) {
  struct Case {
    int mode, fiber, single;
    std::vector<Command> sent;
  };
  const std::vector<Case> cases = {
      {0, 0, 0, {{0x20, 0x10, 0}, {0x30, 0x10, 0}, {0x40, 0xA1, 0x01}}},
      {1, 1, 7, {{0x20, 0x20, 0}, {0x30, 0x20, 0}, {0x40, 0xA1, 0x08}}},
      {2, 0, 8, {{0x20, 0x40, 0}, {0x30, 0x10, 0}, {0x40, 0xA0, 0x11}}},
      {3, 1, 9, {{0x20, 0x30, 0}, {0x30, 0x20, 0}, {0x40, 0xA0, 0x12}}},
      {3, 0, 15, {{0x20, 0x30, 0}, {0x30, 0x10, 0}, {0x40, 0xA0, 0x18}}},
  };
  for (const Case &c : cases) {
    setMain(M::ReadOutMode, c.mode);
    setMain(M::FiberSelect, c.fiber);
    setMain(M::SingleValueSelect, c.single);
    EXPECT_EQ(mainCommands(), c.sent) << c.mode << " " << c.fiber << " " << c.single;
  }
}

TEST_F(FpgaConfig, MainPanelControlsFollowTheMode) {
  const int m = p.MainPanel;
  auto sumsShown = [&] {
    bool all = visible(M::SumsGraph) && visible(M::StatusTable) && visible(M::ShowNormalized) &&
               visible(M::SumSelect);
    for (auto c : M::PlotCh) all = all && visible(c);
    return all;
  };
  auto sumsHidden = [&] {
    bool none = !visible(M::SumsGraph) && !visible(M::StatusTable) && !visible(M::ShowNormalized) &&
                !visible(M::SumSelect);
    for (auto c : M::PlotCh) none = none && !visible(c);
    return none;
  };
  auto rawShown = [&] {
    return visible(M::DataGraph1) && visible(M::DataGraph2) && visible(M::DacTable);
  };

  setMain(M::ReadOutMode, 2);
  config().UpdateMainPanel();
  EXPECT_TRUE(sumsShown());
  EXPECT_FALSE(visible(M::DataGraph1) || visible(M::DataGraph2) || visible(M::DacTable));
  EXPECT_FALSE(dimmed(m, M::ModeGatedControl));
  EXPECT_TRUE(dimmed(m, M::FiberSelect) && dimmed(m, M::FocusChannel));

  setMain(M::ReadOutMode, 1);
  config().UpdateMainPanel();
  EXPECT_TRUE(sumsHidden() && rawShown());
  EXPECT_FALSE(dimmed(m, M::FiberSelect) || dimmed(m, M::FocusChannel) ||
               dimmed(m, M::ModeGatedControl));
  EXPECT_TRUE(dimmed(m, M::SingleValueSelect));

  setMain(M::ReadOutMode, 3);
  config().UpdateMainPanel();
  EXPECT_FALSE(dimmed(m, M::FiberSelect) || dimmed(m, M::SingleValueSelect));
  EXPECT_TRUE(dimmed(m, M::FocusChannel));

  setMain(M::ReadOutMode, 0);
  config().UpdateMainPanel();
  EXPECT_FALSE(dimmed(m, M::ModeGatedControl));
  EXPECT_TRUE(dimmed(m, M::FiberSelect) && dimmed(m, M::SingleValueSelect));

  // A mode outside the table: the base state, no mode command, fibre and single value sent.
  bench->rt.control(m, M::ReadOutMode).num = 5;
  setMain(M::FiberSelect, 1);
  setMain(M::SingleValueSelect, 3);
  EXPECT_EQ(mainCommands(), (std::vector<Command>{{0x30, 0x20, 0}, {0x40, 0xA1, 0x04}}));
  EXPECT_TRUE(sumsHidden() && rawShown());
  for (auto c : {M::FiberSelect, M::SingleValueSelect, M::FocusChannel, M::ModeGatedControl})
    EXPECT_TRUE(dimmed(m, c)) << c.id;
}

TEST_F(FpgaConfig, OutOfRangeFibreAndSingleValueSendNothing) {
  setMain(M::ReadOutMode, 1);
  bench->rt.control(p.MainPanel, M::FiberSelect).num = 2;
  bench->rt.control(p.MainPanel, M::SingleValueSelect).num = 16;
  EXPECT_EQ(mainCommands(), (std::vector<Command>{{0x20, 0x20, 0}}));
}

TEST_F(FpgaConfig, MainPanelCopiesTheSwitchesItOwns) {
  setMain(M::MultipleRunSave, 1);
  config().UpdateMainPanel();
  EXPECT_EQ(config().FileSaveMultipleRun, 1);

  setMain(M::FocusChannel, 5);
  setMain(M::AcqInterval, 0.25);
  module().clearLog();
  config().UpdateMainPanelWithoutFpga();
  EXPECT_EQ(config().AdcCfcfocus, 5);
  EXPECT_EQ(bench->rt.GetCtrlAttribute(p.MainPanel, M::AcqTimer, rt::ATTR_INTERVAL), 0.25);
  EXPECT_TRUE(commands().empty());
}

class CurrentSetups : public FpgaConfig {
 protected:
  void SetUp() override {
    FpgaConfig::SetUp();
    auto &table = bench->setups.CalibrParameter;
    for (int i = 0; i < 3; ++i) {
      table[i].Mux = i + 1;
      table[i].Mux_1 = 7 - i;
      for (int ch = 0; ch < 8; ++ch) table[i].Dac[ch] = 1000 * (i + 1) + ch;
    }
    bench->setups.count = 3;
    for (int ch = 0; ch < 8; ++ch)
      for (int i = 0; i < 3; ++i)
        for (int panel : {p.TestCFCPanel, p.OptionsPanel})
          bench->rt.InsertListItem(panel, ctl::Test::CurrentSelect[ch], -1, std::to_string(i), i);
  }
  void ring(int panel, int ch, int record) {
    bench->rt.SetCtrlVal(panel, ctl::Test::CurrentSelect[ch], record);
  }
  int ringVal(int panel, int ch) {
    return bench->rt.GetCtrlValI(panel, ctl::Test::CurrentSelect[ch]);
  }
};

TEST_F(CurrentSetups, EachChannelGetsItsSelectedRecord) {
  setOpt(O::LinkSources, 1);
  for (int ch = 0; ch < 8; ++ch) ring(p.TestCFCPanel, ch, ch % 3);
  module().clearLog();
  config().UpdateCurrentChangeInFPGA();
  EXPECT_EQ(optVal(O::LinkSources), 0);
  for (int ch = 0; ch < 8; ++ch) {
    const int i = ch % 3;
    EXPECT_EQ(optVal(O::SourceSelA[ch]), i + 1);
    EXPECT_EQ(optVal(O::SourceSelB[ch]), 7 - i);
    EXPECT_EQ(optVal(O::SourceValue[ch]), 1000 * (i + 1) + ch);
  }
  const std::vector<Command> got = commands();
  ASSERT_EQ(got.size(), 29u);
  EXPECT_EQ(got[4], (Command{0x61, 1000 >> 8, 1000 & 0xFF}));
  EXPECT_EQ(got[5], (Command{0x50, 0x10, 1 << 1}));
}

TEST_F(CurrentSetups, RingCommitCopiesTheSelectionToTheOtherPanel) {
  for (int ch = 0; ch < 8; ++ch) ring(p.TestCFCPanel, ch, 2);
  bench->config.UpdateCurrentChange(p.TestCFCPanel, ctl::Test::CurrentSelect[0], rt::EVENT_COMMIT);
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(ringVal(p.OptionsPanel, ch), 2);
  EXPECT_EQ(optVal(O::SourceValue[4]), 3004);

  ring(p.OptionsPanel, 6, 1);
  bench->config.UpdateCurrentChange(p.OptionsPanel, ctl::Options::CurrentSelect[6],
                                    rt::EVENT_COMMIT);
  EXPECT_EQ(ringVal(p.TestCFCPanel, 6), 1);
  EXPECT_EQ(optVal(O::SourceValue[6]), 2006);

  module().clearLog();
  bench->config.UpdateCurrentChange(p.OptionsPanel, ctl::Options::CurrentSelect[6], 2);
  EXPECT_TRUE(commands().empty());  // not a commit
}

TEST_F(CurrentSetups, SlopeReadOutChoiceSelectsTheFirstSetupOrLinksChannelOne) {
  for (int ch = 0; ch < 8; ++ch) ring(p.TestCFCPanel, ch, 2);
  bench->rt.SetCtrlVal(p.TabSlope, ctl::TabSlope::ReadOutChoice, 1);
  bench->config.ChangeReadOutMode(p.TabSlope, ctl::TabSlope::ReadOutChoice, rt::EVENT_COMMIT);
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(ringVal(p.TestCFCPanel, ch), 0);
    EXPECT_EQ(optVal(O::SourceValue[ch]), 1000 + ch);
  }

  bench->rt.SetCtrlVal(p.TabSlope, ctl::TabSlope::ReadOutChoice, 0);
  setOpt(O::SourceOn[0], 0);
  module().clearLog();
  bench->config.ChangeReadOutMode(p.TabSlope, ctl::TabSlope::ReadOutChoice, rt::EVENT_COMMIT);
  EXPECT_EQ(optVal(O::LinkSources), 1);
  EXPECT_EQ(optVal(O::SourceOn[0]), 1);
  EXPECT_EQ(commands().back(), (Command{0x90, 0x00, 0xFF}));
}

TEST_F(CurrentSetups, RingValueOutsideTheTableLeavesTheChannelAlone) {
  bench->rt.InsertListItem(p.TestCFCPanel, ctl::Test::CurrentSelect[3], -1, "bad", 500);
  bench->rt.InsertListItem(p.TestCFCPanel, ctl::Test::CurrentSelect[4], -1, "neg", -1);
  ring(p.TestCFCPanel, 3, 500);
  ring(p.TestCFCPanel, 4, -1);
  setOpt(O::SourceValue[3], 77);
  setOpt(O::SourceValue[4], 88);
  config().UpdateCurrentChangeInFPGA();
  EXPECT_EQ(optVal(O::SourceValue[3]), 77);
  EXPECT_EQ(optVal(O::SourceValue[4]), 88);
}

TEST(FpgaConfigNoModule, DisplaysChangeAndNothingIsSent) {
  // Without a module every command is skipped; the panels still follow.
  acqtest::Module::get().reset();
  testenv::TempDir dir;
  rt::VirtualClock clock;
  app::BenchOptions options;
  options.uiDir = testenv::uiDir();
  options.settingsPath = dir.file("settings.ini");
  options.quickusbLib = dir.file("none.so");
  app::Bench bench(clock, options);
  bench.StartUp();
  bench.rt.SetCtrlVal(bench.panels.OptionsPanel, O::ModulationDivider, 2);
  bench.rt.SetCtrlVal(bench.panels.OptionsPanel, O::LinkSources, 1);
  EXPECT_EQ(bench.config.UpdateFPGAConfigFromOptionPanel(), 0);
  EXPECT_DOUBLE_EQ(bench.rt.GetCtrlValD(bench.panels.OptionsPanel, O::ModulationFrequency),
                   1953.125);
  EXPECT_TRUE(
      bench.rt.GetCtrlAttribute(bench.panels.OptionsPanel, O::SourceOn[7], rt::ATTR_DIMMED));
  EXPECT_TRUE(acqtest::Module::get().commands.empty());
}

}  // namespace
