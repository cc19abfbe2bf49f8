// The results store: runs on the simulated bench land in it with exactly their reports' result
// lines; an interrupted run stays unfinished with what it wrote; import of records and text
// reports is idempotent; the history questions and the JUnit export answer from it.
//
// One suite, run against both backends: a SQLite file and a PostgreSQL server of the tests' own
// (TESSOCK_TEST_PG, started by the CTest fixture "postgres").
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <pugixml.hpp>
#include <regex>
#include <thread>

#include "history/live_writer.h"
#include "history/outbox.h"
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

// Stores of the backend under test: files in the test's folder, or databases of their own on
// the tests' server, dropped at the end.
class History : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(testenv::simLibrary())) << "no simulated bench";
    if (!server()) return;
    const char *uri = std::getenv("TESSOCK_TEST_PG");
    ASSERT_TRUE(uri && *uri) << "TESSOCK_TEST_PG unset: the tests' PostgreSQL server is missing";
    base_ = uri;
    std::string error;
    ASSERT_TRUE(admin_.open(base_, history::Database::Mode::Write, 5000, error)) << error;
  }
  void TearDown() override {
    std::string ignored;
    for (const std::string &name : made_)
      admin_.exec("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)", ignored);
  }
  bool server() const { return GetParam() == "postgresql"; }
  // A store location not made yet (`create` false: a server database that does not exist).
  // A server's database is set up as its administrator does (`setUp`), else left empty.
  std::string store(const std::string &name, bool create = true, bool setUp = true) {
    if (!server()) return dir.file(name + ".sqlite");
    const std::string db = "t" + std::to_string(::getpid()) + "_" + name;
    std::string error;
    if (create) {
      EXPECT_TRUE(admin_.exec("CREATE DATABASE " + db, error)) << error;
      if (setUp) setUpStore(locationOf(db));
    }
    made_.push_back(db);
    return locationOf(db);
  }
  static void setUpStore(const std::string &location) {
    std::vector<std::string> said;
    std::string error;
    history::Store admin(location);
    EXPECT_TRUE(admin.setUp(said, error)) << error;
  }
  std::string locationOf(const std::string &db) const {
    std::string uri = base_;
    return uri.replace(uri.find("/postgres?"), 10, "/" + db + "?");
  }
  std::string db() {
    if (db_.empty()) db_ = store("results");
    return db_;
  }
  // A store that cannot be reached yet: a file where its folder should be, or a server database
  // that is not made yet. `reach()` makes it reachable.
  std::string unreachableStore() {
    testenv::writeFile(dir.file("plain"), "x");
    return server() ? store("later", false) : dir.file("plain") + "/results.sqlite";
  }
  void reach() {
    std::string error;
    if (server()) {
      ASSERT_TRUE(admin_.exec("CREATE DATABASE t" + std::to_string(::getpid()) + "_later", error))
          << error;
      setUpStore(locationOf("t" + std::to_string(::getpid()) + "_later"));
    } else
      fs::remove(dir.file("plain"));
  }
  testenv::TempDir dir;
  history::Database admin_;
  std::string base_, db_;
  std::vector<std::string> made_;
};

INSTANTIATE_TEST_SUITE_P(Backends, History, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

// Two runs of the good board and one of a board whose first temperature line is down.
TEST_P(History, LiveRunsHoldTheirReportsLinesAndAnswerTheQuestions) {
  std::vector<std::vector<std::string>> reports;
  std::vector<std::string> folders;
  {
    FunctionalRig good("good", 60.0, db());
    good.test().report.setStation("bench-1");
    reports.push_back(statusRun(good));
    reports.push_back(statusRun(good));
    FunctionalRig bad("temp1_down", 60.0, db());
    bad.test().report.setStation("bench-2");
    reports.push_back(statusRun(bad));
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
    EXPECT_EQ(runs[k].station, k < 2 ? "bench-1" : "bench-2");
    EXPECT_EQ(runs[k].board, "BRD-0000000000000317");
    EXPECT_EQ(runs[k].program.rfind("tessock ", 0), 0u) << runs[k].program;
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
  EXPECT_EQ(store.runs({.station = "bench-2"}, error).size(), 1u);
  EXPECT_EQ(store.runs({.board = "BRD-0000000000000317"}, error).size(), 3u);
  EXPECT_EQ(store.runs({.station = "bench-1", .board = "BRD-0000000000000316"}, error).size(), 0u);
  EXPECT_EQ(error, "");

  // First-pass yield: the board passed its first run on bench 1 and was tested again there;
  // on bench 2 its only run failed. Over the day, its first run counts.
  const auto byStation = store.yield({}, history::YieldBy::Station, error);
  ASSERT_EQ(byStation.size(), 2u);
  EXPECT_EQ(byStation[0].group, "bench-1");
  EXPECT_EQ(byStation[0].boards, 1);
  EXPECT_EQ(byStation[0].firstPassed, 1);
  EXPECT_EQ(byStation[0].runs, 2);
  EXPECT_EQ(byStation[0].retests, 1);
  EXPECT_EQ(byStation[1].firstPassed, 0);
  EXPECT_EQ(byStation[1].retests, 0);
  const auto byWeek = store.yield({}, history::YieldBy::Week, error);
  ASSERT_EQ(byWeek.size(), 1u);
  EXPECT_EQ(byWeek[0].group.size(), 8u);
  EXPECT_EQ(byWeek[0].group.substr(4, 2), "-W");
  EXPECT_EQ(byWeek[0].runs, 3);
  EXPECT_EQ(byWeek[0].retests, 2);
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
  const auto perStation = store.failures({}, error, true);
  ASSERT_EQ(perStation.size(), failures.size());
  EXPECT_EQ(perStation[0].station, "bench-2");
  EXPECT_EQ(perStation[0].checked, 1);

  // The value across the runs.
  const auto values = store.values("TEMP_1", {}, error);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[1].run.id, runs[2].id);
  const std::string table = history::ValuesTable(values);
  EXPECT_NE(table.find("  3 values  min 0  median 1  max 1  bit  limits 1 .. 1\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find(rt::format("  %6lld  %-19s  bench-2          317               0  FAILED  "
                                  "1 .. 1\n",
                                  runs[2].id, (day + " " + runs[2].start.substr(11, 8)).c_str())),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("  station bench-2       1 value  min 0  median 0  max 0\n"),
            std::string::npos)
      << table;
  // CSV: a heading, one line per value, a field with a comma quoted.
  const std::string csv = history::ValuesCsv(values);
  EXPECT_EQ(csv.substr(0, csv.find('\n') + 1),
            "check,run,start,station,card,value,unit,low,high,result\r\n");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 4);
  std::vector<history::RunRow> odd = {runs[0]};
  odd[0].station = "=cmd,\"x\"";
  EXPECT_NE(history::RunsCsv(odd).find(",\"'=cmd,\"\"x\"\"\","), std::string::npos)
      << history::RunsCsv(odd);

  const std::string runsTable = history::RunsTable(runs);
  EXPECT_EQ(runsTable.substr(0, runsTable.find('\n') + 1),
            "   RUN  START                STATION         CARD  VARIANT  VERDICT     END      "
            "FAILED  LINES  REPORT\n");
  EXPECT_NE(
      runsTable.find(rt::format("%6lld  %s %s  bench-2          317  bench    FAILED      ended    "
                                "%6d  %5zu  %s\n",
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
  double allCaseTime = 0;
  for (const pugi::xml_node suite : root.children()) {
    ASSERT_STREQ(suite.name(), "testsuite");
    ++suites;
    int suiteCases = 0, suiteFailures = 0;
    for (const char *attr : {"name", "tests", "failures", "errors", "time", "timestamp"})
      EXPECT_TRUE(suite.attribute(attr)) << attr;
    EXPECT_EQ(std::string(suite.attribute("hostname").value()).rfind("bench-", 0), 0u);
    double caseTime = 0;
    for (const pugi::xml_node c : suite.children("testcase")) {
      ++suiteCases;
      EXPECT_TRUE(c.attribute("name") && c.attribute("classname"));
      EXPECT_FALSE(std::string(c.attribute("name").value()).ends_with(" "));
      caseTime += c.attribute("time").as_double();
      for (const pugi::xml_node f : c.children("failure")) {
        ++suiteFailures;
        EXPECT_TRUE(f.attribute("message"));
      }
    }
    EXPECT_EQ(suite.attribute("tests").as_int(), suiteCases);
    EXPECT_NEAR(suite.attribute("time").as_double(), caseTime, 0.002 * (suiteCases + 1));
    allCaseTime += caseTime;
    EXPECT_EQ(suite.attribute("failures").as_int(), suiteFailures);
    cases += suiteCases;
    failuresSeen += suiteFailures;
  }
  EXPECT_EQ(suites, 6);  // two steps in each run
  EXPECT_GT(allCaseTime, 0.0);
  EXPECT_EQ(cases, static_cast<int>(reports[0].size() + reports[1].size() + reports[2].size()));
  EXPECT_EQ(failuresSeen, runs[2].failedLines);
  EXPECT_EQ(root.attribute("failures").as_int(), failuresSeen);
  EXPECT_EQ(root.attribute("tests").as_int(), cases);
}

// A run the program leaves in the middle of a step keeps every line it wrote, unfinished.
TEST_P(History, RunLeftMidwayIsUnfinishedWithItsLines) {
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

// A store that cannot be reached is said in the log (at most once while the run goes, and with
// the reason at its end, when the writer may have met it only after the last line); the run and
// its report go on, the run waits in the outbox, and a sync once the store is there stores every
// line of it.
TEST_P(History, UnreachableStoreKeepsTheRunForTheSync) {
  const std::string location = unreachableStore();
  FunctionalRig r("good", 60.0, location);
  const std::vector<std::string> lines = statusRun(r);
  EXPECT_FALSE(lines.empty());
  EXPECT_EQ(r.failedChecks().size(), 0u);
  const int page = r.p.TestCFCPanel;
  int notices = 0, waiting = 0;
  for (int k = 0; k < r.rt().GetNumTextBoxLines(page, ctl::Test::LogBox); ++k) {
    const std::string line = r.rt().GetTextBoxLine(page, ctl::Test::LogBox, k);
    notices += line.rfind("Results store not written: ", 0) == 0;
    waiting += line.find(std::to_string(lines.size()) + " result lines and the end") !=
                   std::string::npos &&
               line.find(" are not in the results store " + history::ShownLocation(location) +
                         " (") != std::string::npos;
  }
  EXPECT_LE(notices, 1);
  EXPECT_EQ(waiting, 1);
  r.bench->ShutDown();  // the program ends; the record stays
  history::Outbox outbox(location);
  ASSERT_EQ(outbox.entries(true).size(), 1u);
  std::string error;
  ASSERT_NO_FATAL_FAILURE(reach());
  history::Store later(location);
  ASSERT_TRUE(later.open(error)) << error;
  const history::Outbox::SyncResult synced = outbox.sync(later);
  EXPECT_EQ(synced.records, 1);
  EXPECT_TRUE(synced.summary.problems.empty());
  EXPECT_TRUE(outbox.entries(false).empty());
  const auto runs = later.runs({}, error);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].verdict, "PASSED");
  EXPECT_EQ(storedLines(later, runs[0].id), lines);
  EXPECT_FALSE(runs[0].station.empty());  // the host name
}

// The desktop program's writer (automatic sync) stores a run that waited in the outbox by
// itself, as soon as the store can be reached, without an operator's --sync.
TEST_P(History, WriterWithAutomaticSyncStoresTheRunThatWaited) {
  const std::string location = unreachableStore();
  FunctionalRig r("good", 60.0, location);  // stays: its folder holds the record
  const std::vector<std::string> lines = statusRun(r);
  r.bench->ShutDown();
  history::Outbox outbox(location);
  ASSERT_EQ(outbox.entries(true).size(), 1u);
  std::string error;
  ASSERT_NO_FATAL_FAILURE(reach());
  {
    // No run goes: the idle writer syncs at once, then every 30 s.
    history::LiveWriter writer(location, true);
    for (int k = 0; k < 200 && !outbox.entries(false).empty(); ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(outbox.entries(false).empty());
    EXPECT_EQ(writer.finish(5.0), "");
  }
  history::Store stored(location);
  const auto runs = stored.runs({}, error);
  ASSERT_EQ(runs.size(), 1u) << error;
  EXPECT_EQ(runs[0].verdict, "PASSED");
  EXPECT_EQ(storedLines(stored, runs[0].id), lines);
}

// What is not this program's store, or is of a newer version, is refused and left as it is; a
// store of the version before is brought up to date with its runs.
TEST_P(History, StoresAreRecognisedAndBroughtUpToDate) {
  {
    FunctionalRig r("good", 60.0, db());
    r.test().report.setStation("bench-1");
    statusRun(r);
  }
  std::string error;
  history::Database raw;
  // The store as the version before this one made it: no station, no indexes of its own.
  ASSERT_TRUE(raw.open(db(), history::Database::Mode::Write, 5000, error)) << error;
  ASSERT_TRUE(
      raw.exec("DROP INDEX runs_board; DROP INDEX runs_station; DROP INDEX runs_start; "
               "ALTER TABLE runs DROP COLUMN station; ALTER TABLE runs DROP COLUMN store_start; "
               "ALTER TABLE runs DROP COLUMN store_end; ALTER TABLE runs DROP COLUMN stored_by; " +
                   raw.connection().marksSql(history::Store::kApplicationId, 2),
               error))
      << error;
  raw.close();
  {
    history::Store old(db());
    const auto runs = old.runs({}, error);  // read-only: answered as it is
    ASSERT_EQ(runs.size(), 1u) << error;
    EXPECT_EQ(runs[0].station, "");
  }
  {
    history::Store writer(db());
    ASSERT_TRUE(writer.open(error)) << error;  // writing: brought up to date
  }
  {
    history::Store updated(db());
    const auto runs = updated.runs({.station = ""}, error);
    ASSERT_EQ(runs.size(), 1u) << error;
    EXPECT_EQ(runs[0].verdict, "PASSED");
    EXPECT_EQ(runs[0].resultLines, 12);
  }
  ASSERT_TRUE(raw.open(db(), history::Database::Mode::Write, 5000, error)) << error;
  history::Statement st = raw.prepare("SELECT COUNT(*) FROM runs WHERE station IS NULL", error);
  ASSERT_TRUE(st && st.step()) << error;
  EXPECT_EQ(st.integer(0), 1);

  // Newer: refused, untouched.
  ASSERT_TRUE(raw.exec(raw.connection().marksSql(history::Store::kApplicationId, 99), error));
  history::Store newer(db());
  EXPECT_FALSE(newer.open(error));
  EXPECT_NE(error.find("a results store of a newer version (99"), std::string::npos) << error;
  // Another program's database: refused, its table left alone.
  const std::string foreign = store("foreign", true, false);
  history::Database other;
  ASSERT_TRUE(other.open(foreign, history::Database::Mode::Write, 5000, error)) << error;
  ASSERT_TRUE(other.exec("CREATE TABLE parts(id INTEGER)", error)) << error;
  history::Store notOurs(foreign);
  EXPECT_FALSE(notOurs.open(error));
  EXPECT_NE(error.find("not a Tessock results store"), std::string::npos) << error;
  EXPECT_FALSE(notOurs.openReadOnly(error));
  history::Statement tables =
      other.prepare("SELECT COUNT(*) FROM runs", error);  // no store was made in it
  EXPECT_FALSE(tables && tables.step());
}

// Import of what earlier runs left: the records give the same rows as the live store, a text
// report without record gives its lines without values, and nothing is imported twice.
TEST_P(History, ImportIsIdempotentAndMatchesTheLiveStore) {
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
  history::Store fresh(store("fresh"));
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
  // Lines of the run were left out: whatever they held, the run cannot keep its verdict.
  EXPECT_EQ(imported[0].verdict, "INCOMPLETE");
  EXPECT_NE(imported[0].reason.find("bench_DN_317_0.jsonl: line 6: not a JSON object"),
            std::string::npos)
      << imported[0].reason;
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
  history::Store third(store("third"));
  EXPECT_EQ(third.importFolder(cutDir.path().string()).runs, 1);
  EXPECT_EQ(third.runs({.verdict = "UNFINISHED"}, error).size(), 1u);
  EXPECT_FALSE(third.importFolder(dir.file("missing")).problems.empty());
}

// The administrator's set-up makes the store once (a second time changes nothing); a bench on a
// server's empty database does not make it and names the set-up.
TEST_P(History, SetUpMakesTheStoreAndABenchDoesNot) {
  const std::string location = server() ? store("setup", true, false) : dir.file("setup.sqlite");
  std::string error;
  if (server()) {
    history::Store bench(location);
    EXPECT_FALSE(bench.open(error));
    EXPECT_TRUE(bench.lastFailureRefused());
    EXPECT_NE(error.find("the results store is not set up; its administrator sets it up with "
                         "tessock-cli --results-db " +
                         history::ShownLocation(location) + " --init-store"),
              std::string::npos)
        << error;
    history::Database raw;
    ASSERT_TRUE(raw.open(location, history::Database::Mode::Write, 5000, error)) << error;
    history::Statement tables = raw.prepare(
        "SELECT COUNT(*) FROM pg_tables WHERE schemaname = "
        "current_schema()",
        error);
    ASSERT_TRUE(tables && tables.step()) << error;
    EXPECT_EQ(tables.integer(0), 0);
  }
  const std::string version = std::to_string(history::Store::kVersion);
  const std::string roles =
      "roles: none on a SQLite file; whoever may write the file may change it";
  std::vector<std::string> said;
  {
    history::Store admin(location);
    ASSERT_TRUE(admin.setUp(said, error)) << error;
  }
  ASSERT_GE(said.size(), 3u);
  EXPECT_EQ(said.front(), "store: made, version " + version);
  EXPECT_EQ(said.back(), "done");
  if (server()) {
    for (const char *granted : {"role tessock_bench: granted INSERT on results",
                                "role tessock_bench: granted UPDATE (finished) on runs",
                                "role tessock_reader: granted SELECT on tessock_store"})
      EXPECT_NE(std::find(said.begin(), said.end(), granted), said.end()) << granted;
  } else {
    EXPECT_EQ(said[1], roles);
  }
  said.clear();
  history::Store again(location);
  ASSERT_TRUE(again.setUp(said, error)) << error;
  const std::vector<std::string> unchanged =
      server() ? std::vector<std::string>{"store: version " + version + ", up to date",
                                          "nothing changed"}
               : std::vector<std::string>{"store: version " + version + ", up to date", roles,
                                          "nothing changed"};
  EXPECT_EQ(said, unchanged);
}

// Each run keeps when the store received its start and end (the server's clock; a file's: the
// writer's, UTC) beside the bench's start.
TEST_P(History, RunsKeepTheStoreTimes) {
  {
    FunctionalRig r("good", 60.0, db());
    statusRun(r);
  }
  history::Store store(db());
  std::string error;
  const auto runs = store.runs({}, error);
  ASSERT_EQ(runs.size(), 1u) << error;
  const std::regex utc("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  EXPECT_TRUE(std::regex_match(runs[0].storeStart, utc)) << runs[0].storeStart;
  EXPECT_TRUE(std::regex_match(runs[0].storeEnd, utc)) << runs[0].storeEnd;
  EXPECT_LE(runs[0].storeStart, runs[0].storeEnd);
  EXPECT_TRUE(history::ClockDifference(runs[0]).has_value());
}

// The bench's clock against the store's: flagged beyond five minutes either way, for live runs
// only, and said at the end of the run's line.
TEST(ClockDifference, FlaggedBeyondFiveMinutesOnLiveRuns) {
  struct Case {
    const char *origin, *start, *storeStart;
    std::optional<long long> difference;
    const char *mark;  // the line under the run's in --history, "" for none
  };
  const Case cases[] = {
      {"live", "2026-12-07T09:15:02+01:00", "2026-12-07T06:10:02Z", 7500,
       "     !  bench clock 2 h 5 min ahead of the store's\n"},
      {"live", "2026-12-07T09:15:02+01:00", "2026-12-07T08:20:03Z", -301,
       "     !  bench clock 5 min 1 s behind the store's\n"},
      {"live", "2026-12-07T09:15:02+01:00", "2026-12-07T08:20:02Z", -300, ""},
      {"live", "2026-12-08T00:00:00-05:00", "2026-12-06T04:59:00Z", 2 * 86400 + 60,
       "     !  bench clock 2 d 0 h ahead of the store's\n"},
      {"record", "2026-12-07T09:15:02+01:00", "2026-12-09T06:10:02Z", std::nullopt, ""},
      {"live", "2026-12-07T09:15:02+01:00", "", std::nullopt, ""},
      {"live", "2026-12-07T09:15:02", "2026-12-07T06:10:02Z", std::nullopt, ""},
  };
  for (const Case &c : cases) {
    history::RunRow r;
    r.origin = c.origin;
    r.start = c.start;
    r.storeStart = c.storeStart;
    r.report = "R";
    EXPECT_EQ(history::ClockDifference(r), c.difference) << c.start << " " << c.storeStart;
    const std::string table = history::RunsTable({r});
    EXPECT_EQ(table.substr(table.find(" R\n") + 3), std::string(c.mark) + "1 run\n") << table;
  }
}

TEST(HistoryFilter, DatesAndVerdictsAreChecked) {
  std::string error;
  EXPECT_TRUE(history::ValidFilter({.from = "2026-12-07", .verdict = "Passed"}, error));
  EXPECT_FALSE(history::ValidFilter({.from = "2026-13-07"}, error));
  EXPECT_EQ(error, "date '2026-13-07' is not a calendar date YYYY-MM-DD");
  EXPECT_FALSE(history::ValidFilter({.to = "7.12.2026"}, error));
  EXPECT_FALSE(history::ValidFilter({.to = "2026-02-30"}, error));
  EXPECT_FALSE(history::ValidFilter({.to = "2025-02-29"}, error));
  EXPECT_TRUE(history::ValidFilter({.to = "2024-02-29"}, error));
  EXPECT_FALSE(history::ValidFilter({.verdict = "maybe"}, error));
  EXPECT_EQ(error, "verdict 'maybe' is not PASSED, FAILED, STOPPED, INCOMPLETE or UNFINISHED");
}

}  // namespace
