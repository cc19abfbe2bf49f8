#include "functest/dac_steps.h"

#include "ctl/test_panel.h"
#include "functest/bench_port.h"
#include "functest/report.h"
#include "rt/format.h"

namespace functest {

StepResult SaveDacVals::call(TestContext &t, bool) {
  t.acquisition(false);
  t.readOutMode(2);
  t.read();
  t.read();
  t.heading("SAVE DAC VALUES => Start at %.2f [s] ");
  for (int c = 0; c < 8; ++c) t.log(rt::format("DAC CHANNEL %d : %d", c + 1, t.acq().DacVal[c]));
  return StepResult::Done;
}

std::string DacFileName(const std::string &benchReportPrefix, int cardNumber) {
  return benchReportPrefix + rt::format("_SAVE_DAC_CN%d.dac", cardNumber);
}

int CreateDacFile(TestContext &t) {
  t.readOutMode(2);
  for (int k = 0; k < 5; ++k) t.read();
  const acq::AcqState &a = t.acq();
  const std::string name =
      DacFileName(t.rt.GetCtrlValS(t.p.TabBData, ctl::TabBData::BenchReportPrefix), a.CardNumber);
  // One block, written in one append: two saves give two complete blocks, one after the other.
  std::string block = "DAC MEASUREMENTS OF THE TUNNEL ACQUISITION BOARD FOR THE KVR \n";
  block += " \n";
  block += rt::ctimeText(t.bench.WallTime()) + "\n";
  block += std::string(kDashes61) + "\n";
  block += rt::format("SAVE DAC VALUES => Start at %.2f [s] ", t.bench.Timer()) + "\n";
  block += std::string(kDashes60) + "\n";
  for (int c = 0; c < 8; ++c) block += rt::format("DAC CHANNEL %d : %d\n", c + 1, a.DacVal[c]);
  const std::string reason = AppendToFile(name, block);

  const int panel = t.p.TestCFCPanel;
  t.rt.ResetTextBox(panel, ctl::Test::LogBox, " ");
  if (!reason.empty()) {
    t.rt.InsertTextBoxLine(panel, ctl::Test::LogBox, -1, "DAC VALUES NOT SAVED IN :");
    t.rt.InsertTextBoxLine(panel, ctl::Test::LogBox, -1, name);
    t.rt.InsertTextBoxLine(panel, ctl::Test::LogBox, -1, reason);
    return -1;
  }
  t.rt.InsertTextBoxLine(panel, ctl::Test::LogBox, -1, "DAC VALUES SAVED IN :");
  t.rt.InsertTextBoxLine(panel, ctl::Test::LogBox, -1, name);
  return 0;
}

}  // namespace functest
