// The board's DAC values: the SAVE DAC VALUES step writes them into the report; the DAC file
// button writes them into a file of their own outside the test.
#pragma once

#include <string>

#include "functest/step.h"

namespace functest {

class SaveDacVals final : public Step {
 public:
  StepResult call(TestContext &t, bool first) override;
};

// The DAC file of a card: the bench report prefix followed by "_SAVE_DAC_CN%d.dac".
std::string DacFileName(const std::string &benchReportPrefix, int cardNumber);

// Reads a fresh block, appends the DAC block to the card's DAC file and tells the operator in
// Test.LogBox where it went, or that it could not be saved. 0 when saved, -1 when not.
int CreateDacFile(TestContext &t);

}  // namespace functest
