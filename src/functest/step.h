// The contract between the sequencer and a test step.
//
// A step is called once per sequencer tick (0.5 s) while it answers Running. Its first call
// does the set-up (acquisition on or off, read-out mode, options-panel settings sent to the FPGA,
// section heading, test clock); later calls look at the test clock and the board's data, write
// result lines through the report, and finally answer Done or DoneWithFailure. A step never
// waits inside a call: it returns and looks again at the next tick.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "acq/acq_state.h"
#include "ctl/panels.h"
#include "rt/runtime.h"

namespace functest {

class BenchPort;
class Report;

// What a step answers; the numbers are those the sequencer's transition rule is written in.
enum class StepResult : int {
  Continue = 16,  // set by the start only: run the next state in the same tick
  Done = 100,
  Running = 200,
  DoneWithFailure = 300,
};

// A figure that decides a result line, declared by the step beside the line: the structured
// test record carries it as a number with its unit and limits, so tools never parse report text.
// When the report line prints another figure than the one its verdict was taken on (a mean
// period beside a verdict on the newest period), `shown` names that figure and `basis` says what
// `value` is, so the record holds both, clearly named.
struct Measurement {
  Measurement() = default;
  Measurement(double value, std::string unit, std::optional<double> low = {},
              std::optional<double> high = {})
      : value(value), unit(std::move(unit)), low(low), high(high) {}

  double value = 0;
  std::string unit;
  std::optional<double> low, high;
  std::string basis;  // what the value is, when the line does not say it
  struct Shown {
    std::string name;
    double value = 0;
    std::string unit;
  };
  std::optional<Shown> shown;
};

// The per-channel figures the measurement steps (10 pA, 200 counts, calibration) keep between
// calls and pass on to each other; cleared by every start, so no figure of the previous board
// reaches the next one.
struct ChannelMeans {
  float COUNTS_MEAN[8] = {};           // smoothed CFC count per frame
  float PERIODE_MEAN[8] = {};          // smoothed integrator period, s
  float ADC_STAT_PERIODE_OLD[8] = {};  // the measured period already taken into the mean
  int PERIOD_TEST[8] = {};             // period verdict (calibration) or countdown (10 pA)
  float Current10pA[8] = {};           // current derived from the mean period, pA
  // Periods that began before this time are not the step's own: the step's start, then the
  // moment a bias wait applied its current.
  double PeriodsSince = 0;
  double PeriodTaken[8] = {};  // when the period last taken into the mean began
};

// State the sequence keeps across steps and runs, under the names the program uses throughout.
struct TestState {
  int StateTest = 0;       // current state 0..15
  int ReturnedValue = 0;   // last step result, 16 after a start
  int StartedAlready = 0;  // 0 on a step's first call
  int UnderTest = 0;       // 1 from a start button's press until the stop button
  int TestPassed = 1;      // per-step pass flag of the status steps
  // Working state of the measurement steps, cleared by every start.
  int StepNbr = 0, ChannelUnderTest = 0, NbrCorrectCounts = 0;
  ChannelMeans means;
  // Working state of the linearity step, set by the bench start.
  int StepNumber = 0, LinearityIsConforme = 1, WaitingTime = 1;
  // Set by the operator's end button of the long-time fibre check.
  int EndOfLongTimeTest = 0;
  // Kept across runs: the card whose DAC counters a watch of the DAC counter step drove up in
  // this program (-1: none). The board keeps them up while it stays powered.
  int DacLeftUpOnCard = -1;
};

// What a step works with: the panels, the bench, the report and the sequence state, with the
// small operations every step makes in its set-up.
class TestContext {
 public:
  TestContext(rt::Runtime &rt, const ctl::Panels &panels, BenchPort &bench, Report &report,
              TestState &state)
      : rt(rt), p(panels), bench(bench), report(report), s(state) {}

  // The test clock Test.Clock, in seconds.
  float GetTimer() const;
  void SetTimer(float seconds);
  double Timer() const;  // the program's seconds clock
  // Test.SequencerTimer: interval set and enabled / disabled.
  void StartInterruptions(double interval);
  void StopInterruptions();

  // Continuous acquisition on or off; nothing happens when it already is.
  void acquisition(bool on);
  // Main.ReadOutMode set and sent (UpdateMainPanel).
  void readOutMode(int mode);
  // Main.AcqInterval set and applied to the acquisition timer.
  void acqInterval(double seconds);
  // An options-panel control written, without sending.
  void opt(int ctrl, double value);
  double optVal(int ctrl) const;
  // UpdateFPGAConfigFromOptionPanel.
  int update();
  // One current-setup ring of the test panel (channel 0..7) set to a record index.
  void currentSelect(int channel, int index);
  int read();  // ReadShowFrame
  acq::AcqState &acq();
  bool statusA(int mask);
  bool statusB(int mask);

  // Report: the section heading of a step (" ", the heading with the clock, 60 dashes), a plain
  // line, a result line with weight 1.
  void heading(const char *headingFormat);
  void log(const std::string &line);
  void result(const std::string &check, bool passed);
  void result(const std::string &check, bool passed, const Measurement &m);
  // A confirmation pop-up: true for yes.
  bool confirm(const std::string &title, const std::string &message);

  rt::Runtime &rt;
  const ctl::Panels &p;
  BenchPort &bench;
  Report &report;
  TestState &s;
};

// A test step of the sequence.
class Step {
 public:
  virtual ~Step() = default;
  // One call of the step; `first` is true on the call that does its set-up.
  virtual StepResult call(TestContext &t, bool first) = 0;
};

}  // namespace functest
