// The operator's view of a run: where it stands and the time left (from the typical durations,
// then from the same steps of the stored run), the verdict and the failed lines with their place
// in the log, cleared by the next start; and the HTML page of a record that is damaged or
// hostile.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "functest/html_report.h"
#include "functest/progress.h"
#include "functest/sequencer.h"
#include "support/functest_rig.h"

namespace {

namespace B = ctl::TabBData;
using testenv::FunctionalRig;

TEST(Progress, FollowsRunsAndEstimatesFromTheStoredOne) {
  FunctionalRig rig("dead_channel");
  rig.scanBarcodes();
  rig.enableOnly({B::EnableTempOtrDac, B::EnableIntegratorLevel});
  functest::Progress &progress = rig.bench->progress;
  std::vector<std::string> lines;
  progress.onStep = [&] { lines.push_back(progress.line()); };

  rig.startBench();
  functest::ProgressSnapshot p = progress.snapshot();
  EXPECT_TRUE(p.active);
  EXPECT_EQ(p.steps, 2);
  EXPECT_FALSE(p.leftFromHistory);
  EXPECT_DOUBLE_EQ(p.left, functest::TypicalStepSeconds(11) + functest::TypicalStepSeconds(1));
  ASSERT_TRUE(rig.runToEnd());

  p = progress.snapshot();
  EXPECT_FALSE(p.active);
  EXPECT_EQ(p.verdict, "FAILED");
  EXPECT_EQ(p.step, 2);
  EXPECT_DOUBLE_EQ(p.fraction, 1.0);
  ASSERT_EQ(p.failedCount, 1);
  ASSERT_EQ(p.failed.size(), 1u);
  // The failed line points at its own line of the log.
  EXPECT_EQ(rig.rt().GetTextBoxLine(rig.p.TestCFCPanel, ctl::Test::LogBox, p.failed[0].logLine),
            p.failed[0].text);
  EXPECT_EQ(p.failed[0].step, "TEST STATUS INTEGRATOR LEVEL");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(
      lines[0].rfind("[step 1/2] TEST STATUS TEMP OTR DAC OVERFLOW  elapsed 0:00:00  left ~", 0),
      0u);
  EXPECT_EQ(lines[1].rfind("[step 2/2] TEST STATUS INTEGRATOR LEVEL  elapsed ", 0), 0u);

  // The stored run's step times are the next run's estimate; its verdict and lines are gone.
  double stepped[2] = {};
  int k = 0;
  for (const nlohmann::json &r : rig.record())
    if (r["type"] == "step") stepped[k++] = r["clock"].get<double>();
  const double firstStep = stepped[1] - stepped[0];
  rig.scanBarcodes();  // the end of a run clears the board's
  rig.startBench();
  // The store answers on a thread of its own; the run does not wait for it.
  for (int k = 0; k < 1000 && !progress.estimatesSettled(); ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  p = progress.snapshot();
  EXPECT_TRUE(p.active);
  EXPECT_TRUE(p.verdict.empty());
  EXPECT_TRUE(p.failed.empty());
  EXPECT_TRUE(p.leftFromHistory);
  EXPECT_GT(p.left, firstStep);
  EXPECT_LT(p.left, functest::TypicalStepSeconds(11) + functest::TypicalStepSeconds(1) + 60);
  rig.stop();
  EXPECT_EQ(progress.snapshot().verdict, "STOPPED");
}

// A run with steps switched off passes as a partial run, said so on the test panel and on its
// page with the steps it did not run; a wait on the operator is said with what ends it.
TEST(Progress, APartialRunAndAWaitOnTheOperatorAreSaid) {
  FunctionalRig rig("good");
  rig.scanBarcodes();
  rig.enableOnly({B::Enable10pA, B::EnableTempOtrDac});
  rig.test().unattended.on = false;  // the operator ends the wait
  functest::Progress &progress = rig.bench->progress;
  rig.startBench();
  rig.runFor(20.0);
  functest::ProgressSnapshot p = progress.snapshot();
  ASSERT_TRUE(p.active);
  EXPECT_NE(p.wait.text.find("the 10 pA measurement runs until you stop it"), std::string::npos)
      << p.wait.text;
  EXPECT_EQ(p.wait.button, "Stop measurement");
  EXPECT_EQ(p.wait.panel, rig.p.TabSlope);
  EXPECT_EQ(p.wait.control.id, ctl::TabSlope::StopMeasure.id);
  EXPECT_GT(p.wait.seconds, 15.0);
  rig.commit(rig.p.TabSlope, ctl::TabSlope::StopMeasure);  // as the wait's button does
  rig.runFor(1.0);
  EXPECT_TRUE(progress.snapshot().wait.text.empty());
  EXPECT_EQ(rig.record().front()["steps"], (std::vector<int>{13, 11}));
  rig.stop();

  rig.scanBarcodes();
  rig.enableOnly({B::EnableTempOtrDac});
  rig.startBench();
  ASSERT_TRUE(rig.runToEnd(600.0));
  p = progress.snapshot();
  EXPECT_EQ(p.verdict, "PASSED");
  EXPECT_EQ(p.shownVerdict, "PASSED \u2013 1 of 15 steps");
  ASSERT_EQ(p.stepsNotRun.size(), 14u);
  EXPECT_EQ(p.stepsNotRun[0], "MEASURE 10pA");
  const std::string page = testenv::readFile(rig.bench->htmlReport.lastPage());
  EXPECT_NE(page.find(">PASSED \u2013 1 of 15 steps"), std::string::npos);
  EXPECT_NE(page.find("Not run:<ul><li>MEASURE 10pA</li><li>MEASURE 200 COUNTS</li>"),
            std::string::npos);
}

// The rule of a partial run, and the steps as the store keeps them.
TEST(Progress, PartialRunsAndTheirSteps) {
  std::vector<int> all;
  for (int s = 0; s < functest::kStates; ++s)
    if (s != functest::kEndState) all.push_back(s);
  EXPECT_EQ(functest::ShownVerdict("PASSED", "bench", std::vector<int>{13, 0, 11}),
            "PASSED \u2013 3 of 15 steps");
  EXPECT_EQ(functest::ShownVerdict("PASSED", "bench", all), "PASSED");
  EXPECT_EQ(functest::ShownVerdict("PASSED", "bench", std::nullopt), "PASSED");  // not known
  EXPECT_EQ(functest::ShownVerdict("PASSED", "tunnel", std::vector<int>{13, 0}), "PASSED");
  EXPECT_EQ(functest::ShownVerdict("FAILED", "bench", std::vector<int>{13}), "FAILED");
  EXPECT_EQ(functest::StepsText({13, 14, 0}), "13,14,0");
  EXPECT_EQ(functest::ParseSteps("13,14,0"), (std::vector<int>{13, 14, 0}));
  EXPECT_EQ(functest::ParseSteps(""), std::vector<int>{});
  for (const char *bad : {"-", "9", "16", "1,", ",1", "1,,2", "a", "123"})
    EXPECT_EQ(functest::ParseSteps(bad), std::nullopt) << bad;
  EXPECT_EQ(functest::StepsNotRun(all).size(), 0u);
}

TEST(Progress, ClockText) {
  EXPECT_EQ(functest::ClockText(3725.9), "1:02:05");
  EXPECT_EQ(functest::ClockText(-4), "0:00:00");
  EXPECT_EQ(functest::ClockText(std::nan("")), "0:00:00");
}

TEST(HtmlReport, EscapesTextAndCountsWhatItCannotRead) {
  const std::string record =
      R"({"type":"run","report":"r_DN_1_0.txt","cardNumber":1,"comments":["<b>x</b>"]})"
      "\n"
      "not json\n"
      R"({"type":"step","state":5,"title":"TEST HV LEVELS","clock":1})"
      "\n"
      R"({"type":"result","state":5,"step":"TEST HV LEVELS","check":"<script>alert(1)</script> & co","passed":false,"value":3.1,"unit":"V","high":3.0})"
      "\n";
  const std::string page = functest::HtmlReportFromRecord(record, "r_DN_1_0.jsonl");
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(page.find("<b>x</b>"), std::string::npos);
  EXPECT_NE(page.find("***FAILED : &lt;script&gt;alert(1)&lt;/script&gt; &amp; co"),
            std::string::npos);
  EXPECT_NE(page.find("id=\"verdict\">UNFINISHED"), std::string::npos);
  EXPECT_NE(page.find("1 line of the record could not be read"), std::string::npos);
  EXPECT_NE(page.find("<svg"), std::string::npos);  // the HV point against its limit
  EXPECT_EQ(functest::HtmlReportPathFor("/a.b/r_DN_1_0.jsonl"), "/a.b/r_DN_1_0.html");

  // The linearity plot: from the text report's linearity table when it is at hand (every line,
  // by its current), else only the lines out of range that the record holds.
  const std::string linearity =
      R"({"type":"run","report":"r_DN_1_0.txt","cardNumber":1})"
      "\n"
      R"({"type":"step","state":3,"title":"TEST LINEARITY","clock":1})"
      "\n"
      R"({"type":"result","state":3,"step":"TEST LINEARITY","check":"LINEARITY : Mesure line 2 (500.000024 uA) OutOfRange CH4 : 0.000000 not between 97 and 103","passed":false,"value":0,"unit":"counts/frame","low":97,"high":103})"
      "\n";
  const std::string report =
      "Linearity test result structure\n" + std::string(60, '-') +
      "\nCurrent1 SUM_CH1 SUM_CH2....SUM_CH8\nCurrent2 SUM_CH1 SUM_CH2....SUM_CH8\n" +
      std::string(60, '-') +
      "\n1.000000e-03 2.0e+02 2.0e+02 2.0e+02 0.0e+00 2.0e+02 2.0e+02 2.0e+02 2.0e+02\n"
      "5.000000e-04 1.0e+02 1.0e+02 1.0e+02 0.0e+00 1.0e+02 1.0e+02 1.0e+02 1.0e+02\n" +
      std::string(60, '-') + "\n";
  const std::string full = functest::HtmlReportFromRecord(linearity, "r.jsonl", report);
  EXPECT_NE(full.find("Linearity per channel: running sum per input current"), std::string::npos);
  EXPECT_NE(full.find(">1e-03 A<"), std::string::npos);
  EXPECT_NE(full.find(">5e-04 A<"), std::string::npos);
  EXPECT_NE(full.find(">tolerance<"), std::string::npos);
  const std::string alone = functest::HtmlReportFromRecord(linearity, "r.jsonl");
  EXPECT_NE(alone.find("Linearity per channel: measurements out of range"), std::string::npos);
  EXPECT_EQ(alone.find(">1e-03 A<"), std::string::npos);
  EXPECT_EQ(functest::HtmlReportPathFor("/a.b/record"), "/a.b/record.html");
}

}  // namespace
