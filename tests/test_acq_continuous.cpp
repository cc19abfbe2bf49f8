// Continuous acquisition: the start preparation and timer, the tick with its guard, failure
// counter and period display, the lost module, the buttons, the refresh timer and the keys.
#include "test_acq_bench.h"

namespace {

using acqtest::Command;
using acqtest::framesBlock;
using acqtest::ReadAnswer;
namespace M = ctl::Main;
namespace O = ctl::Options;

class Continuous : public acqtest::BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    plugModule();
    module().clearLog();
  }
  acq::Acquisition &acq() { return bench->acq; }
  bool running() {
    return bench->rt.GetCtrlAttribute(p.MainPanel, M::AcqTimer, rt::ATTR_ENABLED) != 0;
  }
  double interval() {
    return bench->rt.GetCtrlAttribute(p.MainPanel, M::AcqTimer, rt::ATTR_INTERVAL);
  }
  bool modeDimmed() { return dimmed(p.MainPanel, M::ReadOutMode); }
  void tick() { acq().ReadFrame(p.MainPanel, M::AcqTimer, rt::EVENT_TIMER_TICK); }
  int key(int vk) { return acq().KeyCallback(p.MainPanel, 0, rt::EVENT_KEYPRESS, vk); }
  // Every read delivers the next block of a steady stream of card 0x77.
  void feedFrames(int blocks) {
    for (int k = 0; k < blocks; ++k)
      module().answers.push_back(
          ReadAnswer{framesBlock(0x77, static_cast<uint16_t>(100 * k), 0x500), true});
  }
};

TEST_F(Continuous, StartPreparesTheSourcesFourTimesThenRestoresThem) {
  setMain(M::ReadOutMode, 1);
  setOpt(O::LinkSources, 0);
  setOpt(O::SourceOn[0], 1);
  setOpt(O::SourceOn[7], 1);
  acq().ContinuousReadStartStop();

  std::vector<Command> supply;
  for (const Command &c : commands())
    if (c[0] == 0x90) supply.push_back(c);
  EXPECT_EQ(commands().size(), 4u * 29u);
  EXPECT_EQ(supply, (std::vector<Command>{
                        {0x90, 0, 0xFF},  // linked, on
                        {0x90, 0, 0x00},  // linked, off
                        {0x90, 0, 0x01},  // unlinked, channel 1 off
                        {0x90, 0, 0x81},  // the operator's own settings
                    }));
  EXPECT_EQ(optVal(O::LinkSources), 0);
  EXPECT_EQ(optVal(O::SourceOn[0]), 1);

  EXPECT_TRUE(running());
  EXPECT_EQ(interval(), 0.02);
  EXPECT_EQ(mainVal(M::AcqInterval), 0.02);
  EXPECT_TRUE(modeDimmed());

  module().clearLog();
  acq().ContinuousReadStartStop();
  EXPECT_FALSE(running());
  EXPECT_FALSE(modeDimmed());
  EXPECT_TRUE(commands().empty());  // stopping sends nothing
}

TEST_F(Continuous, IntervalBySumsAndFramesAndKeptByTheOtherModes) {
  setMain(M::ReadOutMode, 3);
  acq().ContinuousReadStartStop();
  EXPECT_EQ(interval(), 0.02);  // the initial interval
  acq().ContinuousReadStartStop();

  setMain(M::ReadOutMode, 2);
  acq().ContinuousReadStartStop();
  EXPECT_EQ(interval(), 0.4);
  EXPECT_EQ(mainVal(M::AcqInterval), 0.4);
  acq().ContinuousReadStartStop();
  EXPECT_EQ(interval(), 0.4);  // applied at the stop too

  setMain(M::ReadOutMode, 0);
  acq().ContinuousReadStartStop();
  EXPECT_EQ(interval(), 0.4);
  EXPECT_EQ(acq().AcqIntervalSeconds, 0.4);
}

TEST_F(Continuous, TicksReadAtTheIntervalAndShowTheThreeTickPeriod) {
  setMain(M::ReadOutMode, 1);
  feedFrames(200);
  clock.advance(1.0);
  acq().ContinuousReadStartStop();
  const double start = clock.now();
  EXPECT_EQ(acq().StartTime, start);

  bench->rt.RunUntil(start + 0.02);
  EXPECT_EQ(module().requests.size(), 1u);
  // First tick: the period start is 0, so the display shows the tick time / 3.
  EXPECT_NEAR(mainVal(M::FramePeriod), (start + 0.02) / 3.0, 1e-9);
  EXPECT_NEAR(acq().NewTime, 0.02, 1e-9);

  bench->rt.RunUntil(start + 2.001);
  EXPECT_EQ(module().requests.size(), 100u);
  EXPECT_NEAR(mainVal(M::FramePeriod), 0.02, 1e-9);
  EXPECT_EQ(acq().ReadErrorCount, 0);
  EXPECT_EQ(acq().CardNumber, 0x77);
  EXPECT_EQ(acq().WaitUSB, 0);
}

TEST_F(Continuous, FailedReadsAreCountedAndAcquisitionGoesOn) {
  setMain(M::ReadOutMode, 1);
  module().answers.push_back(ReadAnswer{{}, false});
  module().answers.push_back(ReadAnswer{std::vector<uint8_t>(1000, 0), true});  // no frame
  acq().ContinuousReadStartStop();
  tick();
  tick();
  EXPECT_EQ(acq().ReadErrorCount, 2);
  EXPECT_EQ(mainVal(M::ReadErrors), 2);
  EXPECT_TRUE(running());
}

TEST_F(Continuous, TickDuringAReadIsDroppedAndCounted) {
  setMain(M::ReadOutMode, 1);
  acq().WaitUSB = 1;
  setMain(M::FramePeriod, 0.5);
  tick();
  EXPECT_EQ(acq().ReadErrorCount, 1);
  EXPECT_TRUE(module().requests.empty());
  EXPECT_EQ(mainVal(M::FramePeriod), 0.5);
  EXPECT_EQ(mainVal(M::ReadErrors), 0);                         // counted, not shown
  acq().ReadFrame(p.MainPanel, M::AcqTimer, rt::EVENT_COMMIT);  // not a tick: ignored
  EXPECT_EQ(acq().ReadErrorCount, 1);
}

TEST_F(Continuous, LostModuleStopsTheAcquisition) {
  setMain(M::ReadOutMode, 1);
  feedFrames(10);
  acq().ContinuousReadStartStop();
  bench->rt.RunUntil(clock.now() + 0.1);
  ASSERT_TRUE(running());
  module().present = false;
  bench->rt.RunUntil(clock.now() + 0.1);
  EXPECT_FALSE(running());
  EXPECT_FALSE(modeDimmed());
  EXPECT_EQ(bench->usb.NbrQuickUSBConnected, 0);
  EXPECT_EQ(acq().WaitUSB, 0);

  // A later start runs on the no-hardware path: demo values, no bulk read.
  const size_t reads = module().requests.size();
  acq().ContinuousReadStartStop();
  bench->rt.RunUntil(clock.now() + 0.1);
  EXPECT_EQ(module().requests.size(), reads);
  EXPECT_GT(acq().NewestIndex, 0);
}

TEST_F(Continuous, StopClosesTheRecordUnlessMultipleRunSavingKeepsItOpen) {
  setMain(M::ReadOutMode, 1);
  acq().ContinuousReadStartStop();
  acq().WriteIntoFile = 1;
  acq().FileHandle = 3;
  acq().FileName = "/tmp/run.txt";
  bench->config.FileSaveMultipleRun = 1;
  acq().ContinuousReadStartStop();
  EXPECT_EQ(acq().WriteIntoFile, 1);
  EXPECT_EQ(acq().FileHandle, 3);

  acq().ContinuousReadStartStop();
  bench->config.FileSaveMultipleRun = 0;
  acq().ContinuousReadStartStop();
  EXPECT_EQ(acq().WriteIntoFile, 0);
  EXPECT_EQ(acq().FileHandle, 0);
  EXPECT_EQ(acq().FileName, " ");
  EXPECT_EQ(bench->rt.GetCtrlValS(p.MainPanel, M::RecordFileName), " ");
}

TEST_F(Continuous, StartStopButtonResetsTheAdcStatistics) {
  for (int startThenStop = 0; startThenStop < 2; ++startThenStop) {
    for (int ch = 0; ch < 8; ++ch) {
      acq().ADC_MIN[ch] = 12;
      acq().ADC_MAX[ch] = 4000;
      acq().ADC_DISC[ch] = 9;
    }
    acq().ContiReads(p.MainPanel, M::StartStop, rt::EVENT_COMMIT);
    EXPECT_EQ(running(), startThenStop == 0);
    for (int ch = 0; ch < 8; ++ch) {
      EXPECT_EQ(acq().ADC_MIN[ch], 4095);
      EXPECT_EQ(acq().ADC_MAX[ch], 0);
      EXPECT_EQ(acq().ADC_DISC[ch], 0);
    }
  }
}

TEST_F(Continuous, SingleReadOnlyWithAModule) {
  setMain(M::ReadOutMode, 2);
  acq().ReadData__(p.MainPanel, M::ReadOnce, rt::EVENT_COMMIT);
  EXPECT_EQ(module().requests, std::vector<uint32_t>{1024});
  bench->usb.NbrQuickUSBConnected = 0;
  const int index = acq().NewestIndex;
  acq().ReadData__(p.MainPanel, M::ReadOnce, rt::EVENT_COMMIT);
  EXPECT_EQ(acq().NewestIndex, index);  // no read at all
}

TEST_F(Continuous, RefreshTimerReadsASumsBlockAndShowsTheDeviceNumber) {
  int identified = 0;
  acq().refreshIdentification = [&] { ++identified; };
  setMain(M::ReadOutMode, 1);
  std::vector<uint8_t> block(1024, 0);
  acqtest::putDword(block, 514, 0x00000123);
  module().answers.push_back(ReadAnswer{block, true});
  acq().TimerRefresh(p.TabBData, ctl::TabBData::RefreshTimer, rt::EVENT_TIMER_TICK);
  EXPECT_EQ(mainVal(M::ReadOutMode), 2);
  EXPECT_EQ(commands().at(0), (Command{0x20, 0x40, 0x00}));
  EXPECT_EQ(module().requests, std::vector<uint32_t>{1024});
  EXPECT_EQ(bench->rt.GetCtrlValD(p.TestCFCPanel, ctl::Test::FpgaDeviceNumber), 0x123);
  EXPECT_EQ(identified, 1);
}

TEST_F(Continuous, FunctionKeysFocusAChannel) {
  setMain(M::ReadOutMode, 1);
  EXPECT_EQ(key(0x1100), 0);  // F3
  EXPECT_EQ(mainVal(M::FocusChannel), 2);
  EXPECT_EQ(bench->config.AdcCfcfocus, 2);
  EXPECT_EQ(commands().at(0), (Command{0x20, 0x20, 0x00}));  // main panel applied
  key(0x1600);                                               // F8
  EXPECT_EQ(mainVal(M::FocusChannel), 7);
  key(0x0F00);  // F1
  EXPECT_EQ(mainVal(M::FocusChannel), 0);

  module().clearLog();
  key(0x1101);  // not a function key
  key('a');
  acq().KeyCallback(p.MainPanel, 0, rt::EVENT_COMMIT, 0x1200);
  EXPECT_EQ(mainVal(M::FocusChannel), 0);
  EXPECT_TRUE(commands().empty());
}

TEST_F(Continuous, FunctionKeysSwitchModeAndLeaveTheAcquisitionRunning) {
  setMain(M::ReadOutMode, 0);
  key(0x1800);  // F10 while stopped: FRAMES, started
  EXPECT_EQ(mainVal(M::ReadOutMode), 1);
  EXPECT_TRUE(running());
  EXPECT_EQ(interval(), 0.02);

  key(0x1900);  // F11 while running: stopped, SUMS, started again
  EXPECT_EQ(mainVal(M::ReadOutMode), 2);
  EXPECT_TRUE(running());
  EXPECT_EQ(interval(), 0.4);
  EXPECT_EQ(mainVal(M::AcqInterval), 0.4);

  key(0x1700);  // F9: RAWDATA keeps the interval
  EXPECT_EQ(mainVal(M::ReadOutMode), 0);
  EXPECT_TRUE(running());
  key(0x1A00);  // F12
  EXPECT_EQ(mainVal(M::ReadOutMode), 3);
  EXPECT_TRUE(running());

  // While recording the mode keys do nothing.
  acq().ContinuousReadStartStop();
  acq().WriteIntoFile = 1;
  module().clearLog();
  key(0x1800);
  EXPECT_EQ(mainVal(M::ReadOutMode), 3);
  EXPECT_FALSE(running());
  EXPECT_TRUE(commands().empty());
}

}  // namespace
