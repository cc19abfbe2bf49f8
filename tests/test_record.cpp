// Record files: the exact text of the header and of each mode's line, and the life of the file
// through the buttons, the starts and stops, a cancelled choice and the failures that stop the
// recording without stopping the acquisition. Ends with a FRAMES run on the simulated bench read
// back against the board's card number and currents.
#include <dlfcn.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "../sim/quickusb_sim.h"
#include "acq/record.h"
#include "test_acq_bench.h"
#include "test_popups.h"

namespace {

namespace M = ctl::Main;
namespace O = ctl::Options;
using acqtest::Bytes;

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

std::string repeat(const std::string &s, int n) {
  std::string out;
  for (int k = 0; k < n; ++k) out += s;
  return out;
}

// ---------------------------------------------------------------- text

TEST(RecordText, FramesLineKeepsEveryFieldInItsWidth) {
  acq::AcqState st;
  st.CFC[0][199] = 7, st.ADC[0][199] = 2048;
  st.DacVal[0] = 12, st.DacVal[7] = 3;
  st.FrameStatus1 = 0x0101, st.FrameStatus2 = 0x8000, st.CardNumber = 5;
  std::string line;
  acq::formatFramesLine(line, 1.5, st);
  EXPECT_EQ(line, "1.500000  0007 2048 " + repeat("0000 ", 14) + "012 " + repeat("000 ", 6) +
                      "0003 0257 32768 0005");
  // A value wider than its field is written in full; the other history elements are not used.
  st.ADC[0][198] = 1, st.DacVal[1] = 255, st.CardNumber = 65535;
  acq::formatFramesLine(line, 12345.25, st);
  EXPECT_EQ(line.substr(0, 21), "12345.250000  0007 20");
  EXPECT_EQ(line.substr(line.size() - 45), "255 000 000 000 000 000 0003 0257 32768 65535");
}

TEST(RecordText, SumsLineHasTheSumsThenThirtyNineIntegers) {
  acq::AcqState st;
  st.SumsMaximums[0][0][19] = 1.5f;
  st.SumsMaximums[0][0][18] = 99.0f;  // older blocks are not recorded
  st.SumsMaximums[7][11][19] = 4294967295.0f;
  for (int k = 0; k < acq::kStatusList; ++k) st.StatusList[k] = 100 + k;
  std::string line;
  acq::formatSumsLine(line, 0.4, st);
  const std::string tail =
      "0  100  102  103  104  105  106  107  108  109  110  111  112  115  116  117  118  119 "
      "120  121  122  123  124  125  126  127 128  129  130  131  132  133  134  135  136  137  "
      "138  139  140";
  EXPECT_EQ(line,
            "0.400000  1.500000e+00  " + repeat("0.000000e+00  ", 94) + "4.294967e+09  " + tail);
  std::istringstream fields(line);
  int n = 0;
  for (std::string f; fields >> f;) ++n;
  EXPECT_EQ(n, 1 + 96 + 39);
}

TEST(RecordText, RawLineAlwaysHasNinetyNineWords) {
  const uint8_t bytes[] = {0x34, 0x12, 0xFF, 0xFF, 0x07};  // two words and a half
  std::string line;
  acq::formatRawLine(line, 2.0, acq::BlockView{bytes, sizeof bytes});
  EXPECT_EQ(line, "2.000000  4660 65535 7 " + repeat("0 ", 96));
}

TEST(RecordText, HeaderOfEachMode) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::string top = " \n \n \nThu Jan  1 00:01:40 1970\n\n";
  auto header = [](int mode) {
    std::string out = "kept";
    acq::appendRecordHeader(out, mode, 100);
    return out;
  };
  EXPECT_EQ(header(0), "kept" + top + "RAWDATA\n");
  EXPECT_EQ(header(1), "kept" + top +
                           "MODE OF OPERATION : FRAMES\n \nTime CFC_1 ADC_1 ....CFC_8 ADC_8 "
                           "DACVAL_1..DACVAL8 STATUS_1 STATUS_2 CARD_NBR\n \n");
  EXPECT_EQ(header(2),
            "kept" + top +
                "MODE OF OPERATION : SUMS_MAXIMUMS_ANALYSIS\n \nTime\tCH1_SUM1..CH1_SUM12....CH8_"
                "SUM1..CH8_SUM12 CARDNBR DUMP FRAMES ERRA ERRB ERRC ERRD ERRF ACQ LOSTFA LOSTFB "
                "NbrReset ChangInStatusA ChangeInStatusB Dac1...Dac8 "
                "MinValCount40usCH1_A...MinValCount40usCH8_A "
                "MinValCount40usCH1_B...MinValCount40usCH8_B\n \n");
  EXPECT_EQ(header(3), "kept" + top + "SINGLE_VALUE\n");
  EXPECT_EQ(header(7), "kept" + top);
  unsetenv("TZ");
  tzset();
}

TEST(RecordText, SingleValueTable) {
  acq::SingleValueBlock b;
  b.cfc[0] = 3, b.adc[0] = 4095, b.cfc[98] = 255, b.adc[98] = 1;
  b.cfc[99] = 77;  // the hundredth element is not a sample
  std::string text;
  acq::formatSingleValueTable(text, b);
  const auto l = lines(text);
  ASSERT_EQ(l.size(), 99u);
  EXPECT_EQ(l[0], "         0         3      4095");
  EXPECT_EQ(l[1], "         0         0         0");
  EXPECT_EQ(l[98], "         0       255         1");
}

// ---------------------------------------------------------------- the file through the buttons

class Record : public acqtest::BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    bench->rt.setOperator(&popups);
    acq().wallClock = [] { return 0LL; };
    path = dir.file("run.txt");
  }
  void choose(std::optional<std::string> file) {
    popups.choices.push_back(std::move(file));
    acq().SaveToFile(p.MainPanel, M::RecordFile, rt::EVENT_COMMIT);
  }
  void tick() { acq().ReadFrame(p.MainPanel, M::AcqTimer, rt::EVENT_TIMER_TICK); }
  void startStop() { acq().ContinuousReadStartStop(); }
  bool running() { return attr(p.MainPanel, M::AcqTimer, rt::ATTR_ENABLED); }
  int infoLines() { return bench->rt.GetNumTextBoxLines(p.MainPanel, M::InfoBox); }
  std::string lastInfo() {
    return bench->rt.GetTextBoxLine(p.MainPanel, M::InfoBox, infoLines() - 1);
  }
  std::string fileText() { return testenv::readFile(path); }

  acqtest::Popups popups;
  std::string path;
};

TEST_F(Record, ChosenFileGetsAHeaderPerRunAndALinePerRead) {
  choose(path);
  const rt::FileRequest &r = popups.requests.at(0);
  EXPECT_TRUE(r.save && r.allowCancel && r.allowMakeDirectory);
  EXPECT_EQ(r.title + "|" + r.typeList + "|" + r.defaultPattern + "|" + r.defaultDirectory,
            "Save As..|*.txt; *.dat|*.*|C:\\");
  EXPECT_EQ(bench->rt.GetCtrlValS(p.MainPanel, M::RecordFileName), path);
  EXPECT_EQ(acq().WriteIntoFile, 1);
  EXPECT_EQ(acq().FileHandle, nullptr);  // opened by the start, not by the choice
  EXPECT_FALSE(std::filesystem::exists(path));

  bench->config.FileSaveMultipleRun = 1;
  setMain(M::ReadOutMode, 1);
  startStop();
  for (int k = 0; k < 2; ++k) {
    clock.advance(0.25);
    module().blocks.push_back(acqtest::framesBlock(0x77, uint16_t(10 * k), 0x800 + k));
    tick();
  }
  module().blocks.push_back({1, 2, 3});  // a failed FRAMES read records nothing
  tick();
  startStop();  // multiple-run saving: the file stays open, recording on
  EXPECT_EQ(acq().WriteIntoFile, 1);
  EXPECT_NE(acq().FileHandle, nullptr);
  // A single read is recorded too, with the time of the last tick.
  module().blocks.push_back(acqtest::framesBlock(0x77, 50, 0x900));
  acq().ReadData__(p.MainPanel, M::ReadOnce, rt::EVENT_COMMIT);
  setMain(M::ReadOutMode, 0);
  startStop();  // a second run: its own header, reopened for appending
  startStop();

  const std::string frames =
      "MODE OF OPERATION : FRAMES\n \nTime CFC_1 ADC_1 ....CFC_8 ADC_8 "
      "DACVAL_1..DACVAL8 STATUS_1 STATUS_2 CARD_NBR\n \n";
  const std::string top = " \n \n \n" + rt::ctimeText(0) + "\n";
  auto line = [](const char *t, int adc) {
    std::string l = t;
    for (int ch = 1; ch <= 8; ++ch) l += rt::format(" %04d %04d", ch, adc);
    return l + " 001 002 003 004 005 006 007 0008 0000 0000 0119\n";
  };
  EXPECT_EQ(fileText(), top + frames + line("0.250000 ", 2048) + line("0.500000 ", 2049) +
                            line("0.500000 ", 2304) + top + "RAWDATA\n");

  // The end-of-record button closes the file and clears the choice.
  acq().EndFile(p.MainPanel, M::EndRecord, rt::EVENT_COMMIT);
  EXPECT_EQ(acq().WriteIntoFile, 0);
  EXPECT_EQ(acq().FileHandle, nullptr);
  EXPECT_EQ(acq().FileName, " ");
  EXPECT_EQ(bench->rt.GetCtrlValS(p.MainPanel, M::RecordFileName), " ");
}

TEST_F(Record, CancelledChoiceDuringARunClosesTheFile) {
  choose(path);
  setMain(M::ReadOutMode, 1);
  startStop();
  module().blocks.push_back(acqtest::framesBlock(0x77, 0));
  tick();
  const size_t size = fileText().size();
  choose(std::nullopt);
  EXPECT_EQ(acq().WriteIntoFile, 0);
  EXPECT_EQ(acq().FileHandle, nullptr);
  EXPECT_EQ(acq().FileName, "");
  EXPECT_EQ(bench->rt.GetCtrlValS(p.MainPanel, M::RecordFileName), " ");
  module().blocks.push_back(acqtest::framesBlock(0x77, 20));
  tick();
  EXPECT_TRUE(running());
  EXPECT_EQ(fileText().size(), size);
}

TEST_F(Record, OpenAndWriteFailuresAreReportedOnceAndTheAcquisitionGoesOn) {
  setMain(M::ReadOutMode, 1);
  for (const std::string &bad : {dir.path().string(), std::string("/dev/full")}) {
    SCOPED_TRACE(bad);
    choose(bad);
    const int before = infoLines();
    startStop();
    for (int k = 0; k < 3; ++k) {
      module().blocks.push_back(acqtest::framesBlock(0x77, uint16_t(20 * k)));
      tick();
    }
    EXPECT_EQ(infoLines(), before + 1);
    EXPECT_NE(lastInfo().find("Record file " + bad + " cannot be"), std::string::npos)
        << lastInfo();
    EXPECT_NE(lastInfo().find("recording stopped"), std::string::npos);
    EXPECT_EQ(acq().WriteIntoFile, 0);
    EXPECT_EQ(acq().FileHandle, nullptr);
    EXPECT_TRUE(running());
    EXPECT_EQ(mainVal(M::ReadErrors), 0);
    startStop();
  }
}

TEST_F(Record, RawAndSingleValueBlocks) {
  choose(path);
  setMain(M::ReadOutMode, 3);
  // Chosen but not opened: the SINGLE_VALUE table names its file and is appended all the same.
  Bytes single(606, 0);
  acqtest::putWord(single, 2, 3 << 13);  // first triplet at word 4
  acqtest::putWord(single, 4, 0x0205), acqtest::putWord(single, 5, 0x6ABC);
  module().blocks.push_back(single);
  acq().ReadData__(p.MainPanel, M::ReadOnce, rt::EVENT_COMMIT);
  auto l = lines(fileText());
  ASSERT_EQ(l.size(), 99u);
  EXPECT_EQ(l[0], "         0         5      2748");

  // RAWDATA: words past the delivered bytes are zero, never the previous block's.
  setMain(M::ReadOutMode, 0);
  startStop();
  module().blocks.push_back(Bytes(1000, 0xFF));
  tick();
  module().blocks.push_back({0x01, 0x00, 0x02});
  tick();
  startStop();
  l = lines(fileText());
  ASSERT_EQ(l.size(), 99u + 5 + 1 + 2);
  EXPECT_EQ(l[105], "0.000000  " + repeat("65535 ", 99));
  EXPECT_EQ(l[106], "0.000000  1 2 " + repeat("0 ", 97));
}

// ---------------------------------------------------------------- on the simulated bench

TEST(RecordOnSim, FramesRunReadBackMatchesTheCardAndTheCurrents) {
  ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << "no simulated bench";
  void *lib = dlopen(testenv::simLibrary().c_str(), RTLD_NOW);
  ASSERT_NE(lib, nullptr);
  auto inspect = reinterpret_cast<QuickUsbSimInspect_t>(dlsym(lib, "QuickUsbSimInspect"));
  ASSERT_NE(inspect, nullptr);
  testenv::TempDir dir;
  rt::VirtualClock clock;
  app::Bench bench(
      clock, app::BenchOptions{testenv::uiDir(), testenv::simLibrary(), "", dir.file("s.ini")});
  bench.StartUp();
  ASSERT_EQ(bench.usb.NbrQuickUSBConnected, 1);
  acqtest::Popups popups;
  bench.rt.setOperator(&popups);
  const int m = bench.panels.MainPanel, o = bench.panels.OptionsPanel;
  // Channel n on n x 100 uA: 20 n counts per 40 us frame.
  for (int ch = 0; ch < 8; ++ch)
    for (auto [c, v] : {std::pair{O::SourceSelA[ch], 7},
                        {O::SourceSelB[ch], 1},
                        {O::SourceValue[ch], 100 * (ch + 1)},
                        {O::SourceOn[ch], 0}})
      bench.rt.SetCtrlVal(o, c, v);
  bench.rt.SetCtrlVal(o, O::LinkSources, 0);
  bench.config.UpdateFPGAConfigFromOptionPanel();
  const std::string path = dir.file("frames.txt");
  popups.choices.push_back(path);
  bench.rt.Commit(m, M::RecordFile);
  bench.rt.SetCtrlVal(m, M::ReadOutMode, 1);
  bench.rt.Commit(m, M::ReadOutMode);
  bench.rt.Commit(m, M::StartStop);
  bench.rt.RunUntil(clock.now() + 1.0);
  bench.rt.Commit(m, M::StartStop);

  QuickUsbSimState s{};
  s.size = sizeof s;
  ASSERT_TRUE(inspect(&s));
  for (int ch = 0; ch < 8; ++ch)
    ASSERT_NEAR(s.currentAmps[ch], 100e-6 * (ch + 1), 2e-6 * (ch + 1)) << ch;
  const auto l = lines(testenv::readFile(path));
  ASSERT_GT(l.size(), 9u + 45);
  EXPECT_EQ(l[5], "MODE OF OPERATION : FRAMES");
  double previous = 0;
  for (size_t k = 9; k < l.size(); ++k) {
    SCOPED_TRACE(l[k]);
    std::istringstream in(l[k]);
    double t = 0;
    int v[27];
    in >> t;
    for (int &x : v) in >> x;
    ASSERT_TRUE(in && in.eof());
    EXPECT_NEAR(t - previous, 0.02, 0.002);
    previous = t;
    for (int ch = 0; ch < 8; ++ch) {
      EXPECT_NEAR(v[2 * ch], s.currentAmps[ch] * 40e-6 / 200e-12, 1.0) << ch;
      EXPECT_EQ(v[16 + ch], s.dac[ch]);
    }
    EXPECT_EQ(l[k].substr(l[k].size() - 5), " 0317");
  }
}

}  // namespace
