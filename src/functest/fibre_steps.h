// The fibre checks: the four error rates observed for 30 s (retried on the operator's word), and
// the long check that keeps reading until the operator ends it and passes a counter only when it
// did not grow.
#pragma once

#include <cstdint>

#include "functest/step.h"

namespace functest {

// The smoothing of an error rate: a rise, a fall to zero or a fall of more than 5 is taken at
// once, a small fall followed slowly.
float SmoothRate(float smoothed, float rate);

class TestCRCLostFrame final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;

  // CRC A, CRC B, lost frames A, lost frames B.
  float Smoothed[4] = {};
  int Reported[4] = {};
};

class TestLongTimeCRCLF final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;

  // The counters at the step's start: Erra, Errb, Losta, Lostb, Errc, Errd, Errf, Nbrmaxresets.
  // The board's counters are unsigned 32-bit; their growth is taken modulo 2^32, so a counter
  // past 2^24 or one that wraps is never misread.
  double LongTestStart = 0;
  uint32_t Base[8] = {};
};

}  // namespace functest
