// The results store: every functional-test run of the bench in one SQLite database, filled while
// the run goes (as the report's run sink), by importing records and reports written before, and
// asked by the history questions of the command line and the desktop program.
//
// Tables: runs (board, start, variant, report, verdict, finished), steps (each step's start) and
// results (one row per result line, in report order: check text, its normalised name, pass flag,
// weight, clock, and the measured value with unit and limits as numbers where the step declared
// them). Every live row is committed on its own, so a killed program keeps what it wrote; its
// run stays marked unfinished. A run is known by its report name and start: a board tested again
// is a new run, and importing a run the store already holds adds nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "functest/run_sink.h"
#include "history/sqlite.h"

namespace history {

// $XDG_DATA_HOME/tessock/results.sqlite (an absolute XDG_DATA_HOME only), else
// ~/.local/share/tessock/results.sqlite.
std::string defaultStorePath();

// The name under which results of one check are compared across runs: the check text with every
// number standing as a word of its own (a measured value, a time) replaced by "#" and runs of
// blanks made one; numbers inside a word ("CH3", "V7") stay. "Offset current calc CH1 : 0.52
// [pA]" and "... CH1 : -3.10 [pA]" share "Offset current calc CH1 : # [pA]".
std::string CheckName(const std::string &checkText);

// Which runs a question is about. Empty fields do not filter.
struct Filter {
  std::optional<long long> card = {};
  std::string from = {}, to = {};  // YYYY-MM-DD, inclusive, on the run's local start date
  std::string verdict = {};        // PASSED, FAILED or UNFINISHED (any case)
  std::string check = {};          // runs with a result line whose check text contains this
};
// Checks a filter's dates and verdict; false with a message.
bool ValidFilter(const Filter &filter, std::string &error);

struct RunRow {
  long long id = 0;
  std::string start, variant, report, program, how, failCopy, origin;
  long long card = 0;
  int pcbVersion = 0;
  bool finished = false;
  std::string verdict;  // PASSED, FAILED, or UNFINISHED for a run without its end
  double errorCounts = 0;
  int resultLines = 0, failedLines = 0;
};

struct StepRow {
  long long id = 0;
  int state = 0;
  std::string title;
  double clock = 0;
};

struct ResultRow {
  long long runId = 0, stepId = 0;  // stepId 0: no step known (imported from a text report)
  int line = 0;                     // 1, 2, ... in report order within the run
  int state = -1;
  std::string step, check, name, unit;
  bool passed = false;
  int weight = 1;
  double clock = 0;
  std::optional<double> value, low, high;
};

struct FailureRow {
  std::string name;
  int failed = 0;   // failed result lines
  int checked = 0;  // result lines of this check in the selected runs
  int runs = 0;     // runs with at least one failure of it
};

struct ValueRow {
  RunRow run;
  ResultRow result;
};

struct ImportSummary {
  int files = 0;                      // record and report files read
  int runs = 0;                       // runs added
  int results = 0;                    // result lines added
  int known = 0;                      // runs found already in the store
  std::vector<std::string> problems;  // "file: line N: what", files or lines left out
};

class Store : public functest::RunSink {
 public:
  explicit Store(std::string path = {});  // empty: defaultStorePath()
  ~Store() override;
  Store(const Store &) = delete;
  Store &operator=(const Store &) = delete;

  const std::string &path() const { return path_; }
  // Opens the store, making its folder and tables when missing. A live run opens it itself.
  bool open(std::string &reason);
  bool isOpen() const { return db_.isOpen(); }

  // The run sink: one committed row per event.
  std::string runBegun(const functest::RunEvent &run) override;
  std::string stepBegun(int state, const std::string &title, double clock) override;
  std::string resultWritten(const functest::ResultEvent &result) override;
  std::string runEnded(const functest::EndEvent &end) override;
  long long liveRun() const { return liveRun_; }

  // Reads every record (*.jsonl) under `folder`, and every report (*_DN_*_*.txt) that has no
  // record beside it, into the store; one transaction per file.
  ImportSummary importFolder(const std::string &folder);
  void importRecord(const std::string &path, ImportSummary &summary);
  void importReport(const std::string &path, ImportSummary &summary);

  // The questions. On a store error they answer nothing and set `error`.
  std::vector<RunRow> runs(const Filter &filter, std::string &error);
  std::vector<StepRow> steps(long long runId, std::string &error);
  std::vector<ResultRow> results(long long runId, std::string &error);
  // Checks that failed in the selected runs, most failed first.
  std::vector<FailureRow> failures(const Filter &filter, std::string &error);
  // Measured values of the checks whose name contains `check`, by check name, then start.
  std::vector<ValueRow> values(const std::string &check, const Filter &filter, std::string &error);

 private:
  struct NewRun;
  // Inserts a run unless one with its report and start is there; 0 when it was (or on error,
  // with `reason` set).
  long long insertRun(const NewRun &run, std::string &reason);
  bool insertResult(long long runId, long long stepId, int line, const ResultRow &r,
                    std::string &reason);
  bool ensureOpen(std::string &reason);

  std::string path_;
  Database db_;
  long long liveRun_ = 0, liveStep_ = 0;
  int liveLine_ = 0;
};

}  // namespace history
