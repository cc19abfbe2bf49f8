// Where a functional-test run stands, for the operator: which step of how many, the bench time
// the step and the run have taken, an estimate of the time left, and at the end the verdict with
// the failed lines. It watches the run as a RunSink beside the results store (the report tells
// it of the run, each step, each result and the end), so the sequencer knows nothing of it.
//
// The estimate of a step comes from the same step in earlier runs (the results store answers
// it through `estimates`), else from the step's typical duration on a good board.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ctl/panels.h"
#include "functest/run_sink.h"
#include "functest/sequencer.h"
#include "rt/runtime.h"

namespace functest {

// The bench time a step takes on a good board (state number of the sequence), in seconds.
double TypicalStepSeconds(int state);

// "1:49:10" (hours, minutes, seconds; seconds rounded down, negative counts as 0).
std::string ClockText(double seconds);

struct FailedLine {
  std::string step;  // the step title
  std::string text;  // the report line
  int logLine = -1;  // its line in Test.LogBox
};

struct ProgressSnapshot {
  bool active = false;  // a run is under way
  bool ended = false;   // a run has ended since the last start
  int step = 0;         // 1..steps: the step under way among the switched-on steps (0: none yet)
  int steps = 0;
  std::string title;
  double stepElapsed = 0, runElapsed = 0;  // bench seconds
  double left = 0;                         // estimated seconds to the end of the run
  bool leftFromHistory = false;            // every remaining estimate came from earlier runs
  double fraction = 0;                     // 0..1, of the estimated whole run
  std::string verdict;                     // at the end: PASSED, FAILED, STOPPED, INCOMPLETE
  int failedCount = 0;                     // failed result lines so far
  std::vector<FailedLine> failed;
};

class Progress : public RunSink {
 public:
  Progress(rt::Runtime &rt, const ctl::Panels &panels) : rt_(rt), panels_(panels) {}

  // Median bench seconds of each state's step in earlier runs (states without one left out);
  // asked once at the start of each run. None: the typical durations only.
  std::function<std::map<int, double>()> estimates;
  // Called after a step has begun and after the run has ended (the headless program prints).
  std::function<void()> onStep, onEnd;

  ProgressSnapshot snapshot() const;
  // "[step 6/15] CALIBRATE CFC  elapsed 0:01:02  left ~1:49:10"
  std::string line() const;
  // The verdict and failed lines are cleared; the next run begins.
  void clear();

  std::string runBegun(const RunEvent &run) override;
  std::string stepBegun(int state, const std::string &title, double clock) override;
  std::string resultWritten(const ResultEvent &result) override;
  std::string runEnded(const EndEvent &end) override;

 private:
  double estimate(int state) const;

  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  std::vector<int> order_;  // the switched-on states of the run, in run order
  std::map<int, double> history_;
  bool active_ = false, ended_ = false;
  int index_ = -1;  // into order_
  std::string title_;
  double runStart_ = 0, stepStart_ = 0, endClock_ = 0;
  std::string verdict_;
  int failedCount_ = 0;
  std::vector<FailedLine> failed_;
};

// Forwards every event to several sinks. The first one's answers are the tee's (the results
// store's problems are said to the operator); the others only watch.
class SinkTee : public RunSink {
 public:
  explicit SinkTee(std::vector<RunSink *> sinks) : sinks_(std::move(sinks)) {}
  std::string runBegun(const RunEvent &run) override;
  std::string stepBegun(int state, const std::string &title, double clock) override;
  std::string resultWritten(const ResultEvent &result) override;
  std::string runEnded(const EndEvent &end) override;
  std::string unsettled() override;
  std::string unsaidProblem() override;
  bool unsettledRefused() override;

 private:
  std::vector<RunSink *> sinks_;
};

}  // namespace functest
