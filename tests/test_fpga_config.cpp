// FPGA configuration from the panels: the commands of each update in order, the displays, the
// dimming and visibility they set, and the current setups applied to the channels.
#include "test_acq_bench.h"

namespace {

using acqtest::Command;
namespace O = ctl::Options;
namespace M = ctl::Main;

class FpgaConfig : public acqtest::BenchTest {
 protected:
  std::vector<Command> send(bool options) {
    module().clearLog();
    options ? bench->config.UpdateFPGAConfigFromOptionPanel() : bench->config.UpdateMainPanel();
    return module().commands;
  }
  int dimmedCount() {
    int n = 0;
    for (const rt::Control &c : bench->rt.panel(p.OptionsPanel).controls) n += c.dimmed;
    return n;
  }
};

TEST_F(FpgaConfig, LinkedSourcesSendChannelOneForAll) {
  for (auto [c, v] : {std::pair{O::LinkSources, 1},
                      {O::SourceValue[0], 0x1234},
                      {O::SourceSelA[0], 4},
                      {O::SourceSelB[0], 7},
                      {O::SourceOn[0], 1},
                      {O::SourceValue[3], 0x5555},
                      {O::ModulationDivider, 256},
                      {O::ModulationMultiplication, 511},
                      {O::ModulationOffset, 0xABCD},
                      {O::TestCfcVoltage, 0x0FFF}})
    setOpt(c, v);
  std::vector<Command> want = {
      {0x70, 1, 0}, {0x71, 0, 0xFF}, {0x6B, 0xAB, 0xCD}, {0x6C, 0x0F, 0xFF}};
  for (int c = 0x61; c <= 0x68; ++c) want.push_back({c, 0x12, 0x34});
  for (int code = 0x10; code <= 0x80; code += 0x10) want.push_back({0x50, code, 0x10});
  for (int code = 0x10; code <= 0x80; code += 0x10) want.push_back({0x80, code, 0x80});
  want.push_back({0x90, 0, 0xFF});
  EXPECT_EQ(send(true), want);
  EXPECT_DOUBLE_EQ(optVal(O::ModulationFrequency), 15.2587890625);
  EXPECT_DOUBLE_EQ(optVal(O::ModulationFactorDisplay), 3992.1875);
  EXPECT_EQ(dimmedCount(), 28);  // the source controls of channels 2..8
  EXPECT_FALSE(attr(p.OptionsPanel, O::SourceSelB[0], rt::ATTR_DIMMED));
}

TEST_F(FpgaConfig, UnlinkedSourcesSendEachChannelInTurn) {
  for (int ch = 0; ch < 8; ++ch) {
    setOpt(O::SourceValue[ch], 0x100 * (ch + 1) + ch);
    setOpt(O::SourceSelA[ch], ch), setOpt(O::SourceSelB[ch], 7 - ch);
    setOpt(O::SourceOn[ch], ch == 0 || ch == 7);
  }
  setOpt(O::LinkSources, 1);  // linked first: unlinking enables the 28 controls again
  send(true);
  ASSERT_EQ(dimmedCount(), 28);
  setOpt(O::LinkSources, 0), setOpt(O::ReduceP5V, 1), setOpt(O::ReduceP2V5, 0);
  setOpt(O::ReduceM5V, 1), setOpt(O::ModulationDivider, 0);
  const std::vector<Command> got = send(true);
  ASSERT_EQ(got.size(), 29u);
  EXPECT_EQ(got[0], (Command{0x70, 0, 0}));
  EXPECT_EQ(optVal(O::ModulationFrequency), 0.0);  // no frequency without a divider
  for (int ch = 1; ch <= 8; ++ch) {
    EXPECT_EQ(got[1 + 3 * ch], (Command{0x60 + ch, ch, ch - 1}));
    EXPECT_EQ(got[2 + 3 * ch], (Command{0x50, 0x10 * ch, 1 << (ch - 1)}));
    EXPECT_EQ(got[3 + 3 * ch], (Command{0x80, 0x10 * ch, 1 << (8 - ch)}));
  }
  EXPECT_EQ(got[28], (Command{0x90, 0x05, 0x81}));
  EXPECT_EQ(dimmedCount(), 0);
}

TEST_F(FpgaConfig, MainPanelModeFibreAndSingleValue) {
  const std::pair<std::array<int, 3>, std::vector<Command>> cases[] = {
      {{0, 0, 0}, {{0x20, 0x10, 0}, {0x30, 0x10, 0}, {0x40, 0xA1, 0x01}}},
      {{1, 1, 7}, {{0x20, 0x20, 0}, {0x30, 0x20, 0}, {0x40, 0xA1, 0x08}}},
      {{2, 0, 9}, {{0x20, 0x40, 0}, {0x30, 0x10, 0}, {0x40, 0xA0, 0x12}}},
      {{3, 1, 15}, {{0x20, 0x30, 0}, {0x30, 0x20, 0}, {0x40, 0xA0, 0x18}}},
  };
  for (const auto &[in, want] : cases) {
    setMain(M::ReadOutMode, in[0]), setMain(M::FiberSelect, in[1]);
    setMain(M::SingleValueSelect, in[2]);
    EXPECT_EQ(send(false), want) << in[0];
  }
  const int m = p.MainPanel;
  auto shown = [&](int c) { return attr(m, c, rt::ATTR_VISIBLE); };
  // The controls each mode enables among fibre, single value, focus channel and mode gate.
  const std::pair<int, std::vector<bool>> enabled[] = {
      {0, {false, false, false, true}},
      {1, {true, false, true, true}},
      {2, {false, false, false, true}},
      {3, {true, true, false, true}},
  };
  for (const auto &[mode, want] : enabled) {
    setMain(M::ReadOutMode, mode);
    send(false);
    std::vector<bool> got;
    for (auto c : {M::FiberSelect, M::SingleValueSelect, M::FocusChannel, M::ModeGatedControl})
      got.push_back(!attr(m, c, rt::ATTR_DIMMED));
    EXPECT_EQ(got, want) << mode;
  }
  setMain(M::ReadOutMode, 2);
  send(false);
  EXPECT_TRUE(shown(M::SumsGraph) && shown(M::StatusTable) && shown(M::PlotCh[7]));
  EXPECT_FALSE(shown(M::DataGraph1) || shown(M::DacTable));
  // Out of range: the base state, and only what is in range is sent.
  bench->rt.control(m, M::ReadOutMode).num = 5;
  bench->rt.control(m, M::FiberSelect).num = 2;
  EXPECT_EQ(send(false), (std::vector<Command>{{0x40, 0xA0, 0x18}}));
  EXPECT_TRUE(shown(M::DataGraph1) && !shown(M::SumsGraph) && !shown(M::PlotCh[0]));
  for (auto c : {M::FiberSelect, M::SingleValueSelect, M::FocusChannel, M::ModeGatedControl})
    EXPECT_TRUE(attr(m, c, rt::ATTR_DIMMED));
}

TEST_F(FpgaConfig, MainPanelWithoutFpgaTakesFocusAndInterval) {
  setMain(M::FocusChannel, 6), setMain(M::AcqInterval, 0.25);
  module().clearLog();
  bench->config.UpdateMainPanelWithoutFpga();
  EXPECT_EQ(bench->config.AdcCfcfocus, 6);
  EXPECT_EQ(bench->rt.GetCtrlAttribute(p.MainPanel, M::AcqTimer, rt::ATTR_INTERVAL), 0.25);
  EXPECT_TRUE(module().commands.empty());
}

TEST_F(FpgaConfig, CurrentSetupsGoToTheChannels) {
  auto &table = bench->setups.CalibrParameter;
  for (int i = 0; i < 3; ++i) {
    table[i].Mux = i + 1, table[i].Mux_1 = 7 - i;
    for (int ch = 0; ch < 8; ++ch) {
      table[i].Dac[ch] = 1000 * (i + 1) + ch;
      for (int panel : {p.TestCFCPanel, p.OptionsPanel})
        bench->rt.InsertListItem(panel, ctl::Test::CurrentSelect[ch], -1, "I", i);
    }
  }
  for (int ch = 0; ch < 8; ++ch)
    bench->rt.SetCtrlVal(p.TestCFCPanel, ctl::Test::CurrentSelect[ch], ch % 3);
  setOpt(O::LinkSources, 1);
  module().clearLog();
  bench->config.UpdateCurrentChange(p.TestCFCPanel, ctl::Test::CurrentSelect[0], rt::EVENT_COMMIT);
  EXPECT_EQ(optVal(O::LinkSources), 0);
  EXPECT_EQ(module().commands.size(), 29u);
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(optVal(O::CurrentSelect[ch]), ch % 3);  // both panels show the selection
    EXPECT_EQ(optVal(O::SourceSelA[ch]) * 10 + optVal(O::SourceSelB[ch]),
              (ch % 3 + 1) * 10 + 7 - ch % 3);
    EXPECT_EQ(optVal(O::SourceValue[ch]), 1000 * (ch % 3 + 1) + ch);
  }
  // The slope page's choice: 1 puts every channel on the first setup, otherwise channel 1's
  // sources go to all channels, switched on.
  bench->rt.SetCtrlVal(p.TabSlope, ctl::TabSlope::ReadOutChoice, 1);
  bench->config.ChangeReadOutMode(p.TabSlope, ctl::TabSlope::ReadOutChoice, rt::EVENT_COMMIT);
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(optVal(O::SourceValue[ch]), 1000 + ch);
  setOpt(O::SourceOn[0], 0);
  bench->rt.SetCtrlVal(p.TabSlope, ctl::TabSlope::ReadOutChoice, 0);
  module().clearLog();
  bench->config.ChangeReadOutMode(p.TabSlope, ctl::TabSlope::ReadOutChoice, rt::EVENT_COMMIT);
  EXPECT_EQ(optVal(O::LinkSources) + optVal(O::SourceOn[0]), 2);
  ASSERT_EQ(module().commands.size(), 29u);
  EXPECT_EQ(module().commands[4], (Command{0x61, 0x03, 0xE8}));  // 1000
  EXPECT_EQ(module().commands[11], (Command{0x68, 0x03, 0xE8}));
  EXPECT_EQ(module().commands[28], (Command{0x90, 0, 0xFF}));

  // A ring value outside the table leaves its channel alone.
  bench->rt.InsertListItem(p.TestCFCPanel, ctl::Test::CurrentSelect[3], -1, "bad", 500);
  bench->rt.SetCtrlVal(p.TestCFCPanel, ctl::Test::CurrentSelect[3], 500);
  setOpt(O::SourceValue[3], 77);
  bench->config.UpdateCurrentChangeInFPGA();
  EXPECT_EQ(optVal(O::SourceValue[3]), 77);
}

}  // namespace
