// The functional test of a board: its start (bench and tunnel variants, with the checks that
// refuse a run), the sequencer that the 0.5 s timer Test.SequencerTimer drives through the state
// table, the end of a run with the fail copy of a report with failures, and the stop button.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ctl/panels.h"
#include "ctl/test_panel.h"
#include "functest/bench_port.h"
#include "functest/identification.h"
#include "functest/report.h"
#include "functest/step.h"
#include "functest/unattended.h"
#include "rt/runtime.h"

namespace functest {

inline constexpr int kStates = 16;
inline constexpr int kStartState = 13;
inline constexpr int kEndState = 9;

// One state of the sequence: the title shown while its step runs, the data-page switch that
// enables it (none for the end of the test) and the state that follows it.
struct StateEntry {
  const char *title;
  rt::Ctl enable;
  int successor;  // -1 after the end of the test
};

// Indexed by StateTest. Run order: 13, 14, 0, 11, 12, 5, 6, 10, 3, 1, 2, 7, 8, 4, 15, 9.
inline constexpr std::array<StateEntry, kStates> kStateTable = {{
    {"TEST CRC AND LOSTF", ctl::TabBData::EnableCrcLostFrame, 11},                       // 0
    {"TEST STATUS INTEGRATOR LEVEL", ctl::TabBData::EnableIntegratorLevel, 2},           // 1
    {"TEST STATUS CFC ERROR", ctl::TabBData::EnableCfcError, 7},                         // 2
    {"TEST LINEARITY", ctl::TabBData::EnableLinearity, 1},                               // 3
    {"TEST DACs Counters and DAC RESET", ctl::TabBData::EnableDacCounters, 15},          // 4
    {"TEST HV LEVELS", ctl::TabBData::EnableHvLevels, 6},                                // 5
    {"CALIBRATE CFC", ctl::TabBData::EnableCalibrate, 10},                               // 6
    {"TEST CFC TEST MODE", ctl::TabBData::EnableCfcTestMode, 8},                         // 7
    {"TEST OTR REST", ctl::TabBData::EnableOtrReset, 4},                                 // 8
    {"END OF TEST", rt::Ctl{0, rt::Kind::Switch}, -1},                                   // 9
    {"SAVE DAC VALUES", ctl::TabBData::EnableSaveDacValues, 3},                          // 10
    {"TEST STATUS TEMP OTR DAC OVERFLOW", ctl::TabBData::EnableTempOtrDac, 12},          // 11
    {"TEST STATUS POWER SUPPLIES", ctl::TabBData::EnablePowerSupplies, 5},               // 12
    {"MEASURE 10pA", ctl::TabBData::Enable10pA, 14},                                     // 13
    {"MEASURE 200 COUNTS", ctl::TabBData::Enable200Counts, 0},                           // 14
    {"Long time CRC and LostFrame check", ctl::TabBData::EnableLongTimeCrc, kEndState},  // 15
}};

// The step of each state, as the program builds them (null for the end of the test).
std::unique_ptr<Step> MakeStep(int state);

// The states whose switches are on, from the start state to the end, in run order.
std::vector<int> SwitchedOnStates(rt::Runtime &rt, const ctl::Panels &panels);

// A partial run: a bench run with fewer than its fifteen steps switched on. A tunnel run is a
// shorter sequence of its own and is whole; a run whose steps are unknown (stored before the
// steps were kept) counts as whole.
inline constexpr int kTestSteps = kStates - 1;
bool PartialRun(const std::string &variant, const std::optional<std::vector<int>> &stepsOn);
// The verdict as the operator reads it, wherever a run is shown (test panel, HTML page, history,
// JUnit): "PASSED – 3 of 15 steps" for a partial run that passed, the verdict itself otherwise.
std::string ShownVerdict(const std::string &verdict, const std::string &variant,
                         const std::optional<std::vector<int>> &stepsOn);
// The titles of the steps a run with these states switched on did not run, in run order.
std::vector<std::string> StepsNotRun(const std::vector<int> &stepsOn);
// The switched-on states as the results store keeps them ("13,14,0"), and back (nothing for a
// text that is not such a list).
std::string StepsText(const std::vector<int> &stepsOn);
std::optional<std::vector<int>> ParseSteps(const std::string &text);

class FunctionalTest {
 public:
  FunctionalTest(rt::Runtime &rt, const ctl::Panels &panels, BenchPort &bench);

  // Callbacks of the test panel (act on commit, the sequencer on its tick; return 0).
  int StartTestCFC(int panel, int control, int event);
  int TunnelStartTestCFC(int panel, int control, int event);
  int StopTestCFC(int panel, int control, int event);
  int InterruptTestCfc(int panel, int control, int event);
  int EndLogTimeTest(int panel, int control, int event);
  int CreateDACFile(int panel, int control, int event);
  // The slope page's stop button: asks the running bias wait to end.
  int Stop10pAtest(int panel, int control, int event);
  // The test panel's read-out switch: FRAMES read by the acquisition timer on or off.
  int TestCFC_ReadOut(int panel, int control, int event);

  // Writes the header and the identification block and starts the sequencer: 0, or -1 when
  // the identification block did not complete.
  int StartTest(int unused);
  // Fail copy of a report with failures, barcodes of the board and its OTRs cleared; 100.
  int EndOfTest();

  // The step run in a state; a test may put another in its place.
  Step *step(int state) { return state >= 0 && state < kStates ? steps_[state].get() : nullptr; }
  void setStep(int state, std::unique_ptr<Step> s);

  // True while a run is under way (from its start until its end or the stop button).
  bool running() const;
  // True while a run's record is open: from its start until its end line is written.
  bool runOpen() const { return runOpen_; }
  // Ends the open run as the stop button does, because the program is being quit: the report
  // says so before its stopped line, and the run is stored STOPPED with that reason.
  void stopForQuit();

  // Told the message of a start that was refused (the run did not start).
  std::function<void(const std::string &title)> onRefused;

  // How each run that ended came out, in order; a run still open is not among them.
  struct Outcome {
    std::string verdict;  // PASSED, FAILED, STOPPED, INCOMPLETE
    bool moduleLost = false;
  };
  const std::vector<Outcome> &outcomes() const { return outcomes_; }

  TestState state;
  Report report;
  TestContext ctx;
  // The operator's give-up policy (off: the operator ends the waits, as on the desktop).
  UnattendedPolicy unattended;

 private:
  // The parts of the two starts.
  bool refuseWhileRunning();
  void markStarting();
  void clearMeasurementState();
  void benchToRest();
  int refuse(const std::string &title);
  int refuse(const std::vector<IdProblem> &problems);
  // The two start buttons are dimmed while a run goes.
  void dimStarts(bool dimmed);
  int startRun(const std::string &prefix, const char *variant);
  StepResult callStep(int stateTest);
  void endRecord(bool stopped, const std::string &failCopy);
  // The module went away during a run: one named FAILED line, the run ended, one pop-up.
  void endOnLostModule();
  std::string moduleMissing();

  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  BenchPort &bench_;
  std::array<std::unique_ptr<Step>, kStates> steps_;
  bool runOpen_ = false;   // a run's record is open: its end line is still to be written
  bool stopping_ = false;  // EndOfTest called by the stop button
  RunInfo runInfo_;
  Unattended watch_;
  std::vector<std::string> actions_;  // the policy's presses of one tick
  bool moduleLost_ = false;           // the running run ended on a lost module
  std::vector<Outcome> outcomes_;
};

}  // namespace functest
