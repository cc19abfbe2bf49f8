// The test report of a run and the structured record beside it.
//
// Every line a step reports goes through WriteToLog (a plain line) or WriteToLogC (a result
// line, "PASSED : " or "***FAILED : " before the check text): the line is appended to the report
// file, which is opened and closed again for each line so that a killed program loses nothing
// already written, and added to Test.LogBox, where the operator watches the report grow.
//
// Beside the report <name>.txt the record <name>.jsonl holds one JSON object a line, written as
// the report line it mirrors: the run, each step's start, each result line with its measured
// value and limits where the step declared them, and the end of the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ctl/panels.h"
#include "functest/run_sink.h"
#include "functest/step.h"
#include "rt/runtime.h"

namespace functest {

// What the record's run line says about the board and the run.
struct RunInfo {
  std::string variant;  // "bench" or "tunnel"
  long long wallTime = 0;
  int cardNumber = 0;
  std::string deviceBarcode1, deviceBarcode2, boardBarcode, otr1Barcode, otr2Barcode;
  int pcbVersion = 0;
  std::vector<std::string> comments;
  std::string module;  // the QuickUSB module of the bench; empty without one
  // The states whose steps were switched on at the start, in run order; none when not known
  // (a record written before they were kept).
  std::optional<std::vector<int>> stepsOn;
};

// The separators of the report.
inline constexpr const char *kDashes61 =
    "-------------------------------------------------------------";
inline constexpr const char *kDashes60 =
    "------------------------------------------------------------";
inline constexpr const char *kDashes30 = "------------------------------";
// The last line of the report of a run the operator stopped, and its start that names it.
inline constexpr const char *kStoppedLine = "TEST STOPPED BY THE OPERATOR => Stop at %.2f [s] ";
inline constexpr const char *kStoppedLineStart = "TEST STOPPED BY THE OPERATOR => ";

// The record file of a report: the report name with ".txt" replaced by ".jsonl" (or
// ".jsonl" added to a name without it).
std::string RecordPathFor(const std::string &reportFileName);

// The fail copy of a report with `errorCounts` failures: the name without its last four
// characters, "_FAIL_with_%d_", ".fai".
std::string FailCopyName(const std::string &reportFileName, float errorCounts);

// Appends `text` to the file `path` in one write, creating it when missing, and closes it
// again. Empty on success, else the reason; a text written only in part is taken back, so the
// file never ends in a torn line.
std::string AppendToFile(const std::string &path, const std::string &text);

// Flushes a regular file to the disk (through FlushToDisk). Empty on success, else the reason.
std::string SyncFile(const std::string &path);
// The call that puts an open file's data on the disk: fsync. A test puts its own in to see
// which files are flushed, and when.
extern int (*FlushToDisk)(int fd);

// The program's data folder: $XDG_DATA_HOME/tessock (an absolute XDG_DATA_HOME only), else
// ~/.local/share/tessock.
std::string DataHome();

// The folder of the reports whose prefix names none: $XDG_DATA_HOME/tessock/reports (an
// absolute XDG_DATA_HOME only), else ~/.local/share/tessock/reports.
std::string DefaultReportFolder();

// Where a prefix puts its reports, as an absolute path: a prefix without a folder ("bench_report")
// goes into DefaultReportFolder(), which is made when missing; one with a folder is taken from
// the current folder when relative. A report is then named by its full path in the log, the
// report's first line and the record, whatever folder the program was started from.
std::string ReportPrefixPath(const std::string &prefix);

// Claims the first free report name prefix + "_DN_<card>_<n>.txt" (n from 0) by creating it
// exclusively, together with its record, so that runs started at the same moment never share a
// report. Empty with `name` set, else the reason.
std::string ClaimReportName(const std::string &prefix, int card, std::string &name);

// The program's version as the record states it.
std::string ProgramVersion();

class Report {
 public:
  Report(rt::Runtime &rt, const ctl::Panels &panels) : rt_(rt), panels_(panels) {}

  // Begins a run on `fileName`: the report file is created (empty, or left as it is when it
  // exists) and the record beside it. False, with the reason, when the report cannot be
  // created; nothing is then written.
  bool Begin(const std::string &fileName, std::string &reason);

  int WriteToLog(const std::string &line);
  int WriteToLogC(const std::string &text, int passed, int weight);
  int WriteToLogC(const std::string &text, int passed, int weight, const Measurement &m);
  int WriteMessage(const std::string &title);

  // The header of a run (file name, title, date, device number, PCB version, comments).
  void WriteHeader(const RunInfo &info);

  // Record lines that have no report line of their own.
  void RecordRun(const RunInfo &info);
  void RecordStep(int state, const std::string &title, double clock);
  // What the program did in the operator's place (the unattended policy), with its moment.
  void RecordAction(const std::string &by, const std::string &action, double clock);
  // The end: the report and record flushed to the disk, the end line with the verdict, and
  // what the run could not keep said in the log box and a pop-up.
  void RecordEnd(bool stopped, const std::string &failCopy, double clock);
  // PASSED, FAILED, STOPPED, or INCOMPLETE once the report or record lost a line.
  std::string Verdict(bool stopped) const;
  // The first write failure of the report or record of this run (empty: none).
  const std::string &lost() const { return lost_; }
  // Whether a run ended with lines lost or not stored (the headless program's exit status).
  bool lostAtEnd() const { return lostAtEnd_; }
  // The observer told of the run, its steps, results and end beside the record (none: null).
  // A sink that cannot keep an event is said once per run in the log box; the run goes on.
  void setSink(RunSink *sink) { sink_ = sink; }
  // The bench's name, written in the record's run line and told to the sink.
  void setStation(std::string station) { station_ = std::move(station); }

  // The step that result records name.
  void setStep(int state, const std::string &title) {
    stepState_ = state;
    stepTitle_ = title;
  }

  std::string ReportFileName;
  float ErrorCounts = 0.0f;
  // Why the run ended otherwise than by its last step (a lost module); the record's end says
  // it. Cleared by Begin.
  std::string endReason;
  double clock = 0;  // the program's clock for records (set by the sequencer before each call)

 private:
  int writeResult(const std::string &text, int passed, int weight, const Measurement *m);
  void appendLine(const std::string &line);
  void appendRecord(const std::string &json);
  void notice(const std::string &what, const std::string &path);
  void lostLine(const std::string &what, const std::string &detail);
  void sinkProblem(const std::string &reason);

  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  std::string recordPath_;
  std::string buffer_;
  int stepState_ = -1;
  std::string stepTitle_;
  bool reportFailureShown_ = false, recordFailureShown_ = false, sinkFailureShown_ = false;
  std::string lost_;
  bool lostAtEnd_ = false;
  RunSink *sink_ = nullptr;
  std::string station_;
};

}  // namespace functest
