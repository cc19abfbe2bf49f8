// The step of every state of the sequence.
#include "functest/dac_steps.h"
#include "functest/fibre_steps.h"
#include "functest/hv_levels_step.h"
#include "functest/linearity_step.h"
#include "functest/measurement_steps.h"
#include "functest/mode_steps.h"
#include "functest/sequencer.h"
#include "functest/slow_dac_step.h"
#include "functest/status_steps.h"

namespace functest {

std::unique_ptr<Step> MakeStep(int state) {
  switch (state) {
    case 0:
      return std::make_unique<TestCRCLostFrame>();
    case 1:
      return std::make_unique<TestIntegratorLevelStatus>();
    case 2:
      return std::make_unique<TestCFCErrorStatus>();
    case 3:
      return std::make_unique<LinearityTest>();
    case 4:
      return std::make_unique<TestSlowDAC>();
    case 5:
      return std::make_unique<TestHVLevels>();
    case 6:
      return std::make_unique<CalibrateChannel>();
    case 7:
      return std::make_unique<Check_Test_CFC>();
    case 8:
      return std::make_unique<Check_OTR_Reset>();
    case 10:
      return std::make_unique<SaveDacVals>();
    case 11:
      return std::make_unique<TestStatusTempOtr>();
    case 12:
      return std::make_unique<TestStatusPowerSupplies>();
    case 13:
      return std::make_unique<Measure10pA>();
    case 14:
      return std::make_unique<Measure200Counts>();
    case 15:
      return std::make_unique<TestLongTimeCRCLF>();
    default:
      return nullptr;
  }
}

}  // namespace functest
