// The results store: runs on the simulated bench land in it with exactly their reports' result
// lines; an interrupted run stays unfinished with what it wrote; import of records and text
// reports is idempotent; the history questions and the JUnit export answer from it.
#include <gtest/gtest.h>

#include <filesystem>
#include <pugixml.hpp>

#include "history/questions.h"
#include "history/store.h"
#include "support/functest_rig.h"

namespace {

namespace B = ctl::TabBData;
namespace fs = std::filesystem;
using testenv::FunctionalRig;

TEST(CheckName, NumbersStandingAloneBecomeOneMark) {
  using history::CheckName;
  EXPECT_EQ(CheckName("Offset current calc CH1 : 0.52 [pA]"), "Offset current calc CH1 : # [pA]");
  EXPECT_EQ(CheckName("Offset current calc CH1 : -13.10 [pA]"),
            CheckName("Offset current calc CH1 : 0.52 [pA]"));
  EXPECT_EQ(CheckName("Overshot      CH4 : 3 "), "Overshot CH4 : #");
  EXPECT_EQ(CheckName("LINEARITY : Mesure line 3 (0.000010 uA) OutOfRange CH2 : 1e-05 not"),
            "LINEARITY : Mesure line # (# uA) OutOfRange CH2 : # not");
  EXPECT_EQ(CheckName("HV 7.5V [12.25]"), "HV 7.5V [#]");
  EXPECT_EQ(CheckName("value nan and -inf, 5,"), "value # and #, #,");
  EXPECT_EQ(CheckName("TEST STATUS TEMP_1 OK STATE"), "TEST STATUS TEMP_1 OK STATE");
  EXPECT_EQ(CheckName("0x1F ."), "0x1F .");
  EXPECT_EQ(CheckName(""), "");
}

TEST(Spread, MinMedianMax) {
  const history::Spread odd = history::SpreadOf({3, 1, 2});
  EXPECT_EQ(odd.count, 3);
  EXPECT_EQ(odd.min, 1);
  EXPECT_EQ(odd.median, 2);
  EXPECT_EQ(odd.max, 3);
  EXPECT_EQ(history::SpreadOf({4, 1, 2, 10}).median, 3);
  EXPECT_EQ(history::SpreadOf({}).count, 0);
}

// One finished bench run of the status steps; the result lines of its report, prefixes kept.
std::vector<std::string> statusRun(FunctionalRig &r) {
  r.scanBarcodes();
  r.enableOnly({B::EnableTempOtrDac, B::EnablePowerSupplies});
  r.startBench();
  EXPECT_TRUE(r.runToEnd(200.0));
  std::vector<std::string> lines;
  for (const std::string &l : r.reportLines())
    if (l.rfind("PASSED : ", 0) == 0 || l.rfind("***FAILED : ", 0) == 0) lines.push_back(l);
  return lines;
}

std::vector<std::string> storedLines(history::Store &store, long long run) {
  std::string error;
  std::vector<std::string> lines;
  for (const history::ResultRow &r : store.results(run, error))
    lines.push_back((r.passed ? "PASSED : " : "***FAILED : ") + r.check);
  EXPECT_EQ(error, "");
  return lines;
}

class History : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fs::exists(testenv::simLibrary())) << "no simulated bench"; }
  testenv::TempDir dir;
  std::string db() const { return dir.file("results.sqlite"); }
};

// Two runs of the good board and one of a board whose first temperature line is down.
TEST_F(History, LiveRunsHoldTheirReportsLinesAndAnswerTheQuestions) {
  std::vector<std::vector<std::string>> reports;
  std::vector<std::string> folders;
  {
    FunctionalRig good("good", 60.0, db());
    reports.push_back(statusRun(good));
    reports.push_back(statusRun(good));
    FunctionalRig bad("temp1_down", 60.0, db());
    reports.push_back(statusRun(bad));
    EXPECT_TRUE(good.bench->results.isOpen());
  }
  history::Store store(db());
  std::string error;
  // In the order of their starts; each rig's virtual clock starts at the same time, so the
  // defect board's run comes before the good board's second one.
  std::vector<history::RunRow> runs = store.runs({}, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_LT(runs[1].start, runs[2].start);
  std::sort(runs.begin(), runs.end(), [](const auto &a, const auto &b) { return a.id < b.id; });
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(storedLines(store, runs[k].id), reports[k]);
    EXPECT_TRUE(runs[k].finished);
    EXPECT_EQ(runs[k].card, 317);
    EXPECT_EQ(runs[k].variant, "bench");
    EXPECT_EQ(runs[k].how, "ended");
    EXPECT_EQ(runs[k].resultLines, static_cast<int>(reports[k].size()));
  }
  // The board tested again is a run of its own.
  EXPECT_NE(runs[0].report, runs[1].report);
  EXPECT_EQ(runs[0].verdict, "PASSED");
  EXPECT_EQ(runs[1].verdict, "PASSED");
  EXPECT_EQ(runs[2].verdict, "FAILED");
  EXPECT_GT(runs[2].failedLines, 0);

  // Measured values and limits are numbers beside the check.
  const auto results = store.results(runs[2].id, error);
  const auto temp1 = std::find_if(results.begin(), results.end(), [](const auto &r) {
    return r.check.find("TEMP_1") != std::string::npos;
  });
  ASSERT_NE(temp1, results.end());
  EXPECT_FALSE(temp1->passed);
  ASSERT_TRUE(temp1->value && temp1->low && temp1->high);
  EXPECT_EQ(*temp1->value, 0.0);
  EXPECT_EQ(*temp1->low, 1.0);
  EXPECT_EQ(temp1->unit, "bit");
  EXPECT_GT(temp1->stepId, 0);
  EXPECT_EQ(temp1->step, "TEST STATUS TEMP OTR DAC OVERFLOW");

  // Filters.
  EXPECT_EQ(store.runs({.verdict = "failed"}, error).size(), 1u);
  EXPECT_EQ(store.runs({.verdict = "UNFINISHED"}, error).size(), 0u);
  EXPECT_EQ(store.runs({.card = 316}, error).size(), 0u);
  EXPECT_EQ(store.runs({.card = 317, .check = "TEMP_1"}, error).size(), 3u);
  EXPECT_EQ(store.runs({.check = "NO SUCH CHECK"}, error).size(), 0u);
  const std::string day = runs[0].start.substr(0, 10);
  EXPECT_EQ(store.runs({.from = day, .to = day}, error).size(), 3u);
  EXPECT_EQ(store.runs({.to = "2000-01-01"}, error).size(), 0u);
  EXPECT_EQ(store.runs({.from = "9999-01-01"}, error).size(), 0u);
  EXPECT_EQ(error, "");

  // The failing lines ranked: each failed once in three checks.
  const auto failures = store.failures({}, error);
  ASSERT_EQ(failures.size(), static_cast<size_t>(runs[2].failedLines));
  EXPECT_EQ(failures[0].failed, 1);
  EXPECT_EQ(failures[0].checked, 3);
  EXPECT_EQ(failures[0].runs, 1);
  bool sawTemp1 = false;
  for (const auto &f : failures) sawTemp1 |= f.name.find("TEMP_1") != std::string::npos;
  EXPECT_TRUE(sawTemp1);
  EXPECT_TRUE(store.failures({.verdict = "PASSED"}, error).empty());

  // The value across the runs.
  const auto values = store.values("TEMP_1", {}, error);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[1].run.id, runs[2].id);
  const std::string table = history::ValuesTable(values);
  EXPECT_NE(table.find("  3 values  min 0  median 1  max 1  bit  limits 1 .. 1\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find(rt::format("  %6lld  %-19s     317               0  FAILED  1 .. 1\n",
                                  runs[2].id, (day + " " + runs[2].start.substr(11, 8)).c_str())),
            std::string::npos)
      << table;

  const std::string runsTable = history::RunsTable(runs);
  EXPECT_EQ(runsTable.substr(0, runsTable.find('\n') + 1),
            "   RUN  START                  CARD  VARIANT  VERDICT     END      FAILED  LINES  "
            "REPORT\n");
  EXPECT_NE(
      runsTable.find(rt::format("%6lld  %s %s     317  bench    FAILED      ended    %6d  "
                                "%5zu  %s\n",
                                runs[2].id, day.c_str(), runs[2].start.substr(11, 8).c_str(),
                                runs[2].failedLines, reports[2].size(), runs[2].report.c_str())),
      std::string::npos)
      << runsTable;
  EXPECT_TRUE(runsTable.ends_with("     1     12  " + runs[2].report + "\n3 runs\n"));
  const std::string failTable = history::FailuresTable(failures);
  EXPECT_EQ(failTable,
            "FAILED  CHECKED   RUNS  CHECK\n"
            "     1        3      1  TEST STATUS TEMP_1 OK STATE\n"
            "1 check failed\n");

  // JUnit: suites per step, cases per line, one failure per failed line.
  const std::string xml = history::JUnitXml(store, runs, error);
  ASSERT_EQ(error, "");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(xml.c_str()));
  const pugi::xml_node root = doc.child("testsuites");
  ASSERT_TRUE(root);
  int cases = 0, failuresSeen = 0, suites = 0;
  for (const pugi::xml_node suite : root.children()) {
    ASSERT_STREQ(suite.name(), "testsuite");
    ++suites;
    int suiteCases = 0, suiteFailures = 0;
    for (const char *attr : {"name", "tests", "failures", "errors", "time", "timestamp"})
      EXPECT_TRUE(suite.attribute(attr)) << attr;
    for (const pugi::xml_node c : suite.children("testcase")) {
      ++suiteCases;
      EXPECT_TRUE(c.attribute("name") && c.attribute("classname"));
      for (const pugi::xml_node f : c.children("failure")) {
        ++suiteFailures;
        EXPECT_TRUE(f.attribute("message"));
      }
    }
    EXPECT_EQ(suite.attribute("tests").as_int(), suiteCases);
    EXPECT_EQ(suite.attribute("failures").as_int(), suiteFailures);
    cases += suiteCases;
    failuresSeen += suiteFailures;
  }
  EXPECT_EQ(suites, 6);  // two steps in each run
  EXPECT_EQ(cases, static_cast<int>(reports[0].size() + reports[1].size() + reports[2].size()));
  EXPECT_EQ(failuresSeen, runs[2].failedLines);
  EXPECT_EQ(root.attribute("failures").as_int(), failuresSeen);
  EXPECT_EQ(root.attribute("tests").as_int(), cases);
}

// A run the program leaves in the middle of a step keeps every line it wrote, unfinished.
TEST_F(History, RunLeftMidwayIsUnfinishedWithItsLines) {
  std::vector<std::string> lines;
  {
    FunctionalRig r("good", 60.0, db());
    r.scanBarcodes();
    r.enableOnly({B::EnableTempOtrDac, B::EnableCfcError});
    r.startBench();
    EXPECT_FALSE(r.runToEnd(40.0));  // the CFC error step lasts over 100 s
    for (const std::string &l : r.reportLines())
      if (l.rfind("PASSED : ", 0) == 0 || l.rfind("***FAILED : ", 0) == 0) lines.push_back(l);
    ASSERT_FALSE(lines.empty());
  }
  history::Store store(db());
  std::string error;
  const auto runs = store.runs({.verdict = "unfinished"}, error);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_FALSE(runs[0].finished);
  EXPECT_EQ(runs[0].verdict, "UNFINISHED");
  EXPECT_EQ(storedLines(store, runs[0].id), lines);
  EXPECT_EQ(store.steps(runs[0].id, error).size(), 2u);
}

// A store that cannot be opened is said once in the log; the run and its report go on.
TEST_F(History, UnusableStoreLeavesTheRunAlone) {
  testenv::writeFile(dir.file("plain"), "x");
  FunctionalRig r("good", 60.0, dir.file("plain") + "/results.sqlite");
  const auto lines = statusRun(r);
  EXPECT_FALSE(lines.empty());
  EXPECT_EQ(r.failedChecks().size(), 0u);
  const int page = r.p.TestCFCPanel;
  int notices = 0;
  for (int k = 0; k < r.rt().GetNumTextBoxLines(page, ctl::Test::LogBox); ++k)
    notices +=
        r.rt().GetTextBoxLine(page, ctl::Test::LogBox, k).rfind("Results store not written: ", 0) ==
        0;
  EXPECT_EQ(notices, 1);
}

// Import of what earlier runs left: the records give the same rows as the live store, a text
// report without record gives its lines without values, and nothing is imported twice.
TEST_F(History, ImportIsIdempotentAndMatchesTheLiveStore) {
  std::vector<std::string> lines;
  testenv::TempDir reports;
  {
    FunctionalRig r("temp1_down", 60.0, db());
    lines = statusRun(r);
    statusRun(r);
    for (const auto &e : fs::directory_iterator(r.dir.path()))
      if (e.path().extension() == ".jsonl" || e.path().extension() == ".txt")
        fs::copy_file(e.path(), reports.path() / e.path().filename());
  }
  // The second run's report stands alone; the first run's record is cut after its third line.
  fs::remove(reports.path() / "bench_DN_317_1.jsonl");
  std::string record = testenv::readFile((reports.path() / "bench_DN_317_0.jsonl").string());
  const std::string whole = record;
  size_t cut = 0;
  for (int k = 0; k < 5; ++k) cut = record.find('\n', cut) + 1;
  testenv::writeFile((reports.path() / "bench_DN_317_0.jsonl").string(),
                     record.substr(0, cut) + "{not json\n[1]\n" + record.substr(cut));

  history::Store live(db());
  history::Store fresh(dir.file("fresh.sqlite"));
  const history::ImportSummary first = fresh.importFolder(reports.path().string());
  EXPECT_EQ(first.files, 2);
  EXPECT_EQ(first.runs, 2);
  EXPECT_EQ(first.results, static_cast<int>(2 * lines.size()));
  ASSERT_EQ(first.problems.size(), 2u);
  EXPECT_NE(first.problems[0].find("bench_DN_317_0.jsonl: line 6: not a JSON object"),
            std::string::npos)
      << first.problems[0];
  const history::ImportSummary again = fresh.importFolder(reports.path().string());
  EXPECT_EQ(again.runs, 0);
  EXPECT_EQ(again.results, 0);
  EXPECT_EQ(again.known, 2);

  std::string error;
  const auto imported = fresh.runs({}, error);
  const auto liveRuns = live.runs({}, error);
  ASSERT_EQ(imported.size(), 2u);
  ASSERT_EQ(liveRuns.size(), 2u);
  // From the record: every field as the live run holds it.
  const auto fromRecord = fresh.results(imported[0].id, error);
  const auto fromLive = live.results(liveRuns[0].id, error);
  ASSERT_EQ(fromRecord.size(), fromLive.size());
  for (size_t k = 0; k < fromLive.size(); ++k) {
    EXPECT_EQ(fromRecord[k].check, fromLive[k].check);
    EXPECT_EQ(fromRecord[k].passed, fromLive[k].passed);
    EXPECT_EQ(fromRecord[k].value, fromLive[k].value);
    EXPECT_EQ(fromRecord[k].low, fromLive[k].low);
    EXPECT_EQ(fromRecord[k].high, fromLive[k].high);
    EXPECT_EQ(fromRecord[k].unit, fromLive[k].unit);
    EXPECT_EQ(fromRecord[k].step, fromLive[k].step);
  }
  EXPECT_EQ(imported[0].start, liveRuns[0].start);
  EXPECT_EQ(imported[0].verdict, "FAILED");
  EXPECT_EQ(imported[0].origin, "record");
  // From the text report: the lines, card and date, no values.
  const auto textRun = std::find_if(imported.begin(), imported.end(),
                                    [](const auto &r) { return r.origin == "report"; });
  ASSERT_NE(textRun, imported.end());
  EXPECT_EQ(storedLines(fresh, textRun->id), lines);
  EXPECT_EQ(textRun->card, 317);
  EXPECT_EQ(textRun->pcbVersion, 7);
  EXPECT_EQ(textRun->verdict, "FAILED");
  EXPECT_EQ(textRun->start.substr(0, 19), liveRuns[1].start.substr(0, 19));
  for (const auto &r : fresh.results(textRun->id, error)) EXPECT_FALSE(r.value) << r.check;

  // The live store already holds both runs: importing their records adds nothing.
  fs::remove(reports.path() / "bench_DN_317_1.txt");
  testenv::writeFile((reports.path() / "bench_DN_317_0.jsonl").string(), whole);
  const history::ImportSummary intoLive = live.importFolder(reports.path().string());
  EXPECT_EQ(intoLive.runs, 0);
  EXPECT_EQ(intoLive.known, 1);
  EXPECT_TRUE(intoLive.problems.empty());

  // A record cut before its end imports as unfinished; a missing folder is a problem, no crash.
  testenv::TempDir cutDir;
  testenv::writeFile(cutDir.file("cut_DN_1_0.jsonl"), whole.substr(0, cut));
  history::Store third(dir.file("third.sqlite"));
  EXPECT_EQ(third.importFolder(cutDir.path().string()).runs, 1);
  EXPECT_EQ(third.runs({.verdict = "UNFINISHED"}, error).size(), 1u);
  EXPECT_FALSE(third.importFolder(dir.file("missing")).problems.empty());
}

TEST(HistoryFilter, DatesAndVerdictsAreChecked) {
  std::string error;
  EXPECT_TRUE(history::ValidFilter({.from = "2026-12-07", .verdict = "Passed"}, error));
  EXPECT_FALSE(history::ValidFilter({.from = "2026-13-07"}, error));
  EXPECT_EQ(error, "date '2026-13-07' is not YYYY-MM-DD");
  EXPECT_FALSE(history::ValidFilter({.to = "7.12.2026"}, error));
  EXPECT_FALSE(history::ValidFilter({.verdict = "maybe"}, error));
  EXPECT_EQ(error, "verdict 'maybe' is not PASSED, FAILED or UNFINISHED");
}

}  // namespace
