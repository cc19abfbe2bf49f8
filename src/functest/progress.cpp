#include "functest/progress.h"

#include <algorithm>
#include <cmath>

#include "ctl/test_panel.h"
#include "rt/format.h"

namespace functest {

namespace {

// Bench seconds of each step: what a run estimates with before the results store holds
// earlier runs.
// Rounded from a full bench run of the simulated good board. The 10 pA wait and the long-time
// CRC check last until the operator ends them: their figures are the usual waits.
constexpr std::array<double, kStates> kTypicalSeconds = {
    31,    // 0 CRC and lost frames
    6,     // 1 integrator level
    102,   // 2 CFC error
    578,   // 3 linearity
    5428,  // 4 DAC counters
    17,    // 5 HV levels
    80,    // 6 calibration
    149,   // 7 CFC test mode
    135,   // 8 OTR reset
    0,     // 9 end of test
    1,     // 10 save DAC values
    1,     // 11 temperature, OTR, DAC overflow
    5,     // 12 power supplies
    200,   // 13 10 pA
    24,    // 14 200 counts
    60,    // 15 long-time CRC
};

}  // namespace

double TypicalStepSeconds(int state) {
  return state >= 0 && state < kStates ? kTypicalSeconds[state] : 0;
}

std::string ClockText(double seconds) {
  const long long s = seconds > 0 && std::isfinite(seconds) ? static_cast<long long>(seconds) : 0;
  return rt::format("%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

double Progress::estimate(int state) const {
  const auto it = history_.find(state);
  return it != history_.end() ? it->second : TypicalStepSeconds(state);
}

void Progress::clear() {
  active_ = ended_ = false;
  refused_.clear();
  waitState_ = waitChannel_ = -1;
  order_.clear();
  index_ = -1;
  title_.clear();
  verdict_.clear();
  failedCount_ = 0;
  failed_.clear();
}

void Progress::refused(const std::string &title) {
  if (active_) return;
  clear();
  refused_ = title;
}

// The waits that end only when a person acts: the bias waits of the 10 pA measurement and of
// the calibration (the slope page's stop button), a channel of a counting phase that has taken
// far longer than a working channel does (the skip switch), the long-time fibre check (its end
// button).
OperatorWait Progress::operatorWait(double now) const {
  constexpr int kCalibrate = 6, k10pA = 13, k200Counts = 14, kLongTime = 15;
  // A working channel completes its counts within a few seconds.
  constexpr double kChannelSlow = 20.0;
  OperatorWait w;
  if (!test_ || !active_ || test_->StartedAlready == 0) return w;
  const int s = test_->StateTest;
  const double inStep = std::max(0.0, now - stepStart_);
  const bool channelPhase =
      (s == k200Counts && test_->StepNbr == 1) || (s == kCalibrate && test_->StepNbr >= 2);
  if (!channelPhase) {
    waitChannel_ = -1;
  } else if (s != waitState_ || test_->ChannelUnderTest != waitChannel_) {
    waitState_ = s;
    waitChannel_ = test_->ChannelUnderTest;
    waitSince_ = now;
  }
  if ((s == k10pA || s == kCalibrate) && test_->StepNbr == 1) {
    int on = 0;
    for (const rt::Ctl &led : ctl::TabSlope::PeriodOk)
      on += rt_.GetCtrlValI(panels_.TabSlope, led) != 0;
    w.text = rt::format(
        "Waiting for you: the %s runs until you stop it. Press \u201cStop measurement\u201d "
        "once the eight period lights of the Slope page are on (%d of 8 on).",
        s == k10pA ? "10 pA measurement" : "calibration's bias wait", on);
    w.button = "Stop measurement";
    w.panel = panels_.TabSlope;
    w.control = ctl::TabSlope::StopMeasure;
    w.seconds = inStep;
  } else if (channelPhase && now - waitSince_ >= kChannelSlow) {
    w.text = rt::format(
        "Waiting for you: channel %d has not completed its counts in %s. Press \u201cSkip "
        "channel\u201d to go on without it (its lines fail), or wait.",
        test_->ChannelUnderTest + 1, ClockText(now - waitSince_).c_str());
    w.button = "Skip channel";
    w.panel = panels_.TabSlope;
    w.control = ctl::TabSlope::SkipChannel;
    w.seconds = now - waitSince_;
  } else if (s == kLongTime) {
    w.text =
        "Waiting for you: the long-time CRC and lost-frame check runs until you press "
        "\u201cEnd long-time test\u201d.";
    w.button = "End long-time test";
    w.panel = panels_.TestCFCPanel;
    w.control = ctl::Test::EndLongTest;
    w.seconds = inStep;
  }
  return w;
}

std::string Progress::runBegun(const RunEvent &run) {
  clear();
  active_ = true;
  runStart_ = stepStart_ = rt_.Timer();
  // The steps this run will make: the switched-on states from the start to the end.
  order_ = SwitchedOnStates(rt_, panels_);
  variant_ = run.info.variant;
  stepsOn_ = run.info.stepsOn;
  history_.clear();
  unsaid_.clear();
  asked_ = estimates != nullptr;
  settled_ = !asked_;
  if (asked_) estimates->ask();
  return {};
}

bool Progress::estimatesSettled() const {
  adoptAnswer();
  return settled_;
}

void Progress::adoptAnswer() const {
  if (!asked_ || settled_) return;
  std::optional<StepEstimates> a = estimates->answer();
  if (!a) return;
  settled_ = true;
  history_ = std::move(a->seconds);
  unsaid_ = std::move(a->problem);
}

void Progress::sayProblem() {
  adoptAnswer();
  if (unsaid_.empty()) return;
  rt_.InsertTextBoxLine(panels_.TestCFCPanel, ctl::Test::LogBox, -1,
                        "Time left from typical durations: " + unsaid_);
  unsaid_.clear();
}

std::string Progress::stepBegun(int state, const std::string &title, double clock) {
  const auto at = std::find(order_.begin(), order_.end(), state);
  // A switch turned on during the run adds its step.
  if (at == order_.end())
    index_ = static_cast<int>(order_.insert(order_.begin() + (index_ + 1), state) - order_.begin());
  else
    index_ = static_cast<int>(at - order_.begin());
  title_ = title;
  stepStart_ = clock;
  sayProblem();
  if (onStep) onStep();
  return {};
}

std::string Progress::resultWritten(const ResultEvent &r) {
  if (r.passed) return {};
  ++failedCount_;
  // The line has just been added to the log box as its last line.
  const int lines = rt_.GetNumTextBoxLines(panels_.TestCFCPanel, ctl::Test::LogBox);
  failed_.push_back(FailedLine{r.step, "***FAILED : " + r.check, lines - 1});
  return {};
}

std::string Progress::runEnded(const EndEvent &end) {
  active_ = false;
  ended_ = true;
  verdict_ = end.verdict;
  endClock_ = end.clock;
  sayProblem();
  if (onEnd) onEnd();
  return {};
}

ProgressSnapshot Progress::snapshot() const {
  ProgressSnapshot p;
  p.active = active_;
  p.ended = ended_;
  p.verdict = verdict_;
  p.failedCount = failedCount_;
  p.failed = failed_;
  p.refused = refused_;
  if (ended_) {
    p.shownVerdict = ShownVerdict(verdict_, variant_, stepsOn_);
    if (PartialRun(variant_, stepsOn_)) p.stepsNotRun = StepsNotRun(*stepsOn_);
  }
  p.steps = static_cast<int>(order_.size());
  if (!active_ && !ended_) return p;
  adoptAnswer();
  const double now = active_ ? rt_.Timer() : endClock_;
  p.step = index_ + 1;
  p.title = title_;
  p.runElapsed = std::max(0.0, now - runStart_);
  p.stepElapsed = index_ >= 0 ? std::max(0.0, now - stepStart_) : 0;
  if (active_) {
    p.wait = operatorWait(now);
    bool fromHistory = true;
    for (size_t k = static_cast<size_t>(std::max(index_, 0)); k < order_.size(); ++k) {
      const int s = order_[k];
      double e = estimate(s);
      fromHistory = fromHistory && history_.count(s) != 0;
      if (static_cast<int>(k) == index_) e = std::max(0.0, e - p.stepElapsed);
      p.left += e;
    }
    p.leftFromHistory = fromHistory;
    const double whole = p.runElapsed + p.left;
    p.fraction = whole > 0 ? p.runElapsed / whole : 0;
  } else {
    p.fraction = 1;
  }
  return p;
}

std::string Progress::line() const {
  const ProgressSnapshot p = snapshot();
  return rt::format("[step %d/%d] %s  elapsed %s  left ~%s", p.step, p.steps, p.title.c_str(),
                    ClockText(p.runElapsed).c_str(), ClockText(p.left).c_str());
}

// ------------------------------------------------------------------------------ the tee

std::string SinkTee::runBegun(const RunEvent &run) {
  std::string first;
  for (size_t k = 0; k < sinks_.size(); ++k)
    if (std::string r = sinks_[k]->runBegun(run); k == 0) first = std::move(r);
  return first;
}

std::string SinkTee::stepBegun(int state, const std::string &title, double clock) {
  std::string first;
  for (size_t k = 0; k < sinks_.size(); ++k)
    if (std::string r = sinks_[k]->stepBegun(state, title, clock); k == 0) first = std::move(r);
  return first;
}

std::string SinkTee::resultWritten(const ResultEvent &result) {
  std::string first;
  for (size_t k = 0; k < sinks_.size(); ++k)
    if (std::string r = sinks_[k]->resultWritten(result); k == 0) first = std::move(r);
  return first;
}

std::string SinkTee::runEnded(const EndEvent &end) {
  std::string first;
  for (size_t k = 0; k < sinks_.size(); ++k)
    if (std::string r = sinks_[k]->runEnded(end); k == 0) first = std::move(r);
  return first;
}

std::string SinkTee::unsettled() { return sinks_.empty() ? std::string() : sinks_[0]->unsettled(); }
std::string SinkTee::unsaidProblem() {
  return sinks_.empty() ? std::string() : sinks_[0]->unsaidProblem();
}
bool SinkTee::unsettledRefused() { return !sinks_.empty() && sinks_[0]->unsettledRefused(); }

}  // namespace functest
