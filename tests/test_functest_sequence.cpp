// The functional test's framework through the program: the start and its refusals, report
// names, the sequencer's tick rule, the end with its fail copy, the stop, the structured record;
// and the steps without long physics on the good board and the defect boards they exist for.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "functest/dac_steps.h"
#include "functest/fibre_steps.h"
#include "functest/report.h"
#include "functest/status_steps.h"
#include "support/fake_bench.h"
#include "support/functest_rig.h"

namespace {

namespace B = ctl::TabBData;
namespace T = ctl::Test;
using functest::StepResult;
using testenv::FunctionalRig;
namespace fs = std::filesystem;

// A step whose answers the test writes: a list of (check, passed) lines on its first call, then
// `runningCalls` calls that answer Running, then Done.
class ScriptedStep : public functest::Step {
 public:
  StepResult call(functest::TestContext &t, bool first) override {
    ++calls;
    if (first) {
      firstCalls++;
      for (const auto &[check, passed] : lines) t.result(check, passed);
    }
    return calls > runningCalls ? StepResult::Done : StepResult::Running;
  }
  std::vector<std::pair<std::string, bool>> lines;
  int runningCalls = 0, calls = 0, firstCalls = 0;
};

std::vector<nlohmann::json> records(const std::string &path) {
  std::vector<nlohmann::json> out;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) out.push_back(nlohmann::json::parse(l));
  return out;
}

bool exists(const std::string &p) { return std::filesystem::exists(p); }

// The header and the identification block, line by line, as a run with every switch off leaves
// them: nothing else is in the report, and the sequence ends in its first tick.
TEST(FunctionalTest, AllSwitchesOffEndsInTheFirstTickWithHeaderAndIdentificationOnly) {
  FunctionalRig r("good");
  r.scanBarcodes();
  r.enableOnly({});
  r.rt().ResetTextBox(r.p.TabBData, B::Comments, "first comment\nsecond comment");
  r.rt().SetCtrlVal(r.p.TestCFCPanel, T::Clock, 0.0);
  r.startBench();
  ASSERT_TRUE(r.sequencerRunning());
  ASSERT_TRUE(r.runToEnd(0.6));
  EXPECT_EQ(r.rt().GetCtrlValD(r.p.TestCFCPanel, T::Clock), -0.5);
  EXPECT_EQ(r.rt().GetCtrlValS(r.p.TestCFCPanel, T::StepTitle), "END OF TEST");
  const std::string name = r.dir.file("bench_DN_317_0.txt");
  EXPECT_EQ(r.test().report.ReportFileName, name);
  const std::vector<std::string> lines = r.reportLines();
  ASSERT_EQ(lines.size(), 26u);
  const std::vector<std::string> expected = {
      name,
      "",
      "FUNCTIONAL TEST OF THE TUNNEL ACQUISITION BOARD FOR THE KVR ",
      " ",
      lines[4],  // the date, checked below
      "",
      std::string(61, '-'),
      " ",
      "Device number send through the fiber : 317",
      " ",
      "PCB version : NVB-31207-V7",
      " ",
      "Comments :",
      "first comment",
      "second comment",
      " ",
      std::string(61, '-'),
      " ",
      "IDENTIFICATION BARCODES",
      std::string(60, '-'),
      "VELTRA317",
      "VELTRA-N317",
      "BRD-0000000000000317",
      "OTR1-000000001",
      "OTR2-000000002",
      "   "};
  for (size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(lines[k], expected[k]) << "line " << k;
  EXPECT_EQ(lines[4].size(), 24u) << lines[4];  // ctime: "Mon Dec  7 09:00:37 2026"
  // The log box mirrors the file; the board and OTR fields are cleared for the next board.
  ASSERT_GE(r.rt().GetNumTextBoxLines(r.p.TestCFCPanel, T::LogBox), 25);
  EXPECT_EQ(r.rt().GetTextBoxLine(r.p.TestCFCPanel, T::LogBox, 7), lines[8]);
  EXPECT_EQ(r.rt().GetCtrlValS(r.p.TabBData, B::BoardBarcode), "---");
  EXPECT_EQ(r.rt().GetCtrlValS(r.p.TabBData, B::Otr1Barcode), "---");
  EXPECT_EQ(r.rt().GetCtrlValS(r.p.TabBData, B::Otr2Barcode), "---");
  EXPECT_EQ(r.rt().GetCtrlValS(r.p.TabBData, B::DeviceBarcode1), "VELTRA317");
  EXPECT_FALSE(exists(r.dir.file("bench_DN_317_0_FAIL_with_0_.fai")));
  // A second run on the same board never overwrites the first.
  r.scanBarcodes();
  r.startBench();
  r.runToEnd(1.0);
  EXPECT_EQ(r.test().report.ReportFileName, r.dir.file("bench_DN_317_1.txt"));
}

// One step in the middle of the order runs in the first tick; each state after it then costs a
// tick, and END OF TEST one more: 13 ticks.
TEST(FunctionalTest, OneStepInTheMiddleThenOneTickPerRemainingState) {
  FunctionalRig r("good");
  r.scanBarcodes();
  r.enableOnly({B::EnableTempOtrDac});
  r.rt().SetCtrlVal(r.p.TestCFCPanel, T::Clock, 0.0);
  r.startBench();
  ASSERT_TRUE(r.runToEnd(30.0));
  EXPECT_EQ(r.rt().GetCtrlValD(r.p.TestCFCPanel, T::Clock), -6.5);
  EXPECT_EQ(r.passedChecks().size(), 6u);
  EXPECT_TRUE(r.failedChecks().empty());
}

// A step that never finishes holds the run until the stop button; the stop makes the fail copy
// of a run with failures, clears the count, switches the acquisition off and brings the idle
// refresh back.
TEST(FunctionalTest, StopEndsAStepThatNeverFinishes) {
  FunctionalRig r("good");
  r.scanBarcodes();
  r.enableOnly({B::EnableHvLevels});
  auto step = std::make_unique<ScriptedStep>();
  ScriptedStep &s = *step;
  s.lines = {{"CHECK ONE", false}, {"CHECK TWO", true}, {"CHECK THREE", false}};
  s.runningCalls = 1 << 30;
  r.test().setStep(5, std::move(step));
  r.startBench();
  EXPECT_FALSE(r.runToEnd(300.0));
  EXPECT_EQ(s.firstCalls, 1);
  EXPECT_GE(s.calls, 599);
  EXPECT_EQ(r.test().report.ErrorCounts, 2.0f);
  // The starts are dimmed while the run goes; a press that still comes does not restart it,
  // and is answered in the log, not by a box that would hold the sequencer.
  EXPECT_EQ(r.rt().GetCtrlAttribute(r.p.TestCFCPanel, T::StartBench, rt::ATTR_DIMMED), 1);
  EXPECT_EQ(r.rt().GetCtrlAttribute(r.p.TestCFCPanel, T::StartTunnel, rt::ATTR_DIMMED), 1);
  r.scanBarcodes();
  const size_t popupsBefore = r.op.popups.size();
  r.startBench();
  EXPECT_EQ(s.firstCalls, 1);
  EXPECT_EQ(r.op.popups.size(), popupsBefore);
  const int lines = r.rt().GetNumTextBoxLines(r.p.TestCFCPanel, T::LogBox);
  EXPECT_EQ(r.rt().GetTextBoxLine(r.p.TestCFCPanel, T::LogBox, lines - 1),
            "A test is running: stop the running test before starting another one.");
  r.stop();
  EXPECT_FALSE(r.sequencerRunning());
  EXPECT_EQ(r.test().report.ErrorCounts, 0.0f);
  EXPECT_EQ(r.test().state.UnderTest, 0);
  EXPECT_EQ(r.rt().GetCtrlAttribute(r.p.TestCFCPanel, T::StartBench, rt::ATTR_DIMMED), 0);
  EXPECT_EQ(r.rt().GetCtrlAttribute(r.p.MainPanel, ctl::Main::AcqTimer, rt::ATTR_ENABLED), 0);
  EXPECT_EQ(r.rt().GetCtrlAttribute(r.p.TabBData, B::RefreshTimer, rt::ATTR_ENABLED), 1);
  const std::string copy = r.dir.file("bench_DN_317_0_FAIL_with_2_.fai");
  ASSERT_TRUE(exists(copy));
  EXPECT_EQ(testenv::readFile(copy), testenv::readFile(r.test().report.ReportFileName));
  // The record ends with the stop.
  const auto rec = records(functest::RecordPathFor(r.test().report.ReportFileName));
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(rec.back()["type"], "end");
  EXPECT_EQ(rec.back()["how"], "stopped");
  EXPECT_EQ(rec.back()["verdict"], "STOPPED");  // a stopped run never passes, nor merely fails
  EXPECT_EQ(rec.back()["errorCounts"], 2.0);
  const auto report = testenv::readFile(r.test().report.ReportFileName);
  EXPECT_NE(report.rfind("\nTEST STOPPED BY THE OPERATOR => Stop at "), std::string::npos);
  EXPECT_EQ(rec.back()["failCopy"], copy);
}

// Quitting the program during a run stops the run: the report says so before its stopped line
// and the record ends STOPPED with the reason. A prefix that names no folder puts the report in
// the reports folder, and the report is named by its full path.
TEST(FunctionalTest, QuittingDuringARunStopsItAndABarePrefixGoesToTheReportFolder) {
  FunctionalRig r("good");
  testenv::ScopedEnv data("XDG_DATA_HOME", r.dir.file("data"));
  r.scanBarcodes();
  r.enableOnly({B::EnableLongTimeCrc});
  r.setText(r.p.TabBData, B::BenchReportPrefix, "quitrun");
  r.startBench();
  ASSERT_TRUE(r.sequencerRunning());
  r.runFor(5.0);
  const std::string name = r.test().report.ReportFileName;
  EXPECT_EQ(name.rfind(functest::DefaultReportFolder() + "/quitrun_DN_317_", 0), 0u) << name;
  EXPECT_EQ(name.front(), '/');
  EXPECT_EQ(testenv::readFile(name).substr(0, name.size() + 1), name + "\n");
  r.commit(r.p.MainPanel, ctl::Main::Quit);
  EXPECT_TRUE(r.rt().quitRequested());
  EXPECT_FALSE(r.sequencerRunning());
  const std::string report = testenv::readFile(name);
  const size_t quit = report.find("\nTHE PROGRAM WAS QUIT DURING THE TEST at ");
  const size_t stopped = report.rfind("\nTEST STOPPED BY THE OPERATOR => Stop at ");
  EXPECT_TRUE(quit != std::string::npos && stopped != std::string::npos && quit < stopped)
      << report;
  const auto rec = records(functest::RecordPathFor(name));
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(rec.back()["verdict"], "STOPPED");
  EXPECT_EQ(rec.back()["reason"], "the program was quit during the run");
  // Quitting between runs stops nothing.
  const size_t size = report.size();
  r.commit(r.p.MainPanel, ctl::Main::Quit);
  EXPECT_EQ(testenv::readFile(name).size(), size);
}

TEST(FunctionalTest, ReportNamesSkipExistingFilesAndTheFailCopyCarriesTheCount) {
  EXPECT_EQ(functest::FailCopyName("D:/T/run_DN_317_0.txt", 3.0f),
            "D:/T/run_DN_317_0_FAIL_with_3_.fai");
  EXPECT_EQ(functest::FailCopyName("D:/T/run_DN_317_0.txt", 2.9f),
            "D:/T/run_DN_317_0_FAIL_with_2_.fai");
  EXPECT_EQ(functest::RecordPathFor("/r/b_DN_5_2.txt"), "/r/b_DN_5_2.jsonl");
  FunctionalRig r("good");
  testenv::writeFile(r.dir.file("bench_DN_317_0.txt"), "old 0\n");
  testenv::writeFile(r.dir.file("bench_DN_317_1.txt"), "old 1\n");
  r.scanBarcodes();
  r.enableOnly({});
  r.startBench();
  r.runToEnd(1.0);
  EXPECT_EQ(r.test().report.ReportFileName, r.dir.file("bench_DN_317_2.txt"));
  EXPECT_EQ(testenv::readFile(r.dir.file("bench_DN_317_0.txt")), "old 0\n");
  EXPECT_EQ(testenv::readFile(r.dir.file("bench_DN_317_1.txt")), "old 1\n");
}

// Every refusal of the bench start shows its pop-up, titled with the start's message and saying
// in its body what was expected and what was read; it writes no report and leaves the log of the
// last run as it was.
TEST(FunctionalTest, BenchStartRefusals) {
  const std::string restart = "\n\nRestart the test program after fixing it.";
  struct Case {
    std::function<void(FunctionalRig &)> spoil;
    std::string popup, detail;
  };
  const Case cases[] = {
      {[](FunctionalRig &r) { r.setText(r.p.TabBData, B::DeviceBarcode1, "VELTRA318"); },
       "The Device number (318) does not correspond to the one sended by the FPGA (317)",
       "expected 317 on both device labels, read first label 318, second label 317"},
      {[](FunctionalRig &r) { r.setText(r.p.TabBData, B::DeviceBarcode2, "VELTRA-N316"); },
       "The Device number (317) does not correspond to the one sended by the FPGA (317)",
       "read first label 317, second label 316"},
      // A label too short for its number's place reads as no number.
      {[](FunctionalRig &r) { r.setText(r.p.TabBData, B::DeviceBarcode1, "VEL"); },
       "The Device number (0) does not correspond to the one sended by the FPGA (317)",
       "read first label no number (the label has 3 characters)"},
      {[](FunctionalRig &r) { r.setText(r.p.TabBData, B::BoardBarcode, "BRD-000000000000317"); },
       "Board number not correct", "expected 20 characters, read 19 characters"},
      {[](FunctionalRig &r) { r.setText(r.p.TabBData, B::Otr1Barcode, "OTR1-0000000011"); },
       "OTR1 number not correct", "expected 14 characters, read 15 characters"},
      {[](FunctionalRig &r) { r.setText(r.p.TabBData, B::Otr2Barcode, ""); },
       "OTR2 number not correct", "expected 14 characters, read 0 characters"},
      {[](FunctionalRig &r) { r.set(r.p.TabBData, B::PcbVersion, 9); },
       "The PCB version NVB-31207-Vx is not correct", "expected 6, 7 or 8, read 9"},
      {[](FunctionalRig &r) {
         r.setText(r.p.TabBData, B::LinearityFile, testenv::sourceDir() + "/data/Card_4_lin.txt");
       },
       "Invalide Linearity file (Card_4) for the VELTRA Box no.(3)",
       "expected a linearity file named Card_3, read Card_4 ("},
      // A file name that names no box is refused too.
      {[](FunctionalRig &r) { r.setText(r.p.TabBData, B::LinearityFile, "/data/linearity.txt"); },
       "Invalide Linearity file (Card_0) for the VELTRA Box no.(3)",
       "read \"/data/linearity.txt\", which names no card"},
      // Nothing is tested without a report.
      {[](FunctionalRig &r) {
         r.setText(r.p.TabBData, B::BenchReportPrefix, "/nonexistent/dir/b");
       },
       "Report file cannot be created: /nonexistent/dir/b_DN_317_0.txt: No such file or directory",
       ""},
  };
  FunctionalRig r("good", 5.0);
  r.rt().InsertTextBoxLine(r.p.TestCFCPanel, T::LogBox, -1, "the last run's line");
  for (const Case &c : cases) {
    r.scanBarcodes();
    r.enableOnly({B::EnableTempOtrDac});
    r.setText(r.p.TabBData, B::LinearityFile, testenv::sourceDir() + "/data/Card_3_linearity.txt");
    r.setText(r.p.TabBData, B::BenchReportPrefix, r.dir.file("bench"));
    c.spoil(r);
    r.op.popups.clear();
    r.startBench();
    EXPECT_FALSE(r.sequencerRunning()) << c.popup;
    ASSERT_EQ(r.op.popups.size(), 1u) << c.popup;
    const std::string &shown = r.op.popups[0];
    if (c.detail.empty()) {
      EXPECT_EQ(shown, c.popup);
    } else {
      // Title, then the body: the message again with its detail, and the specified advice.
      EXPECT_EQ(shown.rfind(c.popup + ": " + c.popup + ": ", 0), 0u) << shown;
      EXPECT_NE(shown.find(c.detail), std::string::npos) << shown;
      EXPECT_EQ(shown.substr(shown.size() - restart.size()), restart) << shown;
    }
    EXPECT_FALSE(exists(r.dir.file("bench_DN_317_0.txt"))) << c.popup;
    EXPECT_EQ(r.rt().GetTextBoxLine(r.p.TestCFCPanel, T::LogBox, 0), "the last run's line");
  }
  // Every problem at once, in the order of the checks; the first one titles the pop-up.
  r.scanBarcodes();
  r.setText(r.p.TabBData, B::LinearityFile, testenv::sourceDir() + "/data/Card_4_lin.txt");
  r.setText(r.p.TabBData, B::BoardBarcode, "BRD-31");
  r.set(r.p.TabBData, B::PcbVersion, 2);
  r.op.popups.clear();
  r.startBench();
  ASSERT_EQ(r.op.popups.size(), 1u);
  const std::string all = r.op.popups[0];
  const size_t lin = all.find(": Invalide Linearity file (Card_4)");
  const size_t board = all.find("\nBoard number not correct: expected 20 characters, read 6");
  const size_t pcb = all.find("\nThe PCB version NVB-31207-Vx is not correct: expected 6, 7 or 8");
  EXPECT_EQ(all.rfind("Invalide Linearity file (Card_4) for the VELTRA Box no.(3): ", 0), 0u);
  EXPECT_TRUE(lin != std::string::npos && board > lin && pcb > board && pcb != std::string::npos)
      << all;
  r.setText(r.p.TabBData, B::LinearityFile, testenv::sourceDir() + "/data/Card_3_linearity.txt");
  // With the 10 pA switch on, the label checks are skipped; the linearity file still counts.
  r.scanBarcodes();
  r.setText(r.p.TabBData, B::BenchReportPrefix, r.dir.file("bench"));
  r.enableOnly({B::Enable10pA});
  r.setText(r.p.TabBData, B::BoardBarcode, "short");
  r.startBench();
  EXPECT_TRUE(r.sequencerRunning());
  r.stop();
}

// The tunnel start sets its switches, compares only the first device label and names the report
// from the tunnel prefix; the tunnel run passes on the good board.
TEST(FunctionalTest, TunnelStartComparesTheFirstLabelOnly) {
  FunctionalRig r("good");
  r.scanBarcodes();
  r.enableOnly({B::EnableHvLevels, B::EnableDacCounters});
  r.setText(r.p.TabBData, B::DeviceBarcode2, "VELTRA-N999");
  r.setText(r.p.TabBData, B::BoardBarcode, "");
  r.set(r.p.TabBData, B::PcbVersion, 2);
  r.startTunnel();
  EXPECT_TRUE(r.op.popups.empty());
  EXPECT_EQ(r.rt().GetCtrlValI(r.p.TabBData, B::EnableHvLevels), 0);
  EXPECT_EQ(r.rt().GetCtrlValI(r.p.TabBData, B::EnableDacCounters), 0);
  EXPECT_EQ(r.rt().GetCtrlValI(r.p.TabBData, B::EnableTempOtrDac), 1);
  EXPECT_EQ(r.rt().GetCtrlValI(r.p.TabBData, B::EnableCrcLostFrame), 1);
  EXPECT_EQ(r.rt().GetCtrlValI(r.p.TabBData, B::Enable10pA), 1);
  EXPECT_EQ(r.rt().GetCtrlValI(r.p.TabBData, B::EnableSaveDacValues), 1);
  EXPECT_EQ(r.test().report.ReportFileName, r.dir.file("tunnel_DN_317_0.txt"));
  r.stop();

  FunctionalRig bad("good");
  bad.scanBarcodes();
  bad.setText(bad.p.TabBData, B::DeviceBarcode1, "VELTRA31");
  bad.startTunnel();
  EXPECT_FALSE(bad.sequencerRunning());
  ASSERT_EQ(bad.op.popups.size(), 1u);
  EXPECT_EQ(bad.op.popups[0],
            "The Device number (31) does not correspond to the one sended by the FPGA (317): "
            "The Device number (31) does not correspond to the one sended by the FPGA (317): "
            "expected the board's device number 317 from character 7 on, read 31\n\n"
            "Restart the test program after fixing it.");
}

// A whole tunnel run on the good board: its own switches (10 pA, CRC, status, DAC values) plus
// the operator's long check; the operator stops the 10 pA wait once every period verdict is in.
TEST(FunctionalTest, TunnelRunPassesOnTheGoodBoard) {
  FunctionalRig r("good");
  r.scanBarcodes();
  r.enableOnly({B::EnableLongTimeCrc});
  r.startTunnel();
  ASSERT_TRUE(r.sequencerRunning());
  const auto endLong = r.endLongCheckAfter(60.0);
  bool stopped = false;
  ASSERT_TRUE(r.runToEnd(3000.0, [&] {
    endLong();
    int on = 0;
    for (const rt::Ctl &led : ctl::TabSlope::PeriodOk) on += r.rt().GetCtrlValI(r.p.TabSlope, led);
    if (!stopped && on == 8) {
      r.commit(r.p.TabSlope, ctl::TabSlope::StopMeasure);
      stopped = true;
    }
  }));
  EXPECT_TRUE(stopped);
  EXPECT_EQ(r.failedChecks(), std::multiset<std::string>{});
  // 10 pA (48), CRC (4), status (6), long check (7).
  EXPECT_EQ(r.resultLines(), 48 + 4 + 6 + 7);
  EXPECT_EQ(r.test().report.ReportFileName, r.dir.file("tunnel_DN_317_0.txt"));
  const auto rec = records(functest::RecordPathFor(r.test().report.ReportFileName));
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(rec.front()["variant"], "tunnel");
  EXPECT_EQ(rec.back()["verdict"], "PASSED");
}

// A state outside the table while the start's 16 is still set ends the sequence in that tick.
TEST(FunctionalTest, StateOutsideTheTableStopsTheSequencer) {
  FunctionalRig r("good", 1.0);
  r.scanBarcodes();
  r.enableOnly({});
  r.startBench();
  r.test().state.StateTest = 42;
  r.test().state.ReturnedValue = 16;
  EXPECT_TRUE(r.runToEnd(2.0));
}

// The issue's own steps on the good board, with the long-time check ended after 60 s: every
// result line passes, no fail copy, and the record's result lines are the report's one for one.
TEST(FunctionalTest, GoodBoardPassesTheStatusAndFibreStepsAndTheRecordMatchesTheReport) {
  FunctionalRig r("good");
  r.scanBarcodes();
  r.enableOnly({B::EnableCrcLostFrame, B::EnableTempOtrDac, B::EnablePowerSupplies,
                B::EnableSaveDacValues, B::EnableIntegratorLevel, B::EnableCfcError,
                B::EnableLongTimeCrc});
  r.startBench();
  ASSERT_TRUE(r.runToEnd(2000.0, r.endLongCheckAfter(60.0)));
  EXPECT_TRUE(r.failedChecks().empty());
  EXPECT_EQ(r.resultLines(), 4 + 6 + 6 + 16 + 16 + 7);
  const std::vector<std::string> lines = r.reportLines();
  // The DAC values in channel order, as the board had them at the step (37..44 on this board).
  const auto dac = std::find_if(lines.begin(), lines.end(), [](const std::string &l) {
    return l.rfind("SAVE DAC VALUES => ", 0) == 0;
  });
  ASSERT_NE(dac, lines.end());
  ASSERT_LT(dac + 9, lines.end());
  for (int c = 1; c <= 8; ++c) {
    const std::string l = *(dac + 1 + c);
    EXPECT_EQ(l.rfind("DAC CHANNEL " + std::to_string(c) + " : ", 0), 0u) << l;
    const int v = std::atoi(l.c_str() + 16);
    EXPECT_GE(v, 37) << l;
    EXPECT_LE(v, 44) << l;
  }
  EXPECT_FALSE(exists(functest::FailCopyName(r.test().report.ReportFileName, 1)));

  std::vector<std::string> fromReport, fromRecord;
  for (const std::string &l : lines)
    if (l.rfind("PASSED : ", 0) == 0 || l.rfind("***FAILED : ", 0) == 0) fromReport.push_back(l);
  const auto rec = records(functest::RecordPathFor(r.test().report.ReportFileName));
  ASSERT_GE(rec.size(), 2u);
  EXPECT_EQ(rec.front()["type"], "run");
  EXPECT_EQ(rec.front()["variant"], "bench");
  EXPECT_EQ(rec.front()["cardNumber"], 317);
  EXPECT_EQ(rec.front()["barcodes"]["board"], "BRD-0000000000000317");
  EXPECT_EQ(rec.front()["report"], r.test().report.ReportFileName);
  int steps = 0;
  for (const auto &j : rec) {
    if (j["type"] == "step") ++steps;
    if (j["type"] != "result") continue;
    fromRecord.push_back((j["passed"] ? "PASSED : " : "***FAILED : ") +
                         j["check"].get<std::string>());
  }
  EXPECT_EQ(steps, 7);
  EXPECT_EQ(fromRecord, fromReport);
  EXPECT_EQ(rec.back()["type"], "end");
  EXPECT_EQ(rec.back()["verdict"], "PASSED");
  EXPECT_EQ(rec.back()["how"], "ended");
}

// Each defect board fails exactly its lines, and the fail copy carries the count.
TEST(FunctionalTest, DefectBoardsFailExactlyTheirLines) {
  const std::string reduced = "TEST STATUS POWER SUPPLIES WHEN VOLTAGE REDUCED (NO OK STATE) of ";
  const std::map<std::string, std::multiset<std::string>> cases = {
      {"temp1_down", {"TEST STATUS TEMP_1 OK STATE"}},
      {"otr2_down", {"TEST STATUS OTR_2 OK STATE"}},
      {"m5v_monitor_stuck", {reduced + "M5V"}},
      {"crc_fibre_a",
       {"CRC ERROR : ON FIBER A = 5.000000 SKIPED BY USER", "CRC Errors A    = 300 "}},
      {"lost_fibre_b", {"LOSTF ERROR : FIBER B = @ SKIPED BY USER", "LOSTF Errors B  = 30 "}},
  };
  for (const auto &[board, expected] : cases) {
    FunctionalRig r(board);
    r.scanBarcodes();
    r.enableOnly({B::EnableCrcLostFrame, B::EnableTempOtrDac, B::EnablePowerSupplies,
                  B::EnableSaveDacValues, B::EnableIntegratorLevel, B::EnableCfcError,
                  B::EnableLongTimeCrc});
    r.startBench();
    ASSERT_TRUE(r.runToEnd(2000.0, r.endLongCheckAfter(60.0))) << board;
    // Rates and counts are printed as measured: compare the lines with their numbers masked
    // where the board's own noise decides them.
    std::multiset<std::string> failed;
    for (std::string f : r.failedChecks()) {
      if (board == "lost_fibre_b" && f.rfind("LOSTF ERROR : FIBER B = ", 0) == 0)
        f = "LOSTF ERROR : FIBER B = @ SKIPED BY USER";
      failed.insert(f);
    }
    if (board == "crc_fibre_a" || board == "lost_fibre_b") {
      // The long-test growth depends on where the 60 s fall; take it from the report.
      std::multiset<std::string> masked;
      for (const std::string &f : failed) masked.insert(f.substr(0, 18));
      std::multiset<std::string> want;
      for (const std::string &f : expected) want.insert(f.substr(0, 18));
      EXPECT_EQ(masked, want) << board;
    } else {
      EXPECT_EQ(failed, expected) << board;
    }
    const std::string copy =
        functest::FailCopyName(r.test().report.ReportFileName, static_cast<float>(expected.size()));
    EXPECT_TRUE(exists(copy)) << copy;
  }
}

// Every file that keeps a run is on the disk before the run is said to be over: the report,
// its record and its fail copy, each flushed once whole (at its final size), and the run's
// outbox entry before it is named. The flush is watched through FlushToDisk.
struct Flushed {
  std::string path;
  long long size = 0;
};
std::mutex flushedMutex;
std::vector<Flushed> flushed;
int watchFlush(int fd) {
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  struct stat st {};
  ::fstat(fd, &st);
  std::lock_guard<std::mutex> lock(flushedMutex);
  flushed.push_back({n > 0 ? std::string(target, static_cast<size_t>(n)) : "", st.st_size});
  return ::fsync(fd);
}

TEST(FunctionalTest, EveryFileOfARunIsFlushedWholeBeforeItsEnd) {
  FunctionalRig r("temp1_down");
  functest::FlushToDisk = watchFlush;
  struct Restore {
    ~Restore() { functest::FlushToDisk = ::fsync; }
  } restore;
  r.scanBarcodes();
  r.enableOnly({B::EnableTempOtrDac});
  r.startBench();
  ASSERT_TRUE(r.runToEnd(400.0));
  const std::string report = fs::canonical(r.test().report.ReportFileName).string();
  const std::string record = functest::RecordPathFor(report);
  const std::string copy = functest::FailCopyName(report, 1.0f);
  ASSERT_TRUE(fs::exists(copy));
  std::lock_guard<std::mutex> lock(flushedMutex);
  // The last flush of each file, at its size then.
  std::map<std::string, long long> last;
  int entries = 0;
  for (const Flushed &f : flushed) {
    last[f.path] = f.size;
    entries += f.path.find("/tessock/outbox/") != std::string::npos && f.size > 0;
  }
  for (const auto &[file, flushedAs] :
       {std::pair{report, report}, std::pair{record, record}, std::pair{copy, copy + ".part"}}) {
    SCOPED_TRACE(file);
    ASSERT_EQ(last.count(flushedAs), 1u);
    EXPECT_EQ(last[flushedAs], static_cast<long long>(fs::file_size(file)));
  }
  EXPECT_EQ(entries, 1);
}

// --------------------------------------------------------------------------- step logic alone

TEST(FunctionalTestSteps, RateSmoothing) {
  EXPECT_FLOAT_EQ(functest::SmoothRate(3.0f, 1.0f), 2.8f);
  EXPECT_FLOAT_EQ(functest::SmoothRate(3.0f, 4.0f), 4.0f);
  EXPECT_FLOAT_EQ(functest::SmoothRate(3.0f, 0.0f), 0.0f);
  EXPECT_FLOAT_EQ(functest::SmoothRate(9.0f, 3.0f), 3.0f);  // a fall of more than 5
}

// The fibre step with an error on lost frames A: "Try Again ?" answered yes resumes there 20 s
// later without writing the CRC lines again; answered no, the check is given up and fails.
TEST(FunctionalTestSteps, TryAgainResumesAtTheFirstUnreportedCheck) {
  testenv::TempDir dir;
  testenv::writeFile(dir.file("made.json"), R"({"name": "made", "fibres": {"lostA": 2}})");
  FunctionalRig r(dir.file("made.json"));
  r.scanBarcodes();
  r.enableOnly({B::EnableCrcLostFrame});
  r.op.answers = {true, false};
  r.startBench();
  ASSERT_TRUE(r.runToEnd(200.0));
  EXPECT_EQ(r.passedChecks(),
            (std::multiset<std::string>{"CRC FIBER A CORRECT ", "CRC FIBER B CORRECT ",
                                        "LOSTF FIBER B CORRECT "}));
  const auto failed = r.failedChecks();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed.begin()->rfind("LOSTF ERROR : FIBER A = ", 0), 0u) << *failed.begin();
  ASSERT_EQ(r.op.popups.size(), 2u);
  EXPECT_EQ(r.op.popups[0].rfind("LOSTF ERROR ON FIBER A (RATE = ", 0), 0u) << r.op.popups[0];
  EXPECT_NE(r.op.popups[0].find(" ): Try Again ?"), std::string::npos) << r.op.popups[0];
  // The step ends with the continuous acquisition running again.
  EXPECT_EQ(r.rt().GetCtrlAttribute(r.p.MainPanel, ctl::Main::AcqTimer, rt::ATTR_ENABLED), 1);
}

using testenv::FakeBench;

// The program's panels without a module, a fake bench, and a report in a temporary folder.
struct StepBed {
  StepBed() {
    fake.wallTime = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC
    std::string reason;
    EXPECT_TRUE(report.Begin(dir.file("r_DN_1_0.txt"), reason)) << reason;
  }
  std::unique_ptr<app::Bench> makeBench() {
    auto b = std::make_unique<app::Bench>(
        clock, app::BenchOptions{testenv::uiDir(), "/nonexistent/libquickusb.so", "",
                                 dir.file("settings.ini")});
    b->StartUp();
    return b;
  }
  // Calls the step as the sequencer does, the test clock falling 0.5 a call, until it ends.
  StepResult play(functest::Step &step, int maxCalls = 10000) {
    StepResult r = step.call(ctx, true);
    for (int k = 0; r == StepResult::Running && k < maxCalls; ++k) {
      ctx.SetTimer(ctx.GetTimer() - 0.5f);
      fake.now += 0.5;
      r = step.call(ctx, false);
    }
    return r;
  }
  std::multiset<std::string> failed() {
    std::multiset<std::string> out;
    std::ifstream in(report.ReportFileName);
    for (std::string l; std::getline(in, l);)
      if (l.rfind("***FAILED : ", 0) == 0) out.insert(l.substr(12));
    return out;
  }
  testenv::TempDir dir;
  rt::VirtualClock clock;
  std::unique_ptr<app::Bench> bench = makeBench();
  FakeBench fake;
  functest::TestState state;
  functest::Report report{bench->rt, bench->panels};
  functest::TestContext ctx{bench->rt, bench->panels, fake, report, state};
};

// The long check's counters are unsigned 32-bit and grow modulo 2^32: a counter past 2^24 that
// gains one error, and one that wraps, both fail; one that stays, passes.
TEST(FunctionalTestSteps, LongCheckGrowthIsTakenModulo32Bits) {
  StepBed bed;
  bed.fake.st.Erra = static_cast<int32_t>(0xFFFFFFF0u);  // wraps to 0x10: 32 errors
  bed.fake.st.Errb = (1 << 24) + 1;                      // gains one error above 2^24
  bed.fake.st.Losta = -5;                                // unsigned 4294967291, stays
  functest::TestLongTimeCRCLF step;
  ASSERT_EQ(step.call(bed.ctx, true), StepResult::Running);
  bed.fake.st.Erra = 0x10;
  bed.fake.st.Errb = (1 << 24) + 2;
  EXPECT_EQ(step.call(bed.ctx, false), StepResult::Running);
  bed.state.EndOfLongTimeTest = 1;
  EXPECT_EQ(step.call(bed.ctx, false), StepResult::Done);
  EXPECT_EQ(bed.failed(),
            (std::multiset<std::string>{"CRC Errors A    = 32 ", "CRC Errors B    = 1 "}));
  EXPECT_EQ(bed.report.ErrorCounts, 2.0f);
  EXPECT_TRUE(bed.fake.running);
}

// CFC error lines that have all fired before the 10 s mark still get their NORMAL STATE lines,
// and those fail: an error line that fires early or is stuck cannot pass.
TEST(FunctionalTestSteps, CfcErrorThatFiresEarlyFailsItsNormalStateLines) {
  StepBed bed;
  bed.fake.st.Statusb = 0x00FF;  // every CFC error already raised
  functest::TestCFCErrorStatus step;
  EXPECT_EQ(bed.play(step), StepResult::Done);
  std::multiset<std::string> expected;
  for (int c = 1; c <= 8; ++c)
    expected.insert("STATUS CFC ERROR (100 SEC ERROR) CHANNEL " + std::to_string(c) +
                    " : NORMAL STATE");
  EXPECT_EQ(bed.failed(), expected);
  EXPECT_EQ(bed.report.ErrorCounts, 8.0f);

  // A channel whose error never comes: the full 110 s, its ERROR STATE line fails.
  StepBed late;
  late.fake.st.Statusb = 0xFF00;
  late.fake.onRead = [&] {
    acq::AcqState &a = late.fake.st;
    if (late.fake.now > 200.0) a.Statusb = 0x0400;  // channel 3 stays normal
  };
  EXPECT_EQ(late.play(step), StepResult::Done);
  EXPECT_EQ(late.ctx.GetTimer(), 0.0f);
  EXPECT_EQ(late.failed(),
            std::multiset<std::string>{"STATUS CFC ERROR (100 SEC ERROR) CHANNEL 3 : ERROR STATE"});
}

// The DAC file: two saves append two complete blocks; the log box names the file; a file that
// cannot be written says so and never claims it was saved.
TEST(FunctionalTestSteps, DacFileAppendsBlocksAndSaysWhenItCannot) {
  setenv("TZ", "UTC", 1);
  tzset();
  StepBed bed;
  bed.bench->rt.SetCtrlVal(bed.bench->panels.TabBData, B::BenchReportPrefix, bed.dir.file("p"));
  for (int c = 0; c < 8; ++c) bed.fake.st.DacVal[c] = static_cast<uint8_t>(c * 30 + 7);
  bed.fake.st.CardNumber = 0;
  ASSERT_EQ(functest::CreateDacFile(bed.ctx), 0);
  bed.fake.now = 123.456;
  ASSERT_EQ(functest::CreateDacFile(bed.ctx), 0);
  EXPECT_EQ(bed.fake.reads, 10);
  const std::string name = bed.dir.file("p_SAVE_DAC_CN0.dac");
  std::vector<std::string> lines;
  std::ifstream in(name);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 30u);
  EXPECT_EQ(lines[0], "DAC MEASUREMENTS OF THE TUNNEL ACQUISITION BOARD FOR THE KVR ");
  EXPECT_EQ(lines[1], " ");
  EXPECT_EQ(lines[2], "Tue Nov 14 22:13:20 2023");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], std::string(61, '-'));
  EXPECT_EQ(lines[5], "SAVE DAC VALUES => Start at 100.00 [s] ");
  EXPECT_EQ(lines[6], std::string(60, '-'));
  EXPECT_EQ(lines[7], "DAC CHANNEL 1 : 7");
  EXPECT_EQ(lines[14], "DAC CHANNEL 8 : 217");
  EXPECT_EQ(lines[15], lines[0]);
  EXPECT_EQ(lines[20], "SAVE DAC VALUES => Start at 123.46 [s] ");
  const int panel = bed.bench->panels.TestCFCPanel;
  ASSERT_EQ(bed.bench->rt.GetNumTextBoxLines(panel, T::LogBox), 3);
  EXPECT_EQ(bed.bench->rt.GetTextBoxLine(panel, T::LogBox, 0), " ");
  EXPECT_EQ(bed.bench->rt.GetTextBoxLine(panel, T::LogBox, 1), "DAC VALUES SAVED IN :");
  EXPECT_EQ(bed.bench->rt.GetTextBoxLine(panel, T::LogBox, 2), name);

  bed.bench->rt.SetCtrlVal(bed.bench->panels.TabBData, B::BenchReportPrefix, "/nonexistent/p");
  EXPECT_EQ(functest::CreateDacFile(bed.ctx), -1);
  EXPECT_EQ(bed.bench->rt.GetTextBoxLine(panel, T::LogBox, 1), "DAC VALUES NOT SAVED IN :");
  EXPECT_EQ(bed.bench->rt.GetTextBoxLine(panel, T::LogBox, 2), "/nonexistent/p_SAVE_DAC_CN0.dac");
}

// A report that disappears or cannot be written mid-run: the line still reaches the log box,
// one notice says the report is not written, and the failure count still grows.
TEST(FunctionalTestSteps, ReportWriteFailureIsSaidOnceAndTheRunGoesOn) {
  StepBed bed;
  const int panel = bed.bench->panels.TestCFCPanel;
  bed.bench->rt.ResetTextBox(panel, T::LogBox, "");
  const int base = bed.bench->rt.GetNumTextBoxLines(panel, T::LogBox);
  bed.report.ReportFileName = bed.dir.file("gone/r.txt");
  bed.report.WriteToLogC("CHECK", 0, 1);
  bed.report.WriteToLogC("CHECK 2", 1, 1);
  ASSERT_EQ(bed.bench->rt.GetNumTextBoxLines(panel, T::LogBox), base + 3);
  EXPECT_EQ(bed.bench->rt.GetTextBoxLine(panel, T::LogBox, base), "***FAILED : CHECK");
  EXPECT_EQ(
      bed.bench->rt.GetTextBoxLine(panel, T::LogBox, base + 1).rfind("Report not written: ", 0),
      0u);
  EXPECT_EQ(bed.bench->rt.GetTextBoxLine(panel, T::LogBox, base + 2), "PASSED : CHECK 2");
  EXPECT_EQ(bed.report.ErrorCounts, 1.0f);
  // Long texts are never cut.
  bed.report.ReportFileName = bed.dir.file("r_DN_1_0.txt");
  const std::string longText(500, 'x');
  bed.report.WriteToLogC(longText, 1, 1);
  EXPECT_NE(testenv::readFile(bed.report.ReportFileName).find("PASSED : " + longText + "\n"),
            std::string::npos);
}

}  // namespace
