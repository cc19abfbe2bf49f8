#include "functest/unattended.h"

#include "ctl/test_panel.h"
#include "rt/format.h"

namespace functest {

namespace SL = ctl::TabSlope;

namespace {

// The states whose waits the policy ends.
constexpr int kCalibrate = 6, k10pA = 13, k200Counts = 14, kLongTime = 15;

}  // namespace

void Unattended::tick(const UnattendedPolicy &policy, TestState &s, rt::Runtime &rt,
                      const ctl::Panels &p, double now, std::vector<std::string> &actions) {
  if (!policy.on) return;
  if (s.StateTest != state_ || s.StartedAlready == 0) {
    state_ = s.StateTest;
    stepStart_ = now;
    channel_ = -1;
    allStableSince_ = -1;
    longEnded_ = false;
    return;
  }
  const double inStep = now - stepStart_;

  // Bias waits: the slope page's stop button.
  const bool biasWait = (state_ == k10pA || state_ == kCalibrate) && s.StepNbr == 1;
  if (biasWait && rt.GetCtrlValI(p.TabSlope, SL::StopRequest) == 0) {
    bool allStable = state_ == k10pA;
    for (const rt::Ctl &led : SL::PeriodOk)
      allStable = allStable && rt.GetCtrlValI(p.TabSlope, led) != 0;
    if (!allStable)
      allStableSince_ = -1;
    else if (allStableSince_ < 0)
      allStableSince_ = now;
    std::string why;
    if (allStable && now - allStableSince_ >= policy.stableSeconds)
      why = "10 pA wait stopped: every channel stable";
    else if (inStep >= policy.biasSeconds)
      why = rt::format("%s wait given up after %.0f s",
                       state_ == k10pA ? "10 pA" : "calibration bias", policy.biasSeconds);
    if (!why.empty()) {
      rt.SetCtrlVal(p.TabSlope, SL::StopRequest, 1);
      actions.push_back(why);
    }
  }

  // Channel phases: the skip switch, one channel at a time.
  const bool channelPhase =
      (state_ == k200Counts && s.StepNbr == 1) || (state_ == kCalibrate && s.StepNbr >= 2);
  if (!channelPhase) {
    channel_ = -1;
  } else if (s.ChannelUnderTest != channel_) {
    channel_ = s.ChannelUnderTest;
    channelStart_ = now;
  } else if (now - channelStart_ >= policy.channelSeconds &&
             rt.GetCtrlValI(p.TabSlope, SL::SkipChannel) == 0) {
    rt.SetCtrlVal(p.TabSlope, SL::SkipChannel, 1);
    actions.push_back(rt::format("channel %d skipped after %.0f s without its count", channel_ + 1,
                                 policy.channelSeconds));
    channelStart_ = now;
  }

  // The long-time fibre check: its end button.
  if (state_ == kLongTime && !longEnded_ && inStep >= policy.longCheckSeconds) {
    longEnded_ = true;
    s.EndOfLongTimeTest = 1;
    actions.push_back(rt::format("long-time check ended after %.0f s", policy.longCheckSeconds));
  }
}

}  // namespace functest
