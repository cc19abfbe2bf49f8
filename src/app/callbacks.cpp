// The table that binds the callback names of the panel files to the program's code. Every name
// a panel file may use is here; the run-time refuses a panel file that names another.
#include "app/bench.h"

namespace app {

void Bench::registerCallbacks() {
  using M3 = int (Shell::*)(int, int, int);
  auto bindShell = [this](const char *name, M3 m) {
    rt.RegisterCallback(name,
                        [this, m](int p, int c, int e, int, int) { return (shell.*m)(p, c, e); });
  };
  auto bindAcq = [this](const char *name, int (acq::Acquisition::*m)(int, int, int)) {
    rt.RegisterCallback(name,
                        [this, m](int p, int c, int e, int, int) { return (acq.*m)(p, c, e); });
  };
  auto bindFpga = [this](const char *name, int (hw::Fpga::*m)(int, int, int)) {
    rt.RegisterCallback(name,
                        [this, m](int p, int c, int e, int, int) { return (fpga.*m)(p, c, e); });
  };
  auto bindConfig = [this](const char *name, int (hw::FpgaConfig::*m)(int, int, int)) {
    rt.RegisterCallback(name,
                        [this, m](int p, int c, int e, int, int) { return (config.*m)(p, c, e); });
  };

  rt.RegisterCallback("Quit", [this](int p, int c, int e, int, int) { return Quit(p, c, e); });

  // Secondary panels and small callbacks.
  bindShell("OpenOptionUI", &Shell::OpenOptionUI);
  bindShell("CloseOptionsPanel", &Shell::CloseOptionsPanel);
  bindShell("ViewRawDatas", &Shell::ViewRawDatas);
  bindShell("CloseRawDataPanel", &Shell::CloseRawDataPanel);
  bindShell("CloseShowFrame", &Shell::CloseShowFrame);
  bindShell("ShowTestPanel", &Shell::ShowTestPanel);
  bindShell("CloseTestCFC", &Shell::CloseTestCFC);
  bindShell("ChangeOptionUI", &Shell::ChangeOptionUI);
  bindShell("UpdateOptionPanelValues", &Shell::UpdateOptionPanelValues);
  bindShell("UpdateConfigPanelandUSB", &Shell::UpdateConfigPanelandUSB);
  bindShell("UIChangeSetup", &Shell::UIChangeSetup);
  bindShell("ControlCodeBars", &Shell::ControlCodeBars);
  bindShell("ChangeLinearityFile", &Shell::ChangeLinearityFile);

  // FPGA commands and configuration.
  bindFpga("Write_Instruction", &hw::Fpga::Write_Instruction);
  bindFpga("Rst_fpga", &hw::Fpga::Rst_fpga);
  bindFpga("ResetAdcCompensation", &hw::Fpga::ResetAdcCompensation);
  bindFpga("Read_JTAG", &hw::Fpga::Read_JTAG);
  bindConfig("UpdateCurrentChange", &hw::FpgaConfig::UpdateCurrentChange);
  bindConfig("ChangeReadOutMode", &hw::FpgaConfig::ChangeReadOutMode);

  // Functional test.
  auto bindTest = [this](const char *name, int (functest::FunctionalTest::*m)(int, int, int)) {
    rt.RegisterCallback(name,
                        [this, m](int p, int c, int e, int, int) { return (test.*m)(p, c, e); });
  };
  bindTest("StartTestCFC", &functest::FunctionalTest::StartTestCFC);
  bindTest("TunnelStartTestCFC", &functest::FunctionalTest::TunnelStartTestCFC);
  bindTest("StopTestCFC", &functest::FunctionalTest::StopTestCFC);
  bindTest("InterruptTestCfc", &functest::FunctionalTest::InterruptTestCfc);
  bindTest("EndLogTimeTest", &functest::FunctionalTest::EndLogTimeTest);
  bindTest("CreateDACFile", &functest::FunctionalTest::CreateDACFile);
  bindTest("Stop10pAtest", &functest::FunctionalTest::Stop10pAtest);
  bindTest("TestCFC_ReadOut", &functest::FunctionalTest::TestCFC_ReadOut);

  // Acquisition.
  bindAcq("ReadFrame", &acq::Acquisition::ReadFrame);
  bindAcq("ContiReads", &acq::Acquisition::ContiReads);
  bindAcq("ReadData__", &acq::Acquisition::ReadData__);
  bindAcq("TimerRefresh", &acq::Acquisition::TimerRefresh);
  bindAcq("UpdatePanelSumMax", &acq::Acquisition::UpdatePanelSumMax);

  // Record files, raw capture and replay.
  bindAcq("SaveToFile", &acq::Acquisition::SaveToFile);
  bindAcq("EndFile", &acq::Acquisition::EndFile);
  bindAcq("SaveToFileFast", &acq::Acquisition::SaveToFileFast);
  bindAcq("ReadRawAndStore", &acq::Acquisition::ReadRawAndStore);
  bindAcq("OpenAndCheck", &acq::Acquisition::OpenAndCheck);
  bindAcq("NextPartInFile", &acq::Acquisition::NextPartInFile);
  rt.RegisterCallback("KeyCallback", [this](int p, int c, int e, int d1, int) {
    return acq.KeyCallback(p, c, e, d1);
  });
}

}  // namespace app
