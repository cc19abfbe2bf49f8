// The functional test through the program on the simulated bench, in virtual time.
//
// The matrix: every board of data/sim states in its "expect" field what the full bench run (all
// fifteen steps) and the tunnel run must give on it, the failing result lines of each step by
// check text; the run must reach END OF TEST, and fail exactly those lines. Then what the full
// run measures on the good board (read from the structured record), the whole test at other
// start times, and boards made for the checks that no shipped defect aims at.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "support/expectations.h"
#include "support/functest_rig.h"

namespace {

namespace B = ctl::TabBData;
namespace T = ctl::Test;
using nlohmann::json;
using testenv::collapse;
using testenv::compare;
using testenv::Expected;
using testenv::FunctionalRig;
using testenv::globMatch;
using testenv::readExpected;
using testenv::Undecided;

// The steps the tunnel start leaves switched on (with the panel's own defaults for the others).
const std::set<std::string> kTunnelSteps = {"MEASURE 10pA", "TEST CRC AND LOSTF",
                                            "TEST STATUS TEMP OTR DAC OVERFLOW", "SAVE DAC VALUES"};

// A started program on `board` with the barcodes scanned, its waits ended by the program's
// give-up policy.
struct BenchRun {
  explicit BenchRun(const std::string &board, double barcodeSeconds = 60.0)
      : rig(std::make_unique<FunctionalRig>(board, barcodeSeconds)) {
    rig->scanBarcodes();
  }
  // Runs to the end: true when the sequence reached END OF TEST.
  bool toEnd(double limit = 20000.0) {
    const bool stopped = rig->runToEnd(limit);
    return stopped && rig->rt().GetCtrlValS(rig->p.TestCFCPanel, T::StepTitle) == "END OF TEST";
  }
  std::unique_ptr<FunctionalRig> rig;
};

// The full bench run: every step switch on, the bench start.
std::unique_ptr<BenchRun> fullBenchRun(const std::string &board, double barcodeSeconds = 60.0) {
  auto run = std::make_unique<BenchRun>(board, barcodeSeconds);
  for (rt::Ctl s : testenv::AllStepSwitches()) run->rig->set(run->rig->p.TabBData, s, 1);
  run->rig->startBench();
  return run;
}

std::vector<std::string> boardFiles() {
  std::vector<std::string> names;
  for (const auto &f : std::filesystem::directory_iterator(testenv::sourceDir() + "/data/sim"))
    if (f.path().extension() == ".json") names.push_back(f.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string boardPath(const std::string &name) {
  return testenv::sourceDir() + "/data/sim/" + name + ".json";
}

// The simulated bench took the board (a refused file leaves the good board and says so).
void expectBoardTaken(FunctionalRig &r, const std::string &path) {
  const int lines = r.rt().GetNumTextBoxLines(r.p.MainPanel, ctl::Main::InfoBox);
  for (int k = 0; k < lines; ++k)
    EXPECT_EQ(r.rt().GetTextBoxLine(r.p.MainPanel, ctl::Main::InfoBox, k).find(path),
              std::string::npos)
        << r.rt().GetTextBoxLine(r.p.MainPanel, ctl::Main::InfoBox, k);
}

class BoardMatrix : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << testenv::simLibrary();
    const json file = json::parse(testenv::readFile(boardPath(GetParam())));
    ASSERT_TRUE(file.contains("expect")) << GetParam() << " states no expectation";
    expect = file["expect"];
    ASSERT_TRUE(expect.contains("bench")) << GetParam();
    if (expect.contains("undecided"))
      for (const json &step : expect["undecided"]) undecided.insert(step.get<std::string>());
  }
  json expect;
  Undecided undecided;
};

TEST_P(BoardMatrix, FullBenchRunFailsExactlyTheExpectedLines) {
  const auto run = fullBenchRun(boardPath(GetParam()));
  expectBoardTaken(*run->rig, boardPath(GetParam()));
  ASSERT_TRUE(run->toEnd()) << GetParam() << " never reached END OF TEST, stuck in "
                            << run->rig->rt().GetCtrlValS(run->rig->p.TestCFCPanel, T::StepTitle);
  const std::vector<json> rec = run->rig->record();
  const Expected expected = readExpected(expect["bench"]);
  EXPECT_EQ(compare(rec, expected, undecided), "") << GetParam();
  size_t lines = 0;
  for (const auto &[step, l] : expected) lines += l.size();
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(rec.back()["type"], "end");
  EXPECT_EQ(rec.back()["verdict"], lines == 0 ? "PASSED" : "FAILED");
  EXPECT_EQ(rec.back()["how"], "ended");
}

// The tunnel run: its own steps only; unless the board says otherwise it fails the lines that
// the full run fails in those steps.
TEST_P(BoardMatrix, TunnelRunFailsExactlyTheExpectedLines) {
  BenchRun run(boardPath(GetParam()));
  run.rig->startTunnel();
  ASSERT_TRUE(run.toEnd()) << GetParam();
  Expected expected;
  if (expect.contains("tunnel")) {
    expected = readExpected(expect["tunnel"]);
  } else {
    for (const auto &[step, lines] : readExpected(expect["bench"]))
      if (kTunnelSteps.count(step)) expected[step] = lines;
  }
  const std::vector<json> rec = run.rig->record();
  EXPECT_EQ(compare(rec, expected, undecided), "") << GetParam();
  std::set<std::string> steps;
  for (const json &r : rec)
    if (r["type"] == "step") steps.insert(r["title"].get<std::string>());
  // A run that loses its module ends in the step it was in; any other runs the tunnel's steps.
  if (expect.contains("anywhere"))
    EXPECT_TRUE(
        std::includes(kTunnelSteps.begin(), kTunnelSteps.end(), steps.begin(), steps.end()));
  else
    EXPECT_EQ(steps, kTunnelSteps);
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardMatrix, ::testing::ValuesIn(boardFiles()),
                         [](const auto &info) { return info.param; });

// The comparison itself: a line failed that no expectation names, and an expected line that
// passed, are both told; '*' stands for the figures.
TEST(BoardMatrixCompare, TellsBothWaysOfDisagreeing) {
  auto result = [](const char *step, const char *check, bool passed) {
    return json{{"type", "result"}, {"step", step}, {"check", check}, {"passed", passed}};
  };
  const std::vector<json> rec = {
      result("TEST CRC AND LOSTF", "CRC ERROR : ON FIBER A = 5.000000 SKIPED BY USER", false),
      result("TEST CRC AND LOSTF", "LOSTF FIBER A CORRECT", true),
      result("TEST HV LEVELS", "Status HVPresentUp      @ 0.000000 Limit: 3.084000", false)};
  Expected e = {{"TEST CRC AND LOSTF", {"CRC ERROR : ON FIBER A = * SKIPED BY USER"}},
                {"TEST HV LEVELS", {"Status HVPresentUp @ * Limit: 3.084000"}}};
  EXPECT_EQ(compare(rec, e), "");
  e["TEST CRC AND LOSTF"].push_back("LOSTF FIBER A CORRECT");
  e["TEST HV LEVELS"].clear();
  EXPECT_EQ(compare(rec, e),
            "  fails a line it should pass: [TEST HV LEVELS] Status HVPresentUp @ 0.000000 Limit: "
            "3.084000\n"
            "  passes a line it should fail: [TEST CRC AND LOSTF] LOSTF FIBER A CORRECT\n");
  // A line expected in another step does not count.
  EXPECT_NE(compare(rec, {{"TEST HV LEVELS",
                           {"CRC ERROR : ON FIBER A = * SKIPED BY USER",
                            "Status HVPresentUp @ * Limit: 3.084000"}}}),
            "");
}

// ------------------------------------------------------------ the full run on the good board

// The result lines of `step` whose collapsed check text begins with `prefix`.
std::vector<json> results(const std::vector<json> &rec, const std::string &step,
                          const std::string &prefix = "") {
  std::vector<json> out;
  for (const json &r : rec)
    if (r["type"] == "result" && r["step"] == step && collapse(r["check"]).rfind(prefix, 0) == 0)
      out.push_back(r);
  return out;
}

double stepClock(const std::vector<json> &rec, const std::string &title) {
  for (const json &r : rec)
    if (r["type"] == "step" && r["title"] == title) return r["clock"].get<double>();
  ADD_FAILURE() << "no step " << title;
  return 0;
}

class GoodBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << testenv::simLibrary();
  }
};

// What the full run measures on the good board, read from the structured record: every step's
// verdicts taken, the figures each step decided on.
TEST_F(GoodBoard, FullRunFiguresFromTheRecord) {
  const auto run = fullBenchRun("good");
  ASSERT_TRUE(run->toEnd());
  EXPECT_EQ(run->rig->actions(),
            (std::vector<std::string>{"10 pA wait stopped: every channel stable",
                                      "long-time check ended after 60 s"}));
  EXPECT_EQ(run->rig->bench->acq.ReadErrorCount, 0);
  const std::vector<json> rec = run->rig->record();
  const std::map<std::string, size_t> verdicts = {{"MEASURE 10pA", 48},
                                                  {"MEASURE 200 COUNTS", 8},
                                                  {"TEST CRC AND LOSTF", 4},
                                                  {"TEST STATUS TEMP OTR DAC OVERFLOW", 6},
                                                  {"TEST STATUS POWER SUPPLIES", 6},
                                                  {"TEST HV LEVELS", 20},
                                                  {"CALIBRATE CFC", 56},
                                                  {"TEST LINEARITY", 1},
                                                  {"TEST STATUS INTEGRATOR LEVEL", 16},
                                                  {"TEST STATUS CFC ERROR", 16},
                                                  {"TEST CFC TEST MODE", 11},
                                                  {"TEST OTR REST", 11},
                                                  {"TEST DACs Counters and DAC RESET", 14},
                                                  {"Long time CRC and LostFrame check", 7}};
  for (const auto &[step, n] : verdicts) EXPECT_EQ(results(rec, step).size(), n) << step;
  for (const json &r : rec) {
    if (r["type"] == "result") {
      EXPECT_TRUE(r["passed"]) << r["check"];
    }
  }

  auto values = [&](const std::string &step, const std::string &prefix) {
    std::vector<double> v;
    for (const json &r : results(rec, step, prefix)) v.push_back(r["value"].get<double>());
    EXPECT_FALSE(v.empty()) << step << ": " << prefix;
    return v;
  };
  auto shown = [&](const std::string &step, const std::string &prefix) {
    std::vector<double> v;
    for (const json &r : results(rec, step, prefix)) v.push_back(r["shown"]["value"].get<double>());
    EXPECT_FALSE(v.empty()) << step << ": " << prefix;
    return v;
  };
  // Bias: about 20 s periods and 10 pA, in both steps that measure them. The report shows the
  // mean period and its current; the 10 pA verdict is the run of calls with the mean in range,
  // the calibration's the newest whole period.
  for (double p : shown("MEASURE 10pA", "MESUREMENT Offset current CH")) EXPECT_NEAR(p, 20.0, 0.5);
  for (double p : shown("CALIBRATE CFC", "CALIBRATION Offset current CH"))
    EXPECT_NEAR(p, 20.0, 0.5);
  for (const char *step : {"MEASURE 10pA", "CALIBRATE CFC"})
    for (double i : shown(step, "Offset current calc CH")) EXPECT_NEAR(i, 10.0, 0.25);
  for (const json &r : results(rec, "MEASURE 10pA", "MESUREMENT Offset current CH")) {
    EXPECT_GE(r["value"].get<double>(), 50.0);
    EXPECT_EQ(r["low"], 50.0);
    EXPECT_EQ(r["unit"], "calls");
  }
  for (const json &r : results(rec, "CALIBRATE CFC", "Offset current calc CH")) {
    EXPECT_NEAR(r["value"].get<double>(), 20.0, 0.5);
    EXPECT_EQ(r["basis"], "newest whole period of the step");
    EXPECT_EQ(r["low"], 5.0);
    EXPECT_EQ(r["high"], 22.0);
  }
  // The ADC checks with the slope page's limits as the panel file sets them.
  for (const json &r : results(rec, "MEASURE 10pA", "Min reach CH")) EXPECT_EQ(r["high"], 200.0);
  for (const json &r : results(rec, "MEASURE 10pA", "Max reach CH")) EXPECT_EQ(r["low"], 3900.0);
  // 200 counts a frame: within a count in the first step, in 199..201 in the calibration.
  for (double c : values("MEASURE 200 COUNTS", "CALIBRATION 200 Counts CH"))
    EXPECT_NEAR(c, 200.0, 1.0);
  for (double c : values("CALIBRATE CFC", "CALIBRATION 200 Counts CH")) {
    EXPECT_GE(c, 199.0);
    EXPECT_LE(c, 201.0);
  }
  // Fibres: rates exactly 0.
  for (const json &r : results(rec, "TEST CRC AND LOSTF")) EXPECT_EQ(r["value"], 0.0) << r["check"];
  // Modes: entered after 90 s (seen through the 1 s acquisition), the 100 pA test current adds
  // 10 or 11 counts to the 20 s sums, released as soon as the levels are back.
  EXPECT_NEAR(values("TEST CFC TEST MODE", "TEST CFC : Entered in Test_Cfc").at(0), 91.0, 1.01);
  EXPECT_NEAR(values("TEST OTR REST", "OTR RESET RECEIVED entered").at(0), 91.0, 1.01);
  for (double d : values("TEST CFC TEST MODE", "TEST CFC : Rsum diff")) EXPECT_NEAR(d, 10.5, 2.0);
  for (double d : values("TEST OTR REST", "OTR RESET : Rsum diff")) EXPECT_NEAR(d, 10.5, 2.0);
  const auto clockOf = [&](const std::string &step, const std::string &prefix) {
    const auto r = results(rec, step, prefix);
    return r.empty() ? -1e9 : r.front()["clock"].get<double>();
  };
  EXPECT_LE(clockOf("TEST CFC TEST MODE", "STATUS_TEST_CFC_ON : CORRECT RELEASE") -
                clockOf("TEST CFC TEST MODE", "STATUS_TEST_CFC_ON : STILL ON"),
            2.0);
  // CFC error: 100 s after the counts stopped, in the integrator-level step before it.
  const double cfcError = clockOf("TEST STATUS CFC ERROR",
                                  "STATUS CFC ERROR (100 SEC ERROR) "
                                  "CHANNEL 1 : ERROR STATE") -
                          stepClock(rec, "TEST STATUS CFC ERROR");
  EXPECT_GT(cfcError, 80.0);
  EXPECT_LT(cfcError, 101.6);  // the counts stop on the step's second call
  // DAC counters: the reset mode after 90 s, then one step every 20.97 s from 0 to 255.
  const std::string dac = "TEST DACs Counters and DAC RESET";
  EXPECT_NEAR(clockOf(dac, "TEST DAC COUNTER : RESET DAC COMMAND RECEIVED") - stepClock(rec, dac),
              91.0, 1.6);
  const double watch = clockOf(dac, "DAC COUNTER : CORRECT RESET");
  EXPECT_EQ(results(rec, dac, "STATUS DAC_OVER_155").size(), 8u);
  EXPECT_NEAR(clockOf(dac, "STATUS DAC_OVER_155") - watch, 156 * 20.97152, 21.0);
  EXPECT_NEAR(clockOf(dac, "STATUS DAC_OVERFLOW") - watch, 255 * 20.97152, 21.0);
  int progress = 0;
  for (const std::string &l : run->rig->reportLines()) progress += l.rfind("DAC TEST : ", 0) == 0;
  EXPECT_EQ(progress, 255);
  // The whole run: about 6,600 s of bench time.
  EXPECT_GT(rec.back()["clock"].get<double>() - stepClock(rec, "MEASURE 10pA"), 6000.0);
}

// The whole test started at other moments after the program's start: the reads, the resets
// and the rate intervals fall elsewhere, the verdicts stay. (Started within 22 s of the program,
// the first period timed from the clock's origin lies in range and the 10 pA means take two
// minutes to settle.)
TEST_F(GoodBoard, PassesWhateverTheStartTime) {
  for (double start : {0.0, 11.7}) {
    const auto run = fullBenchRun("good", start);
    ASSERT_TRUE(run->toEnd()) << start;
    const std::vector<json> rec = run->rig->record();
    EXPECT_EQ(compare(rec, {}), "") << start;
    EXPECT_EQ(results(rec, "TEST DACs Counters and DAC RESET", "STATUS DAC_OVERFLOW").size(), 1u);
  }
}

// The fibre boards count what they are made to: about 5 CRC errors a second on fibre A, half a
// lost frame a second on fibre B, in the rate check and over the minute of the long check.
TEST_F(GoodBoard, FibreDefectsMeasureTheirRates) {
  const struct {
    const char *board, *rate, *growth;
    double perSecond;
  } cases[] = {{"crc_fibre_a", "CRC ERROR : ON FIBER A", "CRC Errors A", 5.0},
               {"lost_fibre_b", "LOSTF ERROR : FIBER B", "LOSTF Errors B", 0.5}};
  for (const auto &k : cases) {
    BenchRun run(boardPath(k.board));
    run.rig->enableOnly({B::EnableCrcLostFrame, B::EnableLongTimeCrc});
    run.rig->startBench();
    ASSERT_TRUE(run.toEnd()) << k.board;
    const std::vector<json> rec = run.rig->record();
    const auto rate = results(rec, "TEST CRC AND LOSTF", k.rate);
    const auto growth = results(rec, "Long time CRC and LostFrame check", k.growth);
    ASSERT_EQ(rate.size(), 1u) << k.board;
    ASSERT_EQ(growth.size(), 1u) << k.board;
    if (k.perSecond >= 1.0) {
      EXPECT_NEAR(rate[0]["value"].get<double>(), k.perSecond, 0.5);
    }
    EXPECT_GT(rate[0]["value"].get<double>(), 0.0);
    EXPECT_NEAR(growth[0]["value"].get<double>(), k.perSecond * 60.0, k.perSecond * 3.0 + 1.5);
  }
}

// On the board whose level line never comes back, the linearity step has already over-driven
// channels 5..8 for a moment (between lines 2 and 3 the new source value lands before the
// parking selector): the integrator-level step finds channel 7 low at once and ends after its
// first phase, with no out-of-range lines.
TEST_F(GoodBoard, LevelNeverBackEndsTheIntegratorLevelStepAfterItsFirstPhase) {
  const auto run = fullBenchRun(boardPath("level_never_back"));
  ASSERT_TRUE(run->toEnd());
  const std::vector<json> rec = run->rig->record();
  EXPECT_EQ(results(rec, "TEST STATUS INTEGRATOR LEVEL").size(), 8u);
  EXPECT_TRUE(results(rec, "TEST STATUS INTEGRATOR LEVEL", "STATUS INTEGRATOR LEVEL CHANNEL 7: NO")
                  .empty());
}

// ------------------------------------------------------------------ boards made for one check

// Writes a board of `fields` over the good board and runs the steps switched on.
std::vector<json> madeBoardRun(const testenv::TempDir &dir, const std::string &fields,
                               const std::vector<rt::Ctl> &steps, bool *ended = nullptr,
                               double limit = 20000.0) {
  const std::string file = dir.file("made.json");
  testenv::writeFile(file, R"({"name": "made", )" + fields + "}");
  BenchRun run(file);
  expectBoardTaken(*run.rig, file);
  run.rig->enableOnly({});
  for (rt::Ctl step : steps) run.rig->set(run.rig->p.TabBData, step, 1);
  run.rig->startBench();
  const bool end = run.toEnd(limit);
  if (ended) *ended = end;
  return run.rig->record();
}

// The checks that no shipped board aims at fail too, each on a board made for it, through the
// program's step.
TEST(MadeBoards, EachFailsItsCheckOnly) {
  const std::string reduced = "TEST STATUS POWER SUPPLIES WHEN VOLTAGE REDUCED (NO OK STATE) of ";
  const std::string tempOtr = "TEST STATUS TEMP OTR DAC OVERFLOW", hv = "TEST HV LEVELS",
                    crc = "TEST CRC AND LOSTF", longCrc = "Long time CRC and LostFrame check";
  std::vector<std::string> cfcErrors;
  for (int n = 1; n <= 8; ++n)
    cfcErrors.push_back("STATUS CFC ERROR (100 SEC ERROR) CHANNEL " + std::to_string(n) +
                        " : ERROR STATE");
  std::vector<std::string> minReach;
  for (int n = 1; n <= 8; ++n) minReach.push_back("Min reach CH" + std::to_string(n) + " : *");
  const struct {
    const char *fields;
    std::vector<rt::Ctl> steps;
    Expected failed;
  } cases[] = {
      {R"("status": {"temp2": false})",
       {B::EnableTempOtrDac},
       {{tempOtr, {"TEST STATUS TEMP_2 OK STATE"}}}},
      {R"("status": {"otr1": false})",
       {B::EnableTempOtrDac},
       {{tempOtr, {"TEST STATUS OTR_1 OK STATE"}}}},
      {R"("channels": {"initialDac": [37, 42, 40, 156, 44, 41, 38, 43]})",
       {B::EnableTempOtrDac},
       {{tempOtr, {"TEST STATUS DAC_OVER_155 OK STATE"}}}},
      {R"("channels": {"initialDac": [37, 42, 40, 39, 44, 41, 255, 43]})",
       {B::EnableTempOtrDac},
       {{tempOtr, {"TEST STATUS DAC_OVER_155 OK STATE", "TEST STATUS DAC_OVERFLOW OK STATE"}}}},
      {R"("status": {"p5vMonitor": false})",
       {B::EnablePowerSupplies},
       {{"TEST STATUS POWER SUPPLIES", {reduced + "P5V"}}}},
      {R"("status": {"p2v5Monitor": false})",
       {B::EnablePowerSupplies},
       {{"TEST STATUS POWER SUPPLIES", {reduced + "P2V5"}}}},
      {R"("comparators": {"hvPresent": {"up": 3.10, "down": 3.09}})",
       {B::EnableHvLevels},
       {{hv,
         {"Status HVPresentUp @ * Limit: 3.084000", "Status HVPresentDown @ * Limit: 3.084000"}}}},
      {R"("comparators": {"hvTestCfc": {"up": 3.46, "down": 3.515}})",
       {B::EnableHvLevels},
       {{hv,
         {"Status HVTestCFCUp @ * Limit (<5.7%): 3.426000",
          "Status HVTestCFCUp @ * Limit (<4.8%): 3.459000"}}}},
      {R"("comparators": {"hvOtrReset": {"up": 4.12, "down": 4.20}})",
       {B::EnableHvLevels},
       {{hv,
         {"Status HVOtrResetDown @ * Limit (<5.7%): 4.259000",
          "Status HVOtrResetDown @ * Limit (<4.8%): 4.214000"}}}},
      // Every switch point outside all its limits, each in the scan window after the previous.
      {R"("comparators": {"hvPresent": {"up": 3.10, "down": 3.095},
                          "hvTestCfc": {"up": 3.50, "down": 3.42},
                          "hvDacReset": {"up": 3.86, "down": 3.78},
                          "hvOtrReset": {"up": 4.23, "down": 4.17}})",
       {B::EnableHvLevels},
       {{hv, {"Status HVPresentUp @ *",    "Status HVPresentDown @ *",  "Status HVTestCFCUp @ *",
              "Status HVTestCFCUp @ *",    "Status HVTestCFCUp @ *",    "Status HVTestCFCDown @ *",
              "Status HVTestCFCDown @ *",  "Status HVTestCFCDown @ *",  "Status HVDacResetUp @ *",
              "Status HVDacResetUp @ *",   "Status HVDacResetUp @ *",   "Status HVDacResetDown @ *",
              "Status HVDacResetDown @ *", "Status HVDacResetDown @ *", "Status HVOtrResetUp @ *",
              "Status HVOtrResetUp @ *",   "Status HVOtrResetUp @ *",   "Status HVOtrResetDown @ *",
              "Status HVOtrResetDown @ *", "Status HVOtrResetDown @ *"}}}},
      {R"("fibres": {"crcB": 2})",
       {B::EnableCrcLostFrame, B::EnableLongTimeCrc},
       {{crc, {"CRC ERROR : ON FIBER B = * SKIPED BY USER"}}, {longCrc, {"CRC Errors B = *"}}}},
      {R"("fibres": {"lostA": 2})",
       {B::EnableCrcLostFrame, B::EnableLongTimeCrc},
       {{crc, {"LOSTF ERROR : FIBER A = * SKIPED BY USER"}}, {longCrc, {"LOSTF Errors A = *"}}}},
      {R"("fibres": {"errC": 1, "errD": 1, "errF": 1})",
       {B::EnableLongTimeCrc},
       {{longCrc, {"ERRC = *", "ERRD = *", "ERRF = *"}}}},
      {R"("modes": {"otrReset": false})",
       {B::EnableOtrReset},
       {{"TEST OTR REST",
         {"OTR RESET RECEIVED : Failed to enter in",
          "STATUS_RST_OTR_RECEIVED STILL ON AFTER FALLING OF OTR_RESET"}}}},
      // Without the DAC reset mode the step gives the reset up after its 130 s.
      {R"("modes": {"dacReset": false})",
       {B::EnableDacCounters},
       {{"TEST DACs Counters and DAC RESET", {"TEST DAC COUNTER : RESET DAC COMMAND RECEIVED"}}}},
      // An error line that comes late: after the step's 110 s.
      {R"("status": {"cfcErrorSeconds": 300})",
       {B::EnableCfcError},
       {{"TEST STATUS CFC ERROR", cfcErrors}}},
      // The ADC never falls below 200 at the bottom of a period.
      {R"("channels": {"adcSwing": 3500})", {B::Enable10pA}, {{"MEASURE 10pA", minReach}}},
  };
  testenv::TempDir dir;
  for (const auto &k : cases) {
    bool ended = false;
    const std::vector<json> rec = madeBoardRun(dir, k.fields, k.steps, &ended);
    EXPECT_TRUE(ended) << k.fields;
    EXPECT_EQ(compare(rec, k.failed), "") << k.fields;
  }
}

// Without a moment out of range before it, the integrator-level step passes on the board whose
// level line never comes back; its own reverse phase then latches channel 7 low, and the next
// run fails it.
TEST(MadeBoards, LevelThatNeverComesBackFailsTheNextIntegratorLevelRun) {
  for (const char *name : {"good", "level_never_back"}) {
    BenchRun run(boardPath(name));
    run.rig->enableOnly({B::EnableIntegratorLevel});
    run.rig->startBench();
    ASSERT_TRUE(run.toEnd(100.0)) << name;
    EXPECT_EQ(compare(run.rig->record(), {}), "") << name;
    run.rig->scanBarcodes();
    run.rig->startBench();
    ASSERT_TRUE(run.toEnd(100.0)) << name;
    Expected second;
    if (std::string(name) == "level_never_back")
      second["TEST STATUS INTEGRATOR LEVEL"] = {"STATUS INTEGRATOR LEVEL CHANNEL 7: OK STATE"};
    EXPECT_EQ(compare(run.rig->record(), second), "") << name;
  }
}

// A single rate interval (a little over 3 s) without a lost frame resets the step's smoothed
// rate to 0 and passes the check: the board loses frames often enough that this never happens,
// whenever the step starts and also after "Try Again ?" answered yes.
TEST(MadeBoards, LostFramesFailTheRateCheckWhateverTheStart) {
  for (int k = 0; k < 12; ++k) {
    const double start = 10.0 + 0.45 * k;
    BenchRun run(boardPath("lost_fibre_b"), start);
    if (k % 2) run.rig->op.answers.push_back(true);
    run.rig->enableOnly({B::EnableCrcLostFrame});
    run.rig->startBench();
    ASSERT_TRUE(run.toEnd(200.0)) << start;
    EXPECT_EQ(compare(run.rig->record(),
                      {{"TEST CRC AND LOSTF", {"LOSTF ERROR : FIBER B = * SKIPED BY USER"}}}),
              "")
        << "started after " << start << " s";
    EXPECT_TRUE(run.rig->op.answers.empty()) << "the retry was offered";
  }
}

// The module goes away at any moment of a run: the run ends at the next tick of the sequence
// with one line naming the module and the moment, FAILED, one pop-up, and nothing computed
// from anything but the board. Unplugged before the start, the start says the module is
// missing instead of comparing a device number.
TEST(MadeBoards, LostModuleEndsTheRunNamed) {
  testenv::TempDir dir;
  for (double unplug : {1.0, 5.0, 60.0, 120.0, 300.0, 3000.0}) {
    SCOPED_TRACE(unplug);
    const std::string file = dir.file("unplug.json");
    testenv::writeFile(file, R"({"name": "unplug", "module": {"unplugAfterSeconds": )" +
                                 std::to_string(unplug) + "}}");
    BenchRun run(file, 3.0);
    for (rt::Ctl s : testenv::AllStepSwitches()) run.rig->set(run.rig->p.TabBData, s, 1);
    run.rig->startBench();
    ASSERT_TRUE(run.rig->runToEnd(20000.0));
    auto &popups = run.rig->op.popups;
    if (unplug < 3.0) {
      ASSERT_EQ(popups.size(), 1u);
      EXPECT_EQ(popups[0].find("QuickUSB module QUSB-0 lost at 1.0"), 0u) << popups[0];
      continue;
    }
    const std::vector<json> rec = run.rig->record();
    ASSERT_FALSE(rec.empty());
    int lostLines = 0;
    for (const json &r : rec) {
      if (r["type"] != "result") continue;
      if (collapse(r["check"]).rfind("QUICKUSB MODULE LOST : QUSB-0 at ", 0) == 0) {
        ++lostLines;
        EXPECT_FALSE(r["passed"]);
        EXPECT_NEAR(r["clock"].get<double>(), unplug, 1.0);
      } else {
        EXPECT_LT(r["clock"].get<double>(), unplug + 0.1) << "a line after the loss";
        EXPECT_TRUE(r["passed"]) << r["check"];
      }
    }
    EXPECT_EQ(lostLines, 1);
    EXPECT_EQ(rec.back()["verdict"], "FAILED");
    EXPECT_EQ(rec.back()["reason"].get<std::string>().rfind("QuickUSB module QUSB-0 lost at ", 0),
              0u);
    ASSERT_EQ(popups.size(), 1u) << popups.back();
    EXPECT_EQ(popups[0].rfind("QuickUSB module lost: ", 0), 0u) << popups[0];
    ASSERT_EQ(run.rig->test().outcomes().size(), 1u);
    EXPECT_TRUE(run.rig->test().outcomes()[0].moduleLost);
  }
}

}  // namespace

// The program stays open all day: a good board tested again passes (its first run's DAC counter
// test left the counters at 255; the retest puts them back before its status lines are read, and
// says so in one line, which a first run never writes), and so does a whole run after one stopped
// at a seeded random moment or late in the DAC counter watch, above the 155 mark.
TEST_F(GoodBoard, RetestsInOneProgramPass) {
  const std::string kResetLine =
      "=> DAC counters left up to 255 by an earlier run: DAC reset before the status lines are "
      "read";
  auto resets = [](const std::vector<std::string> &lines, const std::string &l) {
    return std::count(lines.begin(), lines.end(), l);
  };
  const auto run = fullBenchRun("good");
  FunctionalRig &r = *run->rig;
  ASSERT_TRUE(run->toEnd());
  EXPECT_EQ(compare(r.record(), {}), "");
  EXPECT_EQ(resets(r.reportLines(), kResetLine), 0) << "a fresh board is graded as it comes";

  r.scanBarcodes();
  r.startBench();
  ASSERT_TRUE(run->toEnd());
  EXPECT_EQ(compare(r.record(), {}), "") << "the retest";
  EXPECT_EQ(resets(r.reportLines(), kResetLine), 1);

  std::mt19937 random(29);
  const double watchLate = 5500.0;  // the DAC watch past its 155 mark (3,252 s into it)
  for (double stopAt : {std::uniform_real_distribution<double>(1.0, 6600.0)(random), watchLate}) {
    r.scanBarcodes();
    r.startBench();
    r.runFor(stopAt);
    ASSERT_TRUE(r.sequencerRunning()) << stopAt;
    r.stop();
    r.scanBarcodes();
    r.startBench();
    ASSERT_TRUE(run->toEnd()) << "after a stop at " << stopAt << " s";
    EXPECT_EQ(compare(r.record(), {}), "") << "after a stop at " << stopAt << " s";
  }
}
