// Where a run goes besides its report and record: an observer the report tells of the run, each
// step, each result line and the end, from the same calls that write the record. The results
// store implements it in its own layer, so the functional test knows nothing of a database.
#pragma once

#include <string>

#include "functest/step.h"

namespace functest {

struct RunInfo;

// What the record's run line holds.
struct RunEvent {
  const RunInfo &info;
  std::string start;         // ISO 8601 local time with zone offset, as the record writes it
  std::string report;        // the report file name
  std::string program;       // the program and its version
  std::string station = {};  // the bench the run ran on
};

// A result line: the check text without its PASSED/FAILED prefix, and the figure the step
// declared beside it (none for a plain line).
struct ResultEvent {
  int state = -1;
  const std::string &step;
  const std::string &check;
  bool passed = false;
  int weight = 1;
  double clock = 0;
  const Measurement *measurement = nullptr;
};

struct EndEvent {
  double errorCounts = 0;
  bool stopped = false;  // the operator's stop ended the run
  std::string failCopy;  // empty when none was made
  double clock = 0;
  // PASSED, FAILED, STOPPED, or INCOMPLETE when the report or record lost lines (`reason`).
  std::string verdict = {};
  std::string reason = {};
};

class RunSink {
 public:
  virtual ~RunSink() = default;
  // Each answers empty when the event is kept, else the reason it is not.
  virtual std::string runBegun(const RunEvent &run) = 0;
  virtual std::string stepBegun(int state, const std::string &title, double clock) = 0;
  virtual std::string resultWritten(const ResultEvent &result) = 0;
  virtual std::string runEnded(const EndEvent &end) = 0;
  // After the end: waits a moment for what the sink still holds, then describes what is not
  // kept yet (empty: everything is). A sink that keeps each event at once holds nothing.
  virtual std::string unsettled() { return {}; }
  // A problem met since the last answer that no answer has told yet (empty: none).
  virtual std::string unsaidProblem() { return {}; }
  // Whether what unsettled() describes was refused for good (trying again changes nothing
  // until someone mends the sink) rather than waiting.
  virtual bool unsettledRefused() { return false; }
};

}  // namespace functest
