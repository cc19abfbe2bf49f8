// One read cycle through ReadShowFrame on a started bench: the port E read gate, the request of
// each mode, the FRAMES, SUMS and SINGLE_VALUE processing and their displays, failures, the
// lost module and the no-hardware path.
#include <cmath>

#include "acq/display.h"
#include "rt/format.h"
#include "test_acq_bench.h"

namespace {

using acqtest::framesBlock;
using acqtest::putDword;
using acqtest::ReadAnswer;
namespace M = ctl::Main;

class ReadCycle : public acqtest::BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    plugModule();
    module().clearLog();
  }
  acq::Acquisition &acq() { return bench->acq; }
  hw::FpgaConfig &config() { return bench->config; }
  void mode(int m) { setMain(M::ReadOutMode, m); }
  void deliver(std::vector<uint8_t> bytes, bool ok = true) {
    module().answers.push_back(ReadAnswer{std::move(bytes), ok});
  }
  const rt::Control &ctrl(int panel, int id) { return bench->rt.control(panel, id); }
  double cell(int panel, int table, int row, int col) {
    return bench->rt.GetTableCellVal(panel, table, row, col);
  }
  bool led(int id) { return mainVal(id) != 0; }
};

TEST_F(ReadCycle, ReadGateAndRequestSizePerMode) {
  module().portE = 0xA0;  // board number bits
  for (auto [m, size] : {std::pair{0, 1000u}, {1, 1000u}, {2, 1024u}, {3, 606u}}) {
    mode(m);
    module().clearLog();
    acq().ReadShowFrame();
    EXPECT_EQ(module().requests, std::vector<uint32_t>{size}) << m;
    EXPECT_EQ(module().portEWrites, (std::vector<int>{0xA8, 0xA0})) << m;
  }
  bench->rt.control(p.MainPanel, M::ReadOutMode).num = 9;
  module().clearLog();
  EXPECT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_EQ(module().requests, std::vector<uint32_t>{1000u});
}

TEST_F(ReadCycle, FailedBulkReadLeavesStateAndGateAlone) {
  mode(1);
  module().portE = 0x00;
  const uint16_t card = acq().CardNumber;
  deliver({}, false);
  EXPECT_EQ(acq().ReadShowFrame(), -1);
  EXPECT_EQ(module().portEWrites, std::vector<int>{0x08});  // gate left high
  EXPECT_EQ(acq().SyncMisses, 0);
  EXPECT_EQ(acq().CardNumber, card);
  EXPECT_TRUE(ctrl(p.MainPanel, M::DataGraph1).plots.empty());
}

TEST_F(ReadCycle, FramesBlockLearnsTheCardAndShowsTheFrame) {
  mode(1);
  config().AdcCfcfocus = 0;
  deliver(framesBlock(0x0245, 7, 0x9AB, 3, 0x0101, 0x8001));
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_EQ(acq().CardNumber, 0x0245);
  EXPECT_EQ(optVal(ctl::Options::CardNumber), 0x0245);
  EXPECT_EQ(mainVal(M::CardNumber), 0x0245);
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(acq().ADC[ch][199], 0x9AB);
    EXPECT_EQ(acq().CFC[ch][199], ch + 1);
    EXPECT_EQ(cell(p.MainPanel, M::DacTable, ch + 1, 2), ch + 1);
  }
  // Status word 1 straight, status word 2 bit-reversed onto the B lights.
  EXPECT_TRUE(led(M::StatusA[0]) && led(M::StatusA[8]));
  EXPECT_FALSE(led(M::StatusA[1]) || led(M::StatusA[15]));
  EXPECT_TRUE(led(M::StatusB[15]) && led(M::StatusB[0]));
  EXPECT_FALSE(led(M::StatusB[14]) || led(M::StatusB[1]));
  // The focus channel's history in the two graphs.
  const auto &g1 = ctrl(p.MainPanel, M::DataGraph1).plots;
  const auto &g2 = ctrl(p.MainPanel, M::DataGraph2).plots;
  ASSERT_EQ(g1.size(), 1u);
  ASSERT_EQ(g2.size(), 1u);
  EXPECT_EQ(g1[0].y.size(), 200u);
  EXPECT_EQ(g1[0].y[199], 0x9AB);
  EXPECT_EQ(g1[0].color, 0xFF0000u);
  EXPECT_EQ(g2[0].y[199], 1);
  EXPECT_EQ(g2[0].color, 0x00FF00u);
  EXPECT_EQ(acq().HandlePlotAdc, g1[0].handle);
}

TEST_F(ReadCycle, FramesNeedNineHundredNinetyNineBytes) {
  mode(1);
  std::vector<uint8_t> block = framesBlock(12, 1, 0x100, 0);
  deliver(std::vector<uint8_t>(block.begin(), block.begin() + 998));
  EXPECT_EQ(acq().ReadShowFrame(), -1);
  EXPECT_EQ(acq().SyncMisses, 0);  // refused before any search
  EXPECT_EQ(acq().CardLocked, 0);
  deliver(std::vector<uint8_t>(block.begin(), block.begin() + 999));
  EXPECT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_EQ(acq().CardNumber, 12);
}

TEST_F(ReadCycle, LockFollowsTheCardAcrossBlocks) {
  mode(1);
  deliver(framesBlock(5, 100));
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  ASSERT_EQ(acq().CardLocked, 1);
  for (int k = 0; k < 5; ++k) {
    deliver(framesBlock(6, 200));
    EXPECT_EQ(acq().ReadShowFrame(), -1);
  }
  EXPECT_EQ(acq().CardLocked, 0);
  EXPECT_EQ(acq().CardNumber, 5);
  deliver(framesBlock(6, 300));
  EXPECT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_EQ(acq().CardNumber, 6);
  EXPECT_EQ(optVal(ctl::Options::CardNumber), 6);
}

TEST_F(ReadCycle, FrameStatisticsReachTheFocusIndicatorsAndTheResultTable) {
  mode(1);
  config().AdcCfcfocus = 2;
  setMain(M::FramePeriod, 0.02);
  const int slope = p.TabSlope;
  const int table = ctl::TabSlope::ResultTable;
  for (auto &v : acq().ADC_MIN) v = 4095;
  // Seven blocks refresh the seven columns in turn; a reset in the last one.
  const uint16_t adc[7] = {3000, 2990, 2980, 2970, 2960, 300, 3800};
  for (int k = 0; k < 7; ++k) {
    clock.advance(0.5);
    deliver(framesBlock(9, static_cast<uint16_t>(10 * k), adc[k]));
    ASSERT_EQ(acq().ReadShowFrame(), 0);
  }
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(cell(slope, table, ch + 2, 2), ch + 1);  // CFC_VAL
    EXPECT_EQ(cell(slope, table, ch + 2, 9), 300);     // ADC_MIN
    EXPECT_EQ(cell(slope, table, ch + 2, 10), 3800);   // ADC_MAX
    EXPECT_EQ(cell(slope, table, ch + 2, 11), 2);      // ADC_DISC at the reset
  }
  EXPECT_EQ(acq().StatsColumnStep, 0);
  EXPECT_EQ(mainVal(M::FocusAdcMin), 300);
  EXPECT_EQ(mainVal(M::FocusAdcMax), 3800);
  EXPECT_EQ(mainVal(M::FocusDisc), 2);  // the rise to 3000 and the fall to 300
  EXPECT_EQ(mainVal(M::FocusOvershoot), 0);
  // The first reset of a channel measures its period from the clock's origin.
  EXPECT_FLOAT_EQ(acq().ADC_STAT_PERIODE[2], 3.5f);
  EXPECT_NEAR(mainVal(M::FocusPeriodRate), 200.0 / 3.5, 1e-4);
}

TEST_F(ReadCycle, FrameTextAndRawViewAreExactText) {
  mode(1);
  acq().ViewRaw = 1;
  acq().ViewFrame = 1;
  std::vector<uint8_t> block = framesBlock(0x0A0B, 0x1234, 0x123, 0, 0x00FF, 0x8000);
  std::vector<uint8_t> part(block.begin(), block.begin() + 999);
  deliver(part);
  ASSERT_EQ(acq().ReadShowFrame(), 0);

  const auto &frame = ctrl(p.ShowFramePanel, ctl::ShowFrame::FrameText).lines;
  ASSERT_EQ(frame.size(), 3u);
  EXPECT_EQ(frame[0], " ");
  EXPECT_EQ(frame[1], "CNMBR STATUS1 STATUS2 CFC1 ADC1 CFC2 ADC2 ...");
  EXPECT_EQ(frame[2],
            "0a0b   00ff   8000   0001 0123 0002 0123 0003 0123 0004 0123 0005 0123 0006 0123 "
            "0007 0123 0008 0123 0001 0002 0003 0004 0005 0006 0007 0008 1234");

  const auto &raw = ctrl(p.RawData, ctl::RawData::Words).lines;
  ASSERT_EQ(raw.size(), 501u);
  EXPECT_EQ(raw[0], " ");
  EXPECT_EQ(raw[1], "0A0B");
  EXPECT_EQ(raw[2], "00FF");
  EXPECT_EQ(raw[500], rt::format("%04X", block[998]));  // word 499: only its low byte arrived
  EXPECT_EQ(raw[499], rt::format("%04X", block[996] | (block[997] << 8)));
}

TEST_F(ReadCycle, ShortRawBlockStillShowsFiveHundredWordsAndPlotsWhatArrived) {
  mode(0);
  acq().ViewRaw = 1;
  deliver({0x01, 0x02, 0x03, 0x04, 0x05});
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  const auto &raw = ctrl(p.RawData, ctl::RawData::Words).lines;
  ASSERT_EQ(raw.size(), 501u);
  EXPECT_EQ(raw[1], "0201");
  EXPECT_EQ(raw[3], "0005");
  EXPECT_EQ(raw[4], "0000");
  const auto &g1 = ctrl(p.MainPanel, M::DataGraph1).plots;
  ASSERT_EQ(g1.size(), 1u);
  EXPECT_EQ(g1[0].y, (std::vector<double>{0x0201, 0x0403}));
  EXPECT_EQ(acq().delivered(), 5u);
}

TEST_F(ReadCycle, FailedFramesBlockLeavesTheGraphsAsTheyWere) {
  mode(1);
  deliver(framesBlock(3, 1, 0x200));
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  const int handle = ctrl(p.MainPanel, M::DataGraph1).plots.at(0).handle;
  deliver(std::vector<uint8_t>(1000, 0));
  EXPECT_EQ(acq().ReadShowFrame(), -1);
  EXPECT_EQ(ctrl(p.MainPanel, M::DataGraph1).plots.at(0).handle, handle);

  acq().ShowGraph = 0;
  deliver(framesBlock(3, 50, 0x300));
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_EQ(ctrl(p.MainPanel, M::DataGraph1).plots.at(0).handle, handle);
}

// A SUMS block: every sum of channel ch is 64 * (ch + 1) * its window; status words as given.
std::vector<uint8_t> sumsBlock(uint32_t card, uint32_t erra, uint32_t status12) {
  std::vector<uint8_t> b(1024, 0);
  const double divisor[12] = {1, 2, 8, 16, 64, 256, 2048, 16384, 32768, 131072, 524288, 2097152};
  for (int ch = 0; ch < 8; ++ch)
    for (int s = 0; s < 12; ++s) {
      const double v = 64.0 * (ch + 1) * divisor[s];
      const size_t first = (ch < 4 ? 2 : 258) + 4 * (4 * s + ch % 4);
      if (s < 8) {
        putDword(b, first, static_cast<uint32_t>(v));
      } else {  // split into first + 34 x second
        const uint32_t second = static_cast<uint32_t>(v / 34);
        putDword(b, first, static_cast<uint32_t>(v - 34.0 * second));
        putDword(b, (ch < 4 ? 194 : 450) + 4 * (4 * (s - 8) + ch % 4), second);
      }
    }
  putDword(b, 514, card);
  putDword(b, 514 + 4 * 3, erra);
  putDword(b, 514 + 4 * 12, status12);
  putDword(b, 514 + 4 * 15, 0x03040102);
  return b;
}

TEST_F(ReadCycle, SumsBlockFillsTheStatusTableLightsAndSumsGraph) {
  mode(2);
  setMain(M::SumSelect, 10);
  clock.advance(5.0);
  deliver(sumsBlock(0x00110007, 10, 0x80010002));
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_EQ(acq().CardNumber, 7);
  EXPECT_EQ(acq().FrameNbr, 0x11);
  EXPECT_EQ(mainVal(M::CardNumber), 7);
  for (int ch = 0; ch < 8; ++ch)
    for (int s = 0; s < 12; ++s)
      ASSERT_FLOAT_EQ(acq().SumsMaximumsNormalized[ch][s][19], 64.0f * (ch + 1)) << ch << s;

  const int t = M::StatusTable;
  EXPECT_EQ(cell(p.MainPanel, t, 1, 2), 7);
  EXPECT_EQ(cell(p.MainPanel, t, 2, 2), 0x11);
  EXPECT_EQ(cell(p.MainPanel, t, 5, 2), 10);       // Erra
  EXPECT_EQ(cell(p.MainPanel, t, 14, 2), 0x0002);  // status A
  EXPECT_EQ(cell(p.MainPanel, t, 15, 2), 0x8001);  // status B
  EXPECT_EQ(cell(p.MainPanel, t, 18, 2), 0x01);    // DAC 1
  EXPECT_EQ(cell(p.MainPanel, t, 19, 2), 0x02);    // DAC 2
  EXPECT_EQ(cell(p.MainPanel, t, 5, 3), 0);        // first rate
  EXPECT_TRUE(led(M::StatusA[1]) && !led(M::StatusA[0]));
  EXPECT_TRUE(led(M::StatusB[0]) && led(M::StatusB[15]) && !led(M::StatusB[1]));

  // Eight plots of sum 10, one per channel in its colour, normalised.
  const auto &plots = ctrl(p.MainPanel, M::SumsGraph).plots;
  ASSERT_EQ(plots.size(), 8u);
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(plots[ch].color, acq::kSumColour[ch]);
    EXPECT_EQ(plots[ch].y.size(), 20u);
    EXPECT_FLOAT_EQ(plots[ch].y[19], 64.0f * (ch + 1));
  }
  EXPECT_EQ(ctrl(p.MainPanel, M::SumsGraph).yScaling, rt::VAL_AUTOSCALE);
  // SUMS mode draws nothing in the data graphs.
  EXPECT_TRUE(ctrl(p.MainPanel, M::DataGraph1).plots.empty());

  // 3.5 s later with seven more CRC errors: 2 per second, beside the counter.
  clock.advance(3.5);
  deliver(sumsBlock(7, 17, 0));
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_FLOAT_EQ(acq().Erra_rate, 2.0f);
  EXPECT_EQ(cell(p.MainPanel, t, 5, 3), 2.0);
  EXPECT_EQ(plots.size(), 8u);  // the previous block's plots went first
}

TEST_F(ReadCycle, SumsPlotSwitchesAndRawSums) {
  mode(2);
  for (int ch = 0; ch < 8; ++ch) setMain(M::PlotCh[ch], ch == 1 || ch == 6);
  setMain(M::ShowNormalized, 0);
  acq().UpdatePanelSumMax(p.MainPanel, M::ShowNormalized, rt::EVENT_COMMIT);
  EXPECT_EQ(acq().ShowNormPlots, 0);
  setMain(M::SumSelect, 2);
  for (int k = 0; k < 3; ++k) {
    deliver(sumsBlock(1, 0, 0));
    ASSERT_EQ(acq().ReadShowFrame(), 0);
  }
  // Channel 5 was never plotted, yet the graph holds only the newest block's two plots.
  const auto &plots = ctrl(p.MainPanel, M::SumsGraph).plots;
  ASSERT_EQ(plots.size(), 2u);
  EXPECT_EQ(plots[0].color, acq::kSumColour[1]);
  EXPECT_EQ(plots[1].color, acq::kSumColour[6]);
  EXPECT_FLOAT_EQ(plots[1].y[19], 64.0f * 7 * 8);  // raw sum 2 of channel 7
}

TEST_F(ReadCycle, SumsGraphWithNothingToPlotIsLeftAlone) {
  mode(2);
  for (int ch = 0; ch < 8; ++ch) setMain(M::PlotCh[ch], 0);
  acq().UpdatePanelSumMax(p.MainPanel, M::PlotCh[0], rt::EVENT_COMMIT);
  deliver(sumsBlock(1, 0, 0));
  ASSERT_EQ(acq().ReadShowFrame(), 0);
  EXPECT_TRUE(ctrl(p.MainPanel, M::SumsGraph).plots.empty());
}

TEST_F(ReadCycle, SingleValueBlockPlotsTheChosenNumberOfSamples) {
  mode(3);
  std::vector<uint8_t> b(606, 0);
  for (int j = 0; j < 99; ++j) {
    acqtest::putWord(b, 3 + 3 * j, static_cast<uint16_t>(j));
    acqtest::putWord(b, 4 + 3 * j, static_cast<uint16_t>(0x100 + j));
  }
  for (auto [points, shown] : {std::pair{10, 10u}, {150, 99u}}) {
    setMain(M::SinglePoints, points);
    deliver(b);
    ASSERT_EQ(acq().ReadShowFrame(), 0);
    const auto &g1 = ctrl(p.MainPanel, M::DataGraph1).plots;
    const auto &g2 = ctrl(p.MainPanel, M::DataGraph2).plots;
    ASSERT_EQ(g1.size(), 1u);
    EXPECT_EQ(g1[0].y.size(), std::min<size_t>(shown, 99u));
    EXPECT_EQ(g1[0].y[9], 0x109);
    EXPECT_EQ(g2[0].y[9], 9);
  }
  EXPECT_EQ(acq().singleValues().adc[98], 0x100 + 98);
}

TEST_F(ReadCycle, LostModuleReturnsMinusTenThenRunsWithoutHardware) {
  mode(1);
  module().present = false;
  EXPECT_EQ(acq().ReadShowFrame(), -10);
  EXPECT_EQ(bench->usb.NbrQuickUSBConnected, 0);
  EXPECT_TRUE(module().requests.empty());
  // From now on: no bulk read, demo values into channel 1.
  const int before = acq().NewestIndex;
  acq().ReadShowFrame();
  EXPECT_TRUE(module().requests.empty());
  EXPECT_EQ(acq().NewestIndex, before + 1);
}

TEST(ReadCycleNoHardware, TwoRunsGiveTheSameDemoSequence) {
  auto run = [](std::vector<uint16_t> &adc, int &failures, uint16_t &firstAdc) {
    acqtest::Module::get().reset();
    testenv::TempDir dir;
    rt::VirtualClock clock;
    app::BenchOptions options;
    options.uiDir = testenv::uiDir();
    options.settingsPath = dir.file("settings.ini");
    options.quickusbLib = dir.file("none.so");
    app::Bench bench(clock, options);
    bench.StartUp();
    bench.rt.SetCtrlVal(bench.panels.MainPanel, M::ReadOutMode, 1);
    failures = 0;
    for (int k = 0; k < 250; ++k) {
      failures += bench.acq.ReadShowFrame() == -1;
      if (k == 0) firstAdc = bench.acq.ADC[0][0];
    }
    adc.assign(bench.acq.ADC[0], bench.acq.ADC[0] + 200);
    // The demo graph shows channel 1's history.
    const auto &g = bench.rt.control(bench.panels.MainPanel, M::DataGraph1).plots;
    EXPECT_EQ(g.size(), failures == 250 ? 0u : 1u);
  };
  std::vector<uint16_t> first, second;
  int f1 = 0, f2 = 0;
  uint16_t a1 = 0, a2 = 0;
  run(first, f1, a1);
  run(second, f2, a2);
  EXPECT_EQ(first, second);
  std::srand(1);
  EXPECT_EQ(a1, static_cast<uint16_t>(std::rand()));  // the generator's first value
  EXPECT_EQ(a2, a1);
  EXPECT_EQ(f1, 250);  // random words never form two matching frames
  EXPECT_NE(first[0], first[1]);
}

}  // namespace
