// The program's own measurement steps (10 pA, 200 counts, calibration) and linearity test on
// the simulated bench, run through the bench start and the sequencer in virtual time, with an
// operator who stops the bias wait once every period verdict is in and gives up a channel that
// never reaches its count window. The report the program wrote is read back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "support/functest_rig.h"

namespace {

namespace B = ctl::TabBData;
namespace SL = ctl::TabSlope;
using testenv::FunctionalRig;

// A result line's check without its figures: "(...)" groups and what follows the last " : "
// taken off, blanks collapsed ("Min reach     CH4 : 2880 " -> "Min reach CH4").
std::string key(std::string check) {
  check = std::regex_replace(check, std::regex(R"(\([^)]*\))"), "");
  const size_t colon = check.rfind(" : ");
  if (colon != std::string::npos) check.resize(colon);
  check = std::regex_replace(check, std::regex(" +"), " ");
  while (!check.empty() && check.back() == ' ') check.pop_back();
  return check;
}

std::multiset<std::string> keys(const std::multiset<std::string> &checks) {
  std::multiset<std::string> k;
  for (const std::string &c : checks) k.insert(key(c));
  return k;
}

// The rows of the linearity table appended to the report.
std::vector<std::string> linearityRows(const std::vector<std::string> &report) {
  std::vector<std::string> rows;
  bool in = false;
  int dashes = 0;
  for (const std::string &l : report) {
    if (l == "Linearity test result structure") in = true, dashes = 0;
    if (!in) continue;
    if (l == std::string(60, '-')) {
      if (++dashes == 3) in = false;
      continue;
    }
    if (dashes == 2) rows.push_back(l);
  }
  return rows;
}

class MeasurementSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << "no simulated bench";
  }
  static void enableMeasurements(FunctionalRig &r) {
    r.scanBarcodes();
    r.enableOnly({B::Enable10pA, B::Enable200Counts, B::EnableCalibrate, B::EnableSaveDacValues,
                  B::EnableLinearity});
  }
};

// The good board: every line passes, the linearity table holds the file's 20 lines.
TEST_F(MeasurementSteps, GoodBoardPassesEveryMeasurementLine) {
  FunctionalRig r("good");
  enableMeasurements(r);
  const auto wall0 = std::chrono::steady_clock::now();
  const double bench0 = r.clock.now();
  r.startBench();
  ASSERT_TRUE(r.runToEnd(3000.0));
  const double benchSeconds = r.clock.now() - bench0;
  const double wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  std::printf("[figures] measurement run on the good board: %.1f s bench time, %.2f s wall time\n",
              benchSeconds, wallSeconds);

  EXPECT_EQ(r.rt().GetCtrlValS(r.p.TestCFCPanel, ctl::Test::StepTitle), "END OF TEST");
  EXPECT_EQ(r.failedChecks(), std::multiset<std::string>{});
  EXPECT_EQ(r.actions(), std::vector<std::string>{"10 pA wait stopped: every channel stable"});
  // 10 pA: 8 periods, 8 currents, 32 ADC checks; 200 counts: 8; calibration: 48 + 8; linearity:
  // the final line.
  const auto passed = r.passedChecks();
  EXPECT_EQ(passed.size(), 48u + 8u + 56u + 1u);
  EXPECT_EQ(passed.count("LINEARITY COMPLETE TEST "), 1u);
  const auto k = keys(passed);
  for (int c = 1; c <= 8; ++c) {
    const std::string n = std::to_string(c);
    EXPECT_EQ(k.count("CALIBRATION 200 Counts CH" + n), 2u) << c;
    EXPECT_EQ(k.count("MESUREMENT Offset current CH" + n), 1u) << c;
    EXPECT_EQ(k.count("CALIBRATION Offset current CH" + n), 1u) << c;
    EXPECT_EQ(k.count("Offset current calc CH" + n), 2u) << c;
  }
  // The table: the file's 20 lines, each the current and eight sums in "%e".
  const auto rows = linearityRows(r.reportLines());
  ASSERT_EQ(rows.size(), 20u);
  const std::regex row(R"(-?\d\.\d{6}e[+-]\d{2}( -?\d\.\d{6}e[+-]\d{2}){8})");
  for (const std::string &l : rows) EXPECT_TRUE(std::regex_match(l, row)) << l;
  EXPECT_EQ(rows[0].substr(0, 12), "1.000000e-03");
  EXPECT_EQ(rows[9].substr(0, 12), "1.000000e-11");
  EXPECT_EQ(rows[19].substr(0, 12), "5.000000e-07");
  // Left behind: every channel on the bias setup, the acquisition running in SUMS at 1.5 s.
  for (const rt::Ctl &ring : ctl::Test::CurrentSelect)
    EXPECT_EQ(r.rt().GetCtrlValI(r.p.TestCFCPanel, ring), 9);
  EXPECT_EQ(r.rt().GetCtrlValI(r.p.MainPanel, ctl::Main::ReadOutMode), 2);
}

// A channel without input current fails exactly its lines of these steps; its 200-counts waits
// end by the operator's skip.
TEST_F(MeasurementSteps, DeadChannelFailsChannelFourOnly) {
  FunctionalRig r("dead_channel");
  enableMeasurements(r);
  r.policy().biasSeconds = 90.0;
  const auto wall0 = std::chrono::steady_clock::now();
  const double bench0 = r.clock.now();
  r.startBench();
  ASSERT_TRUE(r.runToEnd(4000.0));
  std::printf(
      "[figures] measurement run on the dead channel: %.1f s bench time, %.2f s wall time\n",
      r.clock.now() - bench0,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count());
  std::multiset<std::string> expected = {"MESUREMENT Offset current CH4",
                                         "CALIBRATION Offset current CH4",
                                         "Offset current calc CH4",
                                         "Offset current calc CH4",
                                         "Min reach CH4",
                                         "Min reach CH4",
                                         "Max reach CH4",
                                         "Max reach CH4",
                                         "CALIBRATION 200 Counts CH4",
                                         "CALIBRATION 200 Counts CH4",
                                         "LINEARITY COMPLETE TEST"};
  for (int line = 1; line <= 20; ++line)
    expected.insert("LINEARITY : Mesure line " + std::to_string(line) + " OutOfRange CH4");
  EXPECT_EQ(keys(r.failedChecks()), expected);
  EXPECT_EQ(r.actions(),
            (std::vector<std::string>{"10 pA wait given up after 90 s",
                                      "channel 4 skipped after 30 s without its count",
                                      "calibration bias wait given up after 90 s",
                                      "channel 4 skipped after 30 s without its count"}));
  EXPECT_EQ(r.rt().GetCtrlValS(r.p.TestCFCPanel, ctl::Test::StepTitle), "END OF TEST");
  EXPECT_EQ(linearityRows(r.reportLines()).size(), 20u);
}

// Figures of a previous board and a stop left pressed do not reach the next run: the dead
// channel shows nothing measured, and the wait is not ended by the old stop.
TEST_F(MeasurementSteps, NothingOfThePreviousBoardSurvivesTheStart) {
  FunctionalRig r("dead_channel");
  r.scanBarcodes();
  r.enableOnly({B::Enable10pA});
  auto &means = r.test().state.means;
  for (int c = 0; c < 8; ++c) {
    means.PERIODE_MEAN[c] = means.ADC_STAT_PERIODE_OLD[c] = 20.0f;
    means.Current10pA[c] = 10.0f;
  }
  r.commit(r.p.TabSlope, SL::StopMeasure);  // pressed while no test runs
  EXPECT_EQ(r.rt().GetCtrlValI(r.p.TabSlope, SL::StopRequest), 1);
  r.policy().biasSeconds = 90.0;
  r.startBench();
  ASSERT_TRUE(r.runToEnd(400.0));
  EXPECT_EQ(r.actions(), std::vector<std::string>{"10 pA wait given up after 90 s"})
      << "the old stop ended the wait";
  const auto failed = r.failedChecks();
  EXPECT_EQ(failed.count("MESUREMENT Offset current CH4 : 0.00 [s]"), 1u);
  EXPECT_EQ(failed.count("Offset current calc CH4 : 0.00 [pA]"), 1u);
}

// Boards made for the bias and count checks fail exactly their lines; the 8 pA channel (a 25 s
// period) fails the calibration whenever the bench starts, even where its first, partial
// period after start-up would lie in range.
TEST_F(MeasurementSteps, BoardsMadeForTheChecksFailTheirLines) {
  const char *offset8pA =
      R"("channels": {"offsetCurrentPa": [10.05, 9.93, 8.0, 9.88, 10.02, 9.97, 10.08, 9.95]})";
  const struct {
    const char *board;
    rt::Ctl step;
    std::multiset<std::string> failed;
    double start;
  } cases[] = {
      {offset8pA,
       B::Enable10pA,
       {"MESUREMENT Offset current CH3", "Offset current calc CH3"},
       60.0},
      {offset8pA,
       B::EnableCalibrate,
       {"CALIBRATION Offset current CH3", "Offset current calc CH3"},
       0.0},
      {offset8pA,
       B::EnableCalibrate,
       {"CALIBRATION Offset current CH3", "Offset current calc CH3"},
       2.0},
      {offset8pA,
       B::EnableCalibrate,
       {"CALIBRATION Offset current CH3", "Offset current calc CH3"},
       5.0},
      {offset8pA,
       B::EnableCalibrate,
       {"CALIBRATION Offset current CH3", "Offset current calc CH3"},
       37.0},
      {R"("channels": {"adcTop": [3952, 3947, 3955, 3949, 3950, 3850, 3958, 3951]})",
       B::Enable10pA,
       {"Max reach CH6"},
       60.0},
      {R"("channels": {"adcNoise": 30})",
       B::Enable10pA,
       {"Discontinuity CH1", "Discontinuity CH2", "Discontinuity CH3", "Discontinuity CH4",
        "Discontinuity CH5", "Discontinuity CH6", "Discontinuity CH7", "Discontinuity CH8"},
       60.0},
      {R"("channels": {"sourceGain": [1.0012, 0.97, 1.0004, 0.9986, 1.0017, 0.9995, 1.0008, 0.9983]})",
       B::Enable200Counts,
       {"CALIBRATION 200 Counts CH2"},
       60.0},
  };
  testenv::TempDir dir;
  for (const auto &k : cases) {
    const std::string file = dir.file("made.json");
    testenv::writeFile(file, std::string(R"({"name": "made", )") + k.board + "}");
    FunctionalRig r(file, k.start);
    r.scanBarcodes();
    r.enableOnly({k.step});
    r.policy().biasSeconds = 120.0;
    r.startBench();
    ASSERT_TRUE(r.runToEnd(1000.0)) << k.board;
    EXPECT_EQ(keys(r.failedChecks()), k.failed) << k.board << " started after " << k.start;
  }
}

// The read-out switch of the test panel starts and stops the FRAMES read-out and ends
// recording.
TEST_F(MeasurementSteps, ReadOutSwitchTogglesTheFramesReadOut) {
  FunctionalRig r("good");
  const int m = r.p.MainPanel;
  auto acqOn = [&] { return r.rt().GetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED); };
  ASSERT_EQ(acqOn(), 0);
  r.bench->acq.WriteIntoFile = 1;
  r.bench->acq.ADC_MIN[3] = 17;
  r.commit(r.p.TestCFCPanel, ctl::Test::ReadOut);
  EXPECT_EQ(acqOn(), 1);
  EXPECT_EQ(r.rt().GetCtrlAttribute(r.p.TabBData, B::RefreshTimer, rt::ATTR_ENABLED), 0);
  EXPECT_EQ(r.rt().GetCtrlAttribute(m, ctl::Main::ReadOutMode, rt::ATTR_DIMMED), 1);
  EXPECT_EQ(r.rt().GetCtrlValI(m, ctl::Main::ReadOutMode), 1);
  EXPECT_EQ(r.bench->acq.WriteIntoFile, 0);
  EXPECT_EQ(r.bench->acq.ADC_MIN[3], 4095);
  r.runFor(1.0);
  r.commit(r.p.TestCFCPanel, ctl::Test::ReadOut);
  EXPECT_EQ(acqOn(), 0);
  EXPECT_EQ(r.rt().GetCtrlAttribute(r.p.TabBData, B::RefreshTimer, rt::ATTR_ENABLED), 1);
  EXPECT_EQ(r.rt().GetCtrlAttribute(m, ctl::Main::ReadOutMode, rt::ATTR_DIMMED), 0);
}

}  // namespace
