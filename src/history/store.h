// The results store: every functional-test run of the bench in one database (a SQLite file for one
// bench, a PostgreSQL server for a lab's benches, see database.h), filled while
// the run goes (as the report's run sink), by importing records and reports written before, and
// asked by the history questions of the command line and the desktop program.
//
// Tables: runs (board, start, variant, report, verdict, finished), steps (each step's start) and
// results (one row per result line, in report order: check text, its normalised name, pass flag,
// weight, clock, and the measured value with unit and limits as numbers where the step declared
// them). Every live row is committed on its own, so a killed program keeps what it wrote; its
// run stays marked unfinished. A run is known by its report name and start: a board tested again
// is a new run; importing a run the store holds whole adds nothing, importing the record of a
// run it holds in part adds the missing lines and the end.
//
// The database is recognised before anything is written to it: its marks (SQLite: application_id
// and user_version; PostgreSQL: the table tessock_store) are the store's own. A database of another
// program, or of a newer store version, is refused and left as it is; a store of an older version
// is brought up to date in one transaction.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "functest/run_sink.h"
#include "history/database.h"

namespace history {

// $XDG_DATA_HOME/tessock/results.sqlite (an absolute XDG_DATA_HOME only), else
// ~/.local/share/tessock/results.sqlite.
std::string defaultStorePath();

// The results settings of the program beside its settings file (whose fixed layout has no place
// for them): $XDG_CONFIG_HOME/tessock/results.conf, else ~/.config/tessock/results.conf, lines
// "results-db = FILE or URI" and "station = NAME" ('#' starts a comment). Empty when not set.
std::string ConfiguredResults(const std::string &key);

// The store used when no option names one: the configured one, else defaultStorePath().
std::string configuredStoreLocation();

// The bench's name when no option gives one: the configured one, else the host name.
std::string defaultStation();

// The name under which results of one check are compared across runs: the check text with every
// number standing as a word of its own (a measured value, a time) replaced by "#" and runs of
// blanks made one; numbers inside a word ("CH3", "V7") stay. "Offset current calc CH1 : 0.52
// [pA]" and "... CH1 : -3.10 [pA]" share "Offset current calc CH1 : # [pA]".
std::string CheckName(const std::string &checkText);

// Which runs a question is about. Empty fields do not filter.
struct Filter {
  std::optional<long long> card = {};
  std::string from = {}, to = {};  // YYYY-MM-DD, inclusive, on the run's local start date
  std::string verdict = {};        // PASSED, FAILED, STOPPED, INCOMPLETE or UNFINISHED (any case)
  std::string check = {};          // runs with a result line whose check text contains this
  std::string station = {};        // runs of this bench
  std::string board = {};          // runs of the board with this barcode
};
// Checks a filter's dates (calendar dates) and verdict; false with a message.
bool ValidFilter(const Filter &filter, std::string &error);

// Whether `text` is a calendar date YYYY-MM-DD (2026-02-30 is not).
bool ValidDate(const std::string &text);

struct RunRow {
  long long id = 0;
  std::string start, variant, report, program, how, failCopy, origin, station, board;
  long long card = 0;
  int pcbVersion = 0;
  bool finished = false;
  // PASSED, FAILED, STOPPED (the operator's stop), INCOMPLETE (its report, record or store
  // lost lines; `reason` says which), or UNFINISHED for a run without its end.
  std::string verdict, reason;
  double errorCounts = 0;
  int resultLines = 0, failedLines = 0;
  // The steps switched on at the start, in run order; none when not known (stored before they
  // were kept).
  std::optional<std::vector<int>> stepsOn;
  // "PASSED – 3 of 15 steps" for a partial run that passed, else the verdict.
  std::string shownVerdict() const;
  // When the store received the run's start and its end, by the store's clock (UTC,
  // "2026-12-07T08:15:04Z"); empty when not known (runs stored by an older program).
  std::string storeStart, storeEnd;
};

// The bench's clock against the store's: how many seconds the run's start (the bench's clock)
// lies after the store's receipt of it (negative: before); none for a run the store did not
// receive live or whose receipt it does not know. A run whose start waited for the store
// (unreachable, locked) shows the wait as well.
std::optional<long long> ClockDifference(const RunRow &run);
// Beyond this the bench's clock is said to differ from the store's.
inline constexpr long long kClockToleranceSeconds = 300;
bool ClockDiffers(std::optional<long long> seconds);
bool ClockDiffers(const RunRow &run);
// "bench clock 2 h 5 min ahead of the store's" ("behind" for a negative difference).
std::string ClockDifferenceText(long long seconds);

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
  std::string station;  // empty unless the rows are per station
  std::string name;
  int failed = 0;   // failed result lines
  int checked = 0;  // result lines of this check in the selected runs
  int runs = 0;     // runs with at least one failure of it
};

struct ValueRow {
  RunRow run;
  ResultRow result;
};

// First-pass yield: of the boards tested in a period (or on a station), how many passed their
// first run there, and how many runs were retests of a board already tested in it.
struct YieldRow {
  std::string group;  // the day (YYYY-MM-DD), the week (YYYY-Www) or the station
  int boards = 0, firstPassed = 0, runs = 0, retests = 0;
};
enum class YieldBy { Day, Week, Station };

struct ImportSummary {
  int files = 0;                      // record and report files read
  int runs = 0;                       // runs added
  int results = 0;                    // result lines added
  int known = 0;                      // runs found already in the store, whole
  int completed = 0;                  // runs the store held in part, completed
  std::vector<std::string> problems;  // "file: line N: what", files or lines left out
};

class Store : public functest::RunSink {
 public:
  explicit Store(std::string path = {});  // empty: configuredStoreLocation()
  ~Store() override;
  Store(const Store &) = delete;
  Store &operator=(const Store &) = delete;

  // The store's application_id and its schema version (user_version).
  static constexpr int kApplicationId = 0x54534b52;  // "TSKR"
  static constexpr int kVersion = 6;

  // The store's location as it may be shown (a server's password hidden).
  const std::string &path() const { return name_; }
  // The location as given, for another connection to the same store; never to be shown (a
  // server's password is in it).
  const std::string &location() const { return path_; }
  bool isServer() const { return IsServerLocation(path_); }
  // Opens the store for writing, making its folder and tables when missing, bringing an older
  // store up to date; refuses (and leaves untouched) what is not a store of this program or is
  // of a newer version. `busyMs`: how long a write waits for another program's lock. Every
  // reason names the file.
  bool open(std::string &reason, int busyMs = 5000);
  // The administrator's set-up of a store (--init-store, as the tables' owner): makes the store
  // or brings it up to date, and on a server puts the store's rules in place and gives the two
  // group roles (tessock_bench, tessock_reader) exactly their privileges. `said` gets a line per
  // change, then "done", or "nothing changed" when everything was in place.
  bool setUp(std::vector<std::string> &said, std::string &reason);
  // The bench check of the store, writing nothing: reachable, a store of a version this program
  // knows, this role may do what a bench does, and the clock difference to a server (`benchNow`:
  // the bench's clock, seconds since 1970). `lines` say what was found, `faults` each problem.
  struct Check {
    std::vector<std::string> lines, faults;
  };
  Check checkForBench(long long benchNow);
  // Opens the store to question it, never writing: also on a read-only file or mount. A store
  // not made yet answers as an empty one.
  bool openReadOnly(std::string &reason);
  bool isOpen() const { return db_.isOpen(); }
  void close() { db_.close(); }
  // Once `flag` is set, a wait for a server's answer ends at once (Database::setInterrupt).
  void setInterrupt(const std::atomic<bool> *flag) { db_.setInterrupt(flag); }
  // Told what a long change of the store (bringing an older store up to date) is doing while it
  // runs, on the thread that opens the store.
  void setProgress(std::function<void(const std::string &)> progress) {
    progress_ = std::move(progress);
  }
  // Whether the last failed write met another program's lock (worth trying again).
  bool lastFailureBusy() const { return db_.lastFailureBusy(); }
  // Whether the last failed open or write was refused for good: the role lacks a privilege, a
  // rule of the store forbids it, or a server's store is not set up. Trying again changes
  // nothing until the administrator does.
  bool lastFailureRefused() const { return refused_; }
  // Whether the last runBegun found its run stored already (its lines are not added again).
  bool runWasStored() const { return runWasStored_; }

  // The run sink: one committed row per event. A failed event may be given again.
  std::string runBegun(const functest::RunEvent &run) override;
  std::string stepBegun(int state, const std::string &title, double clock) override;
  std::string resultWritten(const functest::ResultEvent &result) override;
  std::string runEnded(const functest::EndEvent &end) override;
  long long liveRun() const { return liveRun_; }

  // Reads every record (*.jsonl) under `folder`, and every report (*_DN_*_*.txt) that has no
  // record beside it, into the store; one transaction per file. Every field of a record line is
  // checked; a line that does not hold is named (file, line number) and left out, and the run
  // it belongs to is stored INCOMPLETE.
  ImportSummary importFolder(const std::string &folder);
  // Whether the record's runs were stored (its lines that do not hold left out and named).
  bool importRecord(const std::string &path, ImportSummary &summary);
  void importReport(const std::string &path, ImportSummary &summary);

  // The questions (on a store opened read-only unless it is open already). On a store error
  // they answer nothing and set `error`, which names the file.
  std::vector<RunRow> runs(const Filter &filter, std::string &error);
  // A page of them: at most `limit` runs from the `offset`-th on, in the same order.
  std::vector<RunRow> runs(const Filter &filter, size_t offset, size_t limit, std::string &error);
  // How many runs the filter selects.
  long long countRuns(const Filter &filter, std::string &error);
  // The names of the checks in the store, in order, read from the name index (a few lookups per
  // name, whatever the number of result lines).
  std::vector<std::string> checkNames(std::string &error);
  std::vector<StepRow> steps(long long runId, std::string &error);
  std::vector<ResultRow> results(long long runId, std::string &error);
  // The steps and lines of many runs, a few hundred runs per question: `each` is called once per
  // run, in the order of `runIds`, with its steps and lines (as steps() and results() give them).
  // False with `error` set when a question fails or `each` returns false.
  bool linesOfRuns(const std::vector<long long> &runIds,
                   const std::function<bool(long long runId, const std::vector<StepRow> &,
                                            const std::vector<ResultRow> &)> &each,
                   std::string &error);
  // Checks that failed in the selected runs, most failed first.
  // With `perStation`, ranked within each station.
  std::vector<FailureRow> failures(const Filter &filter, std::string &error,
                                   bool perStation = false);
  // Only whole runs count, unless `partialRuns`: a run with steps switched off has not shown
  // that its board is good.
  std::vector<YieldRow> yield(const Filter &filter, YieldBy by, std::string &error,
                              bool partialRuns = false);
  // Measured values of the checks whose name contains `check`, by check name, then start.
  std::vector<ValueRow> values(const std::string &check, const Filter &filter, std::string &error);
  // The values of the check named `name` (that name only) in the newest `limit` of its lines of
  // the selected runs, by start: what a chart of the check shows, whatever the store's size.
  std::vector<ValueRow> newestValues(const std::string &name, const Filter &filter, size_t limit,
                                     std::string &error);
  // The median bench seconds each state's step took in the latest finished runs (PASSED or
  // FAILED) that ran it: from its start to the next step's, the last step to its last line.
  std::map<int, double> stepSeconds(std::string &error);

 private:
  struct NewRun;
  struct Imported;
  // Every insert is an upsert on the row's key, so a row given twice (a retry after a lost
  // commit, a record imported while its run is stored live) is stored once.
  // The run with its report and start: inserted, or the one there (`existed`, `finished` say
  // which); 0 on an error, with `reason` set.
  long long insertRun(const NewRun &run, bool &existed, bool &finished, std::string &reason);
  // The run's step number `ordinal` (1, 2, ...): its id, inserted or found; 0 on an error.
  long long insertStep(long long runId, int ordinal, int state, const std::string &title,
                       double clock, std::string &reason);
  // The run's result line `line`; `added` says whether it was new.
  bool insertResult(long long runId, long long stepId, int line, const ResultRow &r, bool &added,
                    std::string &reason);
  bool finishRun(long long runId, const std::string &verdict, double errorCounts,
                 const std::string &how, const std::string &failCopy, const std::string &reason,
                 std::string &error);
  bool storeImportedRun(const Imported &run, ImportSummary &summary, std::string &error);
  bool ensureReadable(std::string &reason);
  void tell(const std::string &what) const;
  bool fillStartInstants(std::string &error);
  bool recognise(bool writable, std::string &reason);
  // A server's refusal for want of privileges, with what the role lacks of a bench's
  // (`writing`) or a reader's privileges; anything else as it is.
  std::string refusal(const std::string &error, bool writing);
  // What the open database's marks say: empty with `said` for a store this program can use (or
  // make), else the problem in words.
  std::string markProblem(std::string &said);
  std::string runColumns(bool counts = true) const;
  std::string startOrder() const;  // the ORDER BY term of a run's start

  std::string path_, name_;
  Database db_;
  int version_ = kVersion;  // of the open store
  long long liveRun_ = 0, liveStep_ = 0;
  int liveLine_ = 0, liveSteps_ = 0;
  std::function<void(const std::string &)> progress_;
  bool runWasStored_ = false;
  bool settingUp_ = false;    // setUp() opens: a server's store may be made
  bool refused_ = false;      // see lastFailureRefused()
  std::string schemaChange_;  // what the last open changed of the schema
  bool standIn_ = false;   // the open database is the empty one in memory of a store not made yet
  bool writable_ = false;  // the open connection is open()'s, not openReadOnly()'s
};

}  // namespace history
