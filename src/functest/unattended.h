// The operator's give-up policy for runs nobody watches.
//
// Three waits of the functional test end only when a person acts: the bias waits of the 10 pA
// measurement and of the calibration (the slope page's stop button), the channel phases of the
// 200-counts measurement and of the calibration (the skip switch), and the long-time fibre check
// (its end button). With the policy on, the program presses them itself, as an operator would:
// the 10 pA wait is stopped once every channel is stable (or after a while), a bias wait is given
// up after `biasSeconds`, a channel that has not completed after `channelSeconds` is skipped, and
// the long-time check is ended after `longCheckSeconds`. The result lines are those the
// operator's press writes; what the policy did is said in the log box and in the record.
#pragma once

#include <string>
#include <vector>

#include "ctl/panels.h"
#include "functest/step.h"
#include "rt/runtime.h"

namespace functest {

struct UnattendedPolicy {
  bool on = false;
  double biasSeconds = 300.0;       // a bias wait is given up after this long
  double channelSeconds = 60.0;     // a channel of a 200-counts phase is skipped after this long
  double longCheckSeconds = 600.0;  // the long-time fibre check is ended after this long
  double stableSeconds = 0.0;       // the 10 pA wait goes on this long once every channel is stable
};

class Unattended {
 public:
  // One look at the running step, on a sequencer tick before the step is called: presses what
  // the policy says is due and appends a line per press to `actions`. `now` is the program's
  // clock. A step that has not made its first call yet is only noted (its working state may
  // still be the previous step's).
  void tick(const UnattendedPolicy &policy, TestState &s, rt::Runtime &rt, const ctl::Panels &p,
            double now, std::vector<std::string> &actions);
  // Forgets the step it watched (a new run).
  void reset() { *this = Unattended{}; }

 private:
  int state_ = -1;
  double stepStart_ = 0;
  int channel_ = -1;
  double channelStart_ = 0;
  double allStableSince_ = -1;
  bool longEnded_ = false;
};

}  // namespace functest
