// A started program on a simulated board, driven through the functional test as an operator
// drives it: linearity file chosen, barcodes scanned, step switches set, start pressed; then the
// event loop runs in virtual time until the sequence reaches END OF TEST. The report it wrote is
// read back for the checks.
#pragma once

#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/bench.h"
#include "ctl/test_panel.h"
#include "rt/clock.h"
#include "support/test_env.h"

namespace testenv {

// Answers confirmation pop-ups from a queue (no when empty) and remembers every pop-up.
class QueuedOperator : public rt::Operator {
 public:
  void messagePopup(const std::string &title, const std::string &message) override;
  bool confirmPopup(const std::string &title, const std::string &message) override;
  rt::FileSelect fileSelectPopup(const rt::FileRequest &, std::string &) override;
  std::deque<bool> answers;
  std::vector<std::string> popups;  // "title: message"
};

// Every step switch of the data page, in run order.
const std::vector<rt::Ctl> &AllStepSwitches();

// The operator scans card 317's labels into the data page and gives its PCB version.
void ScanBarcodes(rt::Runtime &rt, int dataPage);

class FunctionalRig {
 public:
  // `board`: a name in data/sim ("good") or a path to a configuration file. `resultsDb`: the
  // results store (empty: results.sqlite in the rig's folder).
  explicit FunctionalRig(const std::string &board, double barcodeSeconds = 60.0,
                         const std::string &resultsDb = {});
  FunctionalRig(const FunctionalRig &) = delete;
  FunctionalRig &operator=(const FunctionalRig &) = delete;

  rt::Runtime &rt() { return bench->rt; }
  functest::FunctionalTest &test() { return bench->test; }

  // Barcodes that pass every identification check on card 317, PCB version 7.
  void scanBarcodes();
  // Only these step switches on.
  void enableOnly(std::initializer_list<rt::Ctl> steps);
  void set(int panel, int ctrl, double v) { rt().SetCtrlVal(panel, ctrl, v); }
  void setText(int panel, int ctrl, const std::string &v) { rt().SetCtrlVal(panel, ctrl, v); }
  // The operator's commit of a control.
  bool commit(int panel, int ctrl) { return rt().Commit(panel, ctrl); }
  void startBench() { commit(p.TestCFCPanel, ctl::Test::StartBench); }
  void startTunnel() { commit(p.TestCFCPanel, ctl::Test::StartTunnel); }
  void stop() { commit(p.TestCFCPanel, ctl::Test::Stop); }

  // Runs the event loop until the sequencer has stopped (END OF TEST reached, or stopped) or
  // `limit` seconds of virtual time have passed; `each` is called before every event. True
  // when the sequence ended.
  bool runToEnd(double limit = 20000.0, const std::function<void()> &each = {});
  // For runToEnd: the operator ends the long-time fibre check `seconds` after it started.
  std::function<void()> endLongCheckAfter(double seconds);
  void runFor(double seconds) { rt().RunUntil(clock.now() + seconds); }
  bool sequencerRunning() const;

  // The report of the last run (its path is test().report.ReportFileName).
  std::vector<std::string> reportLines() const;
  // Check texts of the result lines ("PASSED : "/"***FAILED : " taken off) that failed / passed.
  std::multiset<std::string> failedChecks() const;
  std::multiset<std::string> passedChecks() const;
  int resultLines() const;
  // The structured record of the last run, one object per line.
  std::vector<nlohmann::json> record() const;
  // What the unattended policy did in the last run ("action" entries of the record).
  std::vector<std::string> actions() const;
  // The program's give-up policy: on in the rig, with the waits of the defect matrix (a bias wait
  // given up after 150 s, a channel after 30 s, the long-time check ended after a minute).
  functest::UnattendedPolicy &policy() { return test().unattended; }

  TempDir dir;
  rt::VirtualClock clock;
  QueuedOperator op;
  std::unique_ptr<app::Bench> bench;
  ctl::Panels p;
};

}  // namespace testenv
