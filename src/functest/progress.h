// Where a functional-test run stands, for the operator: which step of how many, the bench time
// the step and the run have taken, an estimate of the time left, and at the end the verdict with
// the failed lines. It watches the run as a RunSink beside the results store (the report tells
// it of the run, each step, each result and the end), so the sequencer knows nothing of it.
//
// The estimate of a step comes from the same step in earlier runs (the results store answers
// it through `estimates`, off the bench's thread), else from the step's typical duration on a
// good board. The run never waits for that answer: until it comes, and when it fails or comes
// late, the typical durations stand, and a failed or late answer is said once in the log box.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
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

// A wait of the run that only the operator ends, as the test panel says it: in words, with
// the control that ends it (a button to press, or a switch to turn on).
struct OperatorWait {
  std::string text;    // empty: the run waits for nobody
  std::string button;  // the text of the control that ends it
  int panel = 0;       // where that control is
  rt::Ctl control{0, rt::Kind::Button};
  double seconds = 0;  // bench seconds waited so far
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
  std::string shownVerdict;              // at the end: "PASSED – 3 of 15 steps" for a partial run
  std::vector<std::string> stepsNotRun;  // at the end of a partial run: the steps left out
  std::string refused;  // the message of a start that was refused since (the run did not start)
  OperatorWait wait;    // while a run goes: what it waits for from the operator
};

// The answer of the step-time question: the median bench seconds of each state's step in
// earlier runs (states without one left out), or why there is none.
struct StepEstimates {
  std::map<int, double> seconds;
  std::string problem;  // empty when `seconds` is the store's answer
};

// Asks the step-time question where the bench does not wait for it.
class EstimateSource {
 public:
  virtual ~EstimateSource() = default;
  // Puts the question (at a run's start); returns at once.
  virtual void ask() = 0;
  // The answer, once, when it has come (or the problem when it failed or is late); nothing
  // while it is pending. Never waits.
  virtual std::optional<StepEstimates> answer() = 0;
};

class Progress : public RunSink {
 public:
  Progress(rt::Runtime &rt, const ctl::Panels &panels) : rt_(rt), panels_(panels) {}

  // Asked once at the start of each run. None: the typical durations only.
  EstimateSource *estimates = nullptr;
  // Whether the question of this run's start has been answered (or given up).
  bool estimatesSettled() const;
  // Called after a step has begun and after the run has ended (the headless program prints).
  std::function<void()> onStep, onEnd;

  ProgressSnapshot snapshot() const;
  // "[step 6/15] CALIBRATE CFC  elapsed 0:01:02  left ~1:49:10"
  std::string line() const;
  // The verdict and failed lines are cleared; the next run begins.
  void clear();
  // A start was refused with this message: the run did not start.
  void refused(const std::string &title);
  // The sequence state, for the waits on the operator (none: no wait is said).
  void setTestState(const TestState *state) { test_ = state; }

  std::string runBegun(const RunEvent &run) override;
  std::string stepBegun(int state, const std::string &title, double clock) override;
  std::string resultWritten(const ResultEvent &result) override;
  std::string runEnded(const EndEvent &end) override;

 private:
  double estimate(int state) const;
  // Takes the answer when it has come; the log line of a problem waits for sayProblem().
  void adoptAnswer() const;
  void sayProblem();
  OperatorWait operatorWait(double now) const;

  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  std::vector<int> order_;  // the switched-on states of the run, in run order
  // Filled from the answer when it comes, also while a snapshot is taken.
  mutable std::map<int, double> history_;
  mutable bool asked_ = false, settled_ = false;
  mutable std::string unsaid_;  // a problem of the answer not yet said in the log box
  bool active_ = false, ended_ = false;
  int index_ = -1;  // into order_
  std::string title_;
  double runStart_ = 0, stepStart_ = 0, endClock_ = 0;
  std::string verdict_;
  int failedCount_ = 0;
  std::vector<FailedLine> failed_;
  std::string refused_;
  std::string variant_;
  std::optional<std::vector<int>> stepsOn_;
  const TestState *test_ = nullptr;
  // The channel of a channel phase and since when it has been under test.
  mutable int waitState_ = -1, waitChannel_ = -1;
  mutable double waitSince_ = 0;
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
