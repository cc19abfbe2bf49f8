#include "functest/acq_bench_port.h"

#include <cmath>
#include <ctime>

#include "ctl/main_panel.h"
#include "ctl/options_panel.h"

namespace functest {

AcqBenchPort::AcqBenchPort(rt::Runtime &rt, const ctl::Panels &panels, acq::Acquisition &acq,
                           hw::FpgaConfig &config, hw::QuickUsb &usb)
    : rt_(rt),
      panels_(panels),
      acq_(acq),
      config_(config),
      usb_(usb),
      wallAtStart_(static_cast<long long>(std::time(nullptr))),
      clockAtStart_(rt.Timer()) {}

double AcqBenchPort::Timer() { return rt_.Timer(); }

long long AcqBenchPort::WallTime() {
  return wallAtStart_ + static_cast<long long>(std::floor(rt_.Timer() - clockAtStart_));
}

int AcqBenchPort::ReadShowFrame() { return acq_.ReadShowFrame(); }

bool AcqBenchPort::AcquisitionRunning() {
  return rt_.GetCtrlAttribute(panels_.MainPanel, ctl::Main::AcqTimer, rt::ATTR_ENABLED) != 0;
}

int AcqBenchPort::ContinuousReadStartStop() { return acq_.ContinuousReadStartStop(); }

int AcqBenchPort::UpdateMainPanel() { return config_.UpdateMainPanel(); }

int AcqBenchPort::UpdateMainPanelWithoutFpga() { return config_.UpdateMainPanelWithoutFpga(); }

int AcqBenchPort::UpdateFPGAConfigFromOptionPanel() {
  return config_.UpdateFPGAConfigFromOptionPanel();
}

int AcqBenchPort::UpdateCurrentChangeInFPGA() { return config_.UpdateCurrentChangeInFPGA(); }

int AcqBenchPort::UpdateOptions() {
  acq_.ShowGraph = rt_.GetCtrlValI(panels_.OptionsPanel, ctl::Options::ShowGraph);
  return 0;
}

void AcqBenchPort::EndRecording() { acq_.EndRecording(); }

acq::AcqState &AcqBenchPort::state() { return acq_; }

bool AcqBenchPort::ModuleConnected() { return usb_.NbrQuickUSBConnected != 0; }
bool AcqBenchPort::ModuleLost() { return acq_.moduleLost(); }
double AcqBenchPort::ModuleLostAt() { return usb_.ModuleLostAt; }

std::string AcqBenchPort::ModuleName() {
  // The module opened at start-up keeps its name when it is lost: the loss is said by name.
  return usb_.moduleOpened ? std::string(usb_.NameList) : std::string();
}

}  // namespace functest
