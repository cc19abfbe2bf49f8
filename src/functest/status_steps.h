// The status-line steps: temperature, OTR and DAC-overflow lines; the supply monitors with each
// supply reduced in turn; the integrator-level lines in and out of range; the CFC error lines
// once the counts have stopped.
#pragma once

#include "functest/slow_dac_step.h"
#include "functest/step.h"

namespace functest {

class TestStatusTempOtr final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;

 private:
  StepResult grade(TestContext &t);
  DacCounterReset reset_;
};

class TestStatusPowerSupplies final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;
};

class TestIntegratorLevelStatus final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;
};

class TestCFCErrorStatus final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;

 private:
  bool normalWritten_ = false;  // the NORMAL STATE lines of this run are in the report
  bool countsStopped_ = false;  // the -10 uA is on
};

}  // namespace functest
