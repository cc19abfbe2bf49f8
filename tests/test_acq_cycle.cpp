// The read cycle and continuous acquisition on a started bench with a stub module.
#include "test_acq_bench.h"

namespace {

using acqtest::Bytes;
using acqtest::Command;
using acqtest::framesBlock;
namespace M = ctl::Main;

class Cycle : public acqtest::BenchTest {
 protected:
  int read(int mode, Bytes block) {
    setMain(M::ReadOutMode, mode);
    module().blocks.push_back(std::move(block));
    return acq().ReadShowFrame();
  }
  bool led(int c) { return mainVal(c) != 0; }
  double cell(int panel, int table, int row, int col) {
    return bench->rt.GetTableCellVal(panel, table, row, col);
  }
  bool running() { return attr(p.MainPanel, M::AcqTimer, rt::ATTR_ENABLED); }
  double interval() {
    return bench->rt.GetCtrlAttribute(p.MainPanel, M::AcqTimer, rt::ATTR_INTERVAL);
  }
  void tick() { acq().ReadFrame(p.MainPanel, M::AcqTimer, rt::EVENT_TIMER_TICK); }
  void key(int vk) { acq().KeyCallback(p.MainPanel, 0, rt::EVENT_KEYPRESS, vk); }
};

TEST_F(Cycle, ReadGateRequestSizesAndFailedReads) {
  module().portE = 0xA0;
  for (auto [mode, size] : {std::pair{0, 1000u}, {1, 1000u}, {2, 1024u}, {3, 606u}, {9, 1000u}}) {
    module().clearLog();
    bench->rt.control(p.MainPanel, M::ReadOutMode).num = mode;
    acq().ReadShowFrame();
    EXPECT_EQ(module().requests, std::vector<uint32_t>{size}) << mode;
    EXPECT_EQ(module().portEWrites, (std::vector<int>{0xA8, 0xA0})) << mode;
  }
  module().clearLog();
  module().readOk = false;  // -1, the gate stays high, nothing decoded or drawn
  EXPECT_EQ(read(1, framesBlock(5, 1)), -1);
  EXPECT_EQ(module().portEWrites, std::vector<int>{0xA8});
  EXPECT_NE(acq().CardNumber, 5);
  EXPECT_TRUE(ctrl(p.MainPanel, M::DataGraph1).plots.empty());
  module().present = false;
  EXPECT_EQ(acq().ReadShowFrame(), -10);
  EXPECT_EQ(bench->usb.NbrQuickUSBConnected, 0);
}

TEST_F(Cycle, FramesBlockIsShown) {
  acq().ViewRaw = acq().ViewFrame = 1;
  bench->config.AdcCfcfocus = 2;
  const Bytes block = framesBlock(0x0245, 7, 0x9AB, 0, 0x0101, 0x8001);
  ASSERT_EQ(read(1, Bytes(block.begin(), block.begin() + 999)), 0);
  EXPECT_EQ(mainVal(M::CardNumber) + optVal(ctl::Options::CardNumber), 2 * 0x0245);
  EXPECT_EQ(cell(p.MainPanel, M::DacTable, 8, 2), 8);
  EXPECT_TRUE(led(M::StatusA[0]) && led(M::StatusA[8]) && !led(M::StatusA[1]));
  EXPECT_TRUE(led(M::StatusB[15]) && led(M::StatusB[0]) && !led(M::StatusB[14]));  // reversed
  const auto &graph = ctrl(p.MainPanel, M::DataGraph2).plots;
  ASSERT_EQ(graph.size(), 1u);
  EXPECT_EQ(graph[0].y.size(), 200u);
  EXPECT_EQ(graph[0].y[199], 3);  // CFC of the focus channel
  const auto &text = ctrl(p.ShowFramePanel, ctl::ShowFrame::FrameText).lines;
  ASSERT_EQ(text.size(), 3u);
  EXPECT_EQ(text[1], "CNMBR STATUS1 STATUS2 CFC1 ADC1 CFC2 ADC2 ...");
  EXPECT_EQ(text[2],
            "0245   0101   8001   0001 09ab 0002 09ab 0003 09ab 0004 09ab 0005 09ab 0006 09ab "
            "0007 09ab 0008 09ab 0001 0002 0003 0004 0005 0006 0007 0008 0007");
  const auto &raw = ctrl(p.RawData, ctl::RawData::Words).lines;
  ASSERT_EQ(raw.size(), 501u);
  EXPECT_EQ(raw[1] + raw[2], "02450101");

  // 998 bytes are refused before any search; a block without a frame leaves the graphs.
  const int handle = graph[0].handle;
  EXPECT_EQ(read(1, Bytes(block.begin(), block.begin() + 998)), -1);
  EXPECT_EQ(acq().SyncMisses, 0);
  EXPECT_EQ(read(1, Bytes(1000, 0)), -1);
  EXPECT_EQ(acq().SyncMisses, 1);
  EXPECT_EQ(graph[0].handle, handle);
}

Bytes sumsBlock(uint16_t erra) {
  Bytes b(1024, 0);
  for (int d = 0; d < 112; ++d)  // first words of sums 0..11, channels 1..4 then 5..8
    if (d < 48 || d >= 64) acqtest::putWord(b, 1 + 2 * d, 64);
  acqtest::putWord(b, 257, 7), acqtest::putWord(b, 258, 0x11);         // card 7, frame 0x11
  acqtest::putWord(b, 263, erra);                                      // Erra, status word 3
  acqtest::putWord(b, 281, 0x0002), acqtest::putWord(b, 282, 0x8001);  // status A and B
  return b;
}

TEST_F(Cycle, SumsBlockIsShown) {
  clock.advance(5.0);
  setMain(M::SumSelect, 1);
  ASSERT_EQ(read(2, sumsBlock(10)), 0);
  EXPECT_EQ(mainVal(M::CardNumber), 7);
  EXPECT_EQ(cell(p.MainPanel, M::StatusTable, 2, 2), 0x11);
  EXPECT_EQ(cell(p.MainPanel, M::StatusTable, 15, 2), 0x8001);
  EXPECT_TRUE(led(M::StatusA[1]) && led(M::StatusB[0]) && led(M::StatusB[15]) &&
              !led(M::StatusB[1]));
  const auto &plots = ctrl(p.MainPanel, M::SumsGraph).plots;
  ASSERT_EQ(plots.size(), 8u);
  EXPECT_EQ(plots[6].color, 0xA0A0A0u);
  EXPECT_FLOAT_EQ(plots[0].y[19], 32.0f);  // sum 1 over its window of 2
  clock.advance(3.5);
  ASSERT_EQ(read(2, sumsBlock(17)), 0);
  EXPECT_EQ(cell(p.MainPanel, M::StatusTable, 5, 3), 2.0);  // Erra_rate beside Erra
  EXPECT_EQ(plots.size(), 8u);

  // Raw sums of two channels; channel 5 never plotted, yet the old plots still go.
  for (int ch = 0; ch < 8; ++ch) setMain(M::PlotCh[ch], ch == 1 || ch == 6);
  setMain(M::ShowNormalized, 0);
  acq().UpdatePanelSumMax(p.MainPanel, M::ShowNormalized, rt::EVENT_COMMIT);
  std::fill(std::begin(acq().SumPlotHandle), std::end(acq().SumPlotHandle), 0);
  bench->rt.DeleteGraphPlot(p.MainPanel, M::SumsGraph, -1);
  for (int k = 0; k < 2; ++k) ASSERT_EQ(read(2, sumsBlock(17)), 0);
  ASSERT_EQ(plots.size(), 2u);
  EXPECT_FLOAT_EQ(plots[1].y[19], 64.0f);
}

TEST(CycleNoHardware, TwoRunsGiveTheSameDemoValues) {
  std::vector<uint16_t> runs[2];
  for (auto &adc : runs) {
    testenv::TempDir dir;
    rt::VirtualClock clock;
    app::Bench bench(clock, {testenv::uiDir(), dir.file("none.so"), "", dir.file("s.ini")});
    bench.StartUp();
    bench.rt.SetCtrlVal(bench.panels.MainPanel, M::ReadOutMode, 1);
    for (int k = 0; k < 250; ++k) EXPECT_EQ(bench.acq.ReadShowFrame(), -1);  // random: no frame
    adc.assign(bench.acq.ADC[0], bench.acq.ADC[0] + 200);
  }
  EXPECT_EQ(runs[0], runs[1]);
  std::srand(1);
  for (int k = 0; k < 50 * 1002; ++k) std::rand();  // 1002 values a call: the 51st call's ADC
  EXPECT_EQ(runs[0][0], static_cast<uint16_t>(std::rand()));
}

TEST_F(Cycle, StartPreparesTheSourcesAndSetsTheInterval) {
  namespace O = ctl::Options;
  setMain(M::ReadOutMode, 1);
  setOpt(O::LinkSources, 0), setOpt(O::SourceOn[0], 1), setOpt(O::SourceOn[7], 1);
  module().clearLog();
  acq().ContinuousReadStartStop();
  std::vector<Command> supply;
  for (const Command &c : module().commands)
    if (c[0] == 0x90) supply.push_back(c);
  EXPECT_EQ(module().commands.size(), 4u * 29u);
  EXPECT_EQ(supply,
            (std::vector<Command>{{0x90, 0, 0xFF}, {0x90, 0, 0}, {0x90, 0, 1}, {0x90, 0, 0x81}}));
  EXPECT_TRUE(running() && attr(p.MainPanel, M::ReadOutMode, rt::ATTR_DIMMED));
  EXPECT_EQ(interval(), 0.02);
  module().clearLog();
  acq().ContinuousReadStartStop();
  EXPECT_FALSE(running() || attr(p.MainPanel, M::ReadOutMode, rt::ATTR_DIMMED));
  EXPECT_TRUE(module().commands.empty());
  setMain(M::ReadOutMode, 2);  // SUMS: 0.4 s, which a RAWDATA start keeps
  acq().ContinuousReadStartStop(), acq().ContinuousReadStartStop();
  setMain(M::ReadOutMode, 0);
  acq().ContinuousReadStartStop();
  EXPECT_EQ(interval() + mainVal(M::AcqInterval), 0.8);
}

TEST_F(Cycle, TicksShowTheThreeTickPeriodAndCountFailures) {
  setMain(M::ReadOutMode, 1);
  for (int k = 0; k < 60; ++k) module().blocks.push_back(framesBlock(0x77, uint16_t(100 * k)));
  clock.advance(1.0);
  acq().ContinuousReadStartStop();
  bench->rt.RunUntil(1.02);
  EXPECT_NEAR(mainVal(M::FramePeriod), 1.02 / 3.0, 1e-9);  // the first tick: from time 0
  bench->rt.RunUntil(2.001);
  EXPECT_EQ(module().requests.size(), 50u);
  EXPECT_NEAR(mainVal(M::FramePeriod), 0.02, 1e-9);
  module().readOk = false;  // a failed read is counted and shown
  tick();
  EXPECT_EQ(mainVal(M::ReadErrors), 1);
  acq().WaitUSB = 1;  // a tick during a read is dropped and counted, not shown
  tick();
  EXPECT_EQ(acq().ReadErrorCount, 2);
  EXPECT_EQ(mainVal(M::ReadErrors) + module().requests.size(), 1 + 51);
  acq().WaitUSB = 0;
  module().present = false;  // the module goes: the acquisition stops
  tick();
  EXPECT_FALSE(running() || attr(p.MainPanel, M::ReadOutMode, rt::ATTR_DIMMED));
}

TEST_F(Cycle, ButtonsKeysRecordingAndRefreshTimer) {
  for (int startThenStop = 0; startThenStop < 2; ++startThenStop) {
    acq().ADC_MIN[3] = 12, acq().ADC_MAX[3] = 4000, acq().ADC_DISC[3] = 9;
    acq().ContiReads(p.MainPanel, M::StartStop, rt::EVENT_COMMIT);
    EXPECT_EQ(running(), startThenStop == 0);
    EXPECT_EQ(acq().ADC_MIN[3] + acq().ADC_MAX[3] + acq().ADC_DISC[3], 4095);
  }
  key(0x1100);  // F3
  EXPECT_EQ(mainVal(M::FocusChannel) + bench->config.AdcCfcfocus, 4);
  setMain(M::ReadOutMode, 0);
  key(0x1900);  // F11 while stopped: SUMS, running
  EXPECT_EQ(mainVal(M::ReadOutMode), 2);
  EXPECT_TRUE(running());

  // A stop closes the record unless multiple-run saving keeps it; recording locks the mode keys.
  acq().WriteIntoFile = 1, acq().FileHandle = 3;
  bench->config.FileSaveMultipleRun = 1;
  acq().ContinuousReadStartStop();
  EXPECT_EQ(acq().WriteIntoFile, 1);
  key(0x1800);
  EXPECT_FALSE(running());
  bench->config.FileSaveMultipleRun = 0;
  acq().ContinuousReadStartStop(), acq().ContinuousReadStartStop();
  EXPECT_EQ(acq().WriteIntoFile + acq().FileHandle, 0);
  EXPECT_EQ(bench->rt.GetCtrlValS(p.MainPanel, M::RecordFileName), " ");

  int identified = 0;
  acq().refreshIdentification = [&] { ++identified; };
  setMain(M::ReadOutMode, 1);
  module().clearLog();
  module().blocks.push_back(sumsBlock(0));
  acq().TimerRefresh(p.TabBData, ctl::TabBData::RefreshTimer, rt::EVENT_TIMER_TICK);
  EXPECT_EQ(module().commands.at(0), (Command{0x20, 0x40, 0}));
  EXPECT_EQ(bench->rt.GetCtrlValD(p.TestCFCPanel, ctl::Test::FpgaDeviceNumber), 7);
  EXPECT_EQ(identified, 1);
}

}  // namespace
