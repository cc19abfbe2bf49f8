// The read cycle and continuous acquisition on a started bench with a stub module.
#include <climits>
#include <tuple>

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

TEST_F(Cycle, FramesStatisticsReachTheResultTableAndTheFocusIndicators) {
  const int tab = p.TabSlope, table = ctl::TabSlope::ResultTable;
  bench->config.AdcCfcfocus = 5;
  // The stream's first frame is the reference of the next: it restarts the running counts.
  ASSERT_EQ(read(1, framesBlock(0x77, 0, 0x9AB)), 0);
  acq().StatsColumnStep = 0;
  acq().LastSlopeTime = clock.now();  // no slope within this second: the values below stay
  for (int ch = 0; ch < 8; ++ch) {
    acq().ADC_STAT_SLOPE[ch] = 100.0f * (ch + 1);
    acq().ADC_STAT_PERIODE[ch] = 2.0f + ch;
    acq().OVERSHOT[ch] = 10 + ch;
    acq().ADC_MIN[ch] = uint16_t(100 + ch), acq().ADC_MAX[ch] = uint16_t(3000 + ch);
  }
  // One column a block, rows 2..9 for channels 1..8.
  const int columns[7] = {2, 3, 4, 5, 8, 9, 10};
  for (int k = 0; k < 7; ++k) {
    ASSERT_EQ(read(1, framesBlock(0x77, uint16_t(10 * k), 0x9AB)), 0);
    EXPECT_NE(cell(tab, table, 9, columns[k]), 0) << k;
    if (k < 6) {
      EXPECT_EQ(cell(tab, table, 9, columns[k + 1]), 0) << k;
    }
  }
  for (int ch = 0; ch < 8; ++ch) {
    const int row = ch + 2;
    EXPECT_EQ(cell(tab, table, row, 2), ch + 1);  // CFC_VAL
    EXPECT_EQ(cell(tab, table, row, 3), 100.0 * (ch + 1));
    EXPECT_EQ(cell(tab, table, row, 4), double(3800.0f / (100.0f * (ch + 1))));
    EXPECT_EQ(cell(tab, table, row, 5), 2.0 + ch);
    EXPECT_EQ(cell(tab, table, row, 8), 10 + ch);
    EXPECT_EQ(cell(tab, table, row, 9), 100 + ch);
    EXPECT_EQ(cell(tab, table, row, 10), 3000 + ch);
  }
  EXPECT_EQ(mainVal(M::FocusAdcMin) + mainVal(M::FocusAdcMax), 105 + 3005);
  EXPECT_DOUBLE_EQ(mainVal(M::FocusPeriodRate), 200.0 / 7.0);

  // An integrator reset shows the focus channel's discontinuities and overshoots of the period
  // that ended, and every channel's discontinuities in column 11. The stream's first reset only
  // starts the timing; the next one closes the period.
  ASSERT_EQ(read(1, framesBlock(0x77, 70, 100)), 0);
  ASSERT_EQ(read(1, framesBlock(0x77, 71, 3500)), 0);  // +3400
  EXPECT_EQ(mainVal(M::FocusDisc), 0);
  for (int k = 0; k < 8; ++k) {
    clock.advance(0.5);
    ASSERT_EQ(read(1, framesBlock(0x77, uint16_t(72 + k), 100)), 0);
  }
  for (int ch = 0; ch < 8; ++ch) {
    acq().ADC_DISC_TEMP[ch] = int16_t(20 + ch);
    acq().OVERSHOT[ch] = 10 + ch;
  }
  clock.advance(0.5);
  ASSERT_EQ(read(1, framesBlock(0x77, 80, 3500)), 0);  // +3400
  EXPECT_EQ(mainVal(M::FocusDisc), 25);
  EXPECT_EQ(mainVal(M::FocusOvershoot), 15);
  EXPECT_DOUBLE_EQ(mainVal(M::FocusPeriodRate), 200.0 / double(4.5f));
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(cell(tab, table, ch + 2, 11), 20 + ch);
}

TEST_F(Cycle, DataGraphsFollowTheModeAndTheModule) {
  const auto &g1 = ctrl(p.MainPanel, M::DataGraph1).plots;
  const auto &g2 = ctrl(p.MainPanel, M::DataGraph2).plots;
  auto points = [&] {
    return std::pair{g1.empty() ? -1 : int(g1[0].y.size()), g2.empty() ? -1 : int(g2[0].y.size())};
  };
  // RAWDATA: the delivered words, in both graphs.
  Bytes raw(600, 0);
  for (size_t k = 0; k < 300; ++k) acqtest::putWord(raw, k, uint16_t(0x8000 + k));
  ASSERT_EQ(read(0, raw), 0);
  ASSERT_EQ(points(), (std::pair{300, 300}));
  EXPECT_EQ(g1[0].y[299] + g2[0].y[0], 0x8000 + 299 + 0x8000);
  EXPECT_EQ(g1[0].color * 0x100 + g2[0].color, 0xFF0000u * 0x100 + 0x00FF00u);
  EXPECT_EQ(acq().HandlePlotAdc, g1[0].handle);
  EXPECT_EQ(acq().HandlePlotCfc, g2[0].handle);

  // SINGLE_VALUE: the first Main.SinglePoints samples (ADC in graph 1, CFC in graph 2).
  Bytes single(606, 0);
  for (size_t j = 0; j < 99; ++j)
    acqtest::putWord(single, 3 + 3 * j, uint16_t(0x0100 + j)),
        acqtest::putWord(single, 4 + 3 * j, uint16_t(0x0200 + j));
  setMain(M::SinglePoints, 40);
  ASSERT_EQ(read(3, single), 0);
  ASSERT_EQ(points(), (std::pair{40, 40}));
  EXPECT_EQ(g1[0].y[39] * 0x1000 + g2[0].y[39], 0x227 * 0x1000 + 39);
  EXPECT_EQ(acq().singleValues().adc[98], 0x200 + 98);

  // SUMS and modes out of range: both graphs empty.
  ASSERT_EQ(read(2, Bytes(1024, 0)), 0);
  EXPECT_EQ(points(), (std::pair{-1, -1}));
  ASSERT_EQ(read(3, single), 0);
  bench->rt.control(p.MainPanel, M::ReadOutMode).num = 7;
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_EQ(points(), (std::pair{-1, -1}));

  // No module: channel 1's demo history, whatever the mode.
  bench->usb.NbrQuickUSBConnected = 0;
  module().clearLog();
  for (int mode : {2, 0}) {
    ASSERT_EQ(read(mode, {}), 0);
    ASSERT_EQ(points(), (std::pair{200, 200})) << mode;
    EXPECT_EQ(g1[0].y[0], acq().ADC[0][0]);
    EXPECT_EQ(g2[0].y[0], acq().CFC[0][0]);
  }
  EXPECT_EQ(acq().NewestIndex, 2);
  EXPECT_TRUE(module().requests.empty() && module().portEWrites.empty());
}

Bytes sumsBlock(uint16_t erra, uint16_t errb = 0, uint16_t losta = 0, uint16_t lostb = 0) {
  Bytes b(1024, 0);
  for (int d = 0; d < 112; ++d)  // first words of sums 0..11, channels 1..4 then 5..8
    if (d < 48 || d >= 64) acqtest::putWord(b, 1 + 2 * d, 64);
  acqtest::putWord(b, 257, 7), acqtest::putWord(b, 258, 0x11);         // card 7, frame 0x11
  acqtest::putWord(b, 263, erra);                                      // Erra, status word 3
  acqtest::putWord(b, 265, errb), acqtest::putWord(b, 275, losta);     // words 4 and 9
  acqtest::putWord(b, 277, lostb);                                     // word 10
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
  ASSERT_EQ(read(2, sumsBlock(17, 14, 21, 35)), 0);
  // Each rate beside its counter: Erra, Errb, Losta, Lostb.
  for (auto [row, count, rate] :
       {std::tuple{5, 17, 2.0}, {6, 14, 4.0}, {11, 21, 6.0}, {12, 35, 10.0}}) {
    EXPECT_EQ(cell(p.MainPanel, M::StatusTable, row, 2), count) << row;
    EXPECT_EQ(cell(p.MainPanel, M::StatusTable, row, 3), rate) << row;
  }
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

  // A counter past 2^31 shows as the unsigned number the board sends, never negative.
  Bytes big = sumsBlock(17);
  acqtest::putWord(big, 261, 0xFFF0), acqtest::putWord(big, 262, 0xFFFF);  // FRAMES counter
  ASSERT_EQ(read(2, big), 0);
  EXPECT_EQ(cell(p.MainPanel, M::StatusTable, 4, 2), 4294967280.0);
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

// Without a module the read goes on with the pseudo-random block: a SUMS read decodes it like
// a real one. Per call: channel 1's ADC, its CFC, then the 1000 words of the block.
TEST(CycleNoHardware, SumsDecodeThePseudoRandomBlock) {
  testenv::TempDir dir;
  rt::VirtualClock clock;
  app::Bench bench(clock, {testenv::uiDir(), dir.file("none.so"), "", dir.file("s.ini")});
  bench.StartUp();
  bench.rt.SetCtrlVal(bench.panels.MainPanel, M::ReadOutMode, 2);
  ASSERT_EQ(bench.acq.ReadShowFrame(), 0);
  std::srand(1);
  std::vector<uint16_t> r(2 + 300);
  for (auto &v : r) v = static_cast<uint16_t>(std::rand());
  const acq::Acquisition &a = bench.acq;
  EXPECT_EQ(a.ADC[0][0], r[0]);
  EXPECT_EQ(a.CFC[0][0], r[1]);
  EXPECT_EQ(a.NewestIndex, 1);
  EXPECT_EQ(a.CardNumber, r[2 + 257]);  // status word 0 at byte 514: word 257
  EXPECT_EQ(a.FrameNbr, r[2 + 258]);
  EXPECT_EQ(a.SumsMaximums[0][0][19], float(uint32_t(r[2 + 2]) << 16 | r[2 + 1]));
  EXPECT_EQ(bench.rt.GetCtrlValD(bench.panels.MainPanel, M::CardNumber), r[2 + 257]);
  for (int mode : {0, 3}) {
    bench.rt.SetCtrlVal(bench.panels.MainPanel, M::ReadOutMode, mode);
    EXPECT_EQ(bench.acq.ReadShowFrame(), 0) << mode;
  }
  EXPECT_EQ(a.NewestIndex, 3);
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
  acq().ReadErrorCount = INT_MAX;  // the count stops at its largest value
  tick();
  acq().WaitUSB = 0;
  tick();
  EXPECT_EQ(acq().ReadErrorCount, INT_MAX);
  EXPECT_EQ(mainVal(M::ReadErrors), INT_MAX);
  module().present = false;  // the module goes: the acquisition stops, the record is closed
  acq().WriteIntoFile = 1, acq().FileHandle = std::fopen(dir.file("rec.txt").c_str(), "a");
  bench->config.FileSaveMultipleRun = 0;
  tick();
  EXPECT_FALSE(running() || attr(p.MainPanel, M::ReadOutMode, rt::ATTR_DIMMED));
  EXPECT_EQ(acq().WriteIntoFile, 0);
  EXPECT_EQ(acq().FileHandle, nullptr);
  EXPECT_EQ(acq().WaitUSB, 0);
  // From now on no module: the single-read button does nothing.
  module().clearLog();
  acq().ReadData__(p.MainPanel, M::ReadOnce, rt::EVENT_COMMIT);
  EXPECT_TRUE(module().requests.empty());
  EXPECT_EQ(acq().NewestIndex, 199);
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
  key(0x1600);  // F8
  EXPECT_EQ(mainVal(M::FocusChannel), 7);
  key(0x0F00);  // F1
  EXPECT_EQ(mainVal(M::FocusChannel), 0);
  // Other keys are passed on: below F1, above F12, between two keys, with a modifier.
  module().clearLog();
  setMain(M::ReadOutMode, 3);
  for (int vk : {0x0E00, 0x1B00, 0x1180, 0x11100, 0x11800})
    EXPECT_EQ(acq().KeyCallback(p.MainPanel, 0, rt::EVENT_KEYPRESS, vk), 0) << vk;
  EXPECT_EQ(mainVal(M::FocusChannel) * 10 + mainVal(M::ReadOutMode), 3);
  EXPECT_FALSE(running());
  EXPECT_TRUE(module().commands.empty());
  setMain(M::ReadOutMode, 0);
  key(0x1900);  // F11 while stopped: SUMS, running
  EXPECT_EQ(mainVal(M::ReadOutMode), 2);
  EXPECT_TRUE(running());

  // A stop closes the record unless multiple-run saving keeps it; recording locks the mode keys.
  acq().FileName = dir.file("rec.txt");
  acq().WriteIntoFile = 1, acq().FileHandle = std::fopen(acq().FileName.c_str(), "a");
  bench->config.FileSaveMultipleRun = 1;
  acq().ContinuousReadStartStop();
  EXPECT_EQ(acq().WriteIntoFile, 1);
  key(0x1800);
  EXPECT_FALSE(running());
  bench->config.FileSaveMultipleRun = 0;
  acq().ContinuousReadStartStop(), acq().ContinuousReadStartStop();
  EXPECT_EQ(acq().WriteIntoFile, 0);
  EXPECT_EQ(acq().FileHandle, nullptr);
  EXPECT_EQ(bench->rt.GetCtrlValS(p.MainPanel, M::RecordFileName), " ");

  module().clearLog();  // a single read with the module there
  acq().ReadData__(p.MainPanel, M::ReadOnce, rt::EVENT_COMMIT);
  EXPECT_EQ(module().requests.size(), 1u);

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
