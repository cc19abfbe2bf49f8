#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "functest/bench_port.h"
#include "functest/report.h"
#include "functest/step.h"

namespace functest {

float TestContext::GetTimer() const {
  return static_cast<float>(rt.GetCtrlValD(p.TestCFCPanel, ctl::Test::Clock));
}

void TestContext::SetTimer(float seconds) {
  rt.SetCtrlVal(p.TestCFCPanel, ctl::Test::Clock, static_cast<double>(seconds));
}

double TestContext::Timer() const { return bench.Timer(); }

void TestContext::StartInterruptions(double interval) {
  rt.SetCtrlAttribute(p.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_INTERVAL, interval);
  rt.SetCtrlAttribute(p.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_ENABLED, 1);
}

void TestContext::StopInterruptions() {
  rt.SetCtrlAttribute(p.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_ENABLED, 0);
}

void TestContext::acquisition(bool on) {
  if (bench.AcquisitionRunning() != on) bench.ContinuousReadStartStop();
}

void TestContext::readOutMode(int mode) {
  rt.SetCtrlVal(p.MainPanel, ctl::Main::ReadOutMode, mode);
  bench.UpdateMainPanel();
}

void TestContext::acqInterval(double seconds) {
  rt.SetCtrlVal(p.MainPanel, ctl::Main::AcqInterval, seconds);
  bench.UpdateMainPanelWithoutFpga();
}

void TestContext::opt(int ctrl, double value) { rt.SetCtrlVal(p.OptionsPanel, ctrl, value); }

double TestContext::optVal(int ctrl) const { return rt.GetCtrlValD(p.OptionsPanel, ctrl); }

int TestContext::update() { return bench.UpdateFPGAConfigFromOptionPanel(); }

void TestContext::currentSelect(int channel, int index) {
  if (channel < 0 || channel >= 8) return;
  rt.SetCtrlVal(p.TestCFCPanel, ctl::Test::CurrentSelect[channel], index);
}

int TestContext::read() { return bench.ReadShowFrame(); }

acq::AcqState &TestContext::acq() { return bench.state(); }

bool TestContext::statusA(int mask) { return (bench.state().Statusa & mask) != 0; }

bool TestContext::statusB(int mask) { return (bench.state().Statusb & mask) != 0; }

void TestContext::heading(const char *headingFormat) {
  report.WriteToLog(" ");
  report.WriteToLog(rt::format(headingFormat, bench.Timer()));
  report.WriteToLog(kDashes60);
}

void TestContext::log(const std::string &line) { report.WriteToLog(line); }

void TestContext::result(const std::string &check, bool passed) {
  report.WriteToLogC(check, passed ? 1 : 0, 1);
}

void TestContext::result(const std::string &check, bool passed, const Measurement &m) {
  report.WriteToLogC(check, passed ? 1 : 0, 1, m);
}

bool TestContext::confirm(const std::string &title, const std::string &message) {
  return rt.ConfirmPopup(title, message) != 0;
}

}  // namespace functest
