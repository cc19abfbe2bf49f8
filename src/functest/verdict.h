// The verdict of a run, decided here alone: the report's end and the record's end line, the
// results store (live and imported runs, and every run it answers with), the HTML page, the
// history questions, their CSV and the JUnit export all take it from VerdictOfRun.
//
// A run PASSED only when it came to its own end, nothing of it was lost, the operator did not
// stop it and no failed line was counted. Whatever a record or store says beside that (an older
// record's "how":"stopped" with "verdict":"PASSED", an end without a verdict, a verdict no run
// ends with) gives the verdict the facts allow and a note of what was missing or contradicted.
#pragma once

#include <optional>
#include <string>

namespace functest {

// What is known of how a run ended, wherever it is read from.
struct RunEnding {
  bool ended = false;    // the run has its end: the record's end line, the store's finished mark
  bool stopped = false;  // the operator's stop ended it (the end's "how" is "stopped")
  std::string written = {};  // the verdict written at the end, as written (empty: none)
  std::optional<double> errorCounts = {};  // the (weighted) count of failed lines written there
  std::string lost = {};  // what of the run's report, record or store was lost (empty: nothing)
};

struct RunVerdict {
  // PASSED, FAILED, STOPPED, INCOMPLETE (lines were lost, or the end says too little) or
  // UNFINISHED (no end).
  std::string verdict;
  // Why the verdict is not simply the one written: what the end lacks or contradicts, or what
  // was lost. Empty when the end says its verdict plainly.
  std::string note;
};

RunVerdict VerdictOfRun(const RunEnding &end);

}  // namespace functest
