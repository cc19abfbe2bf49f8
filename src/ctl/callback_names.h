// Every callback name the panel files may use: the program binds each of them (app/callbacks.cpp)
// and the run-time refuses a panel file that names another.
#pragma once

namespace ctl {

inline constexpr const char *kCallbackNames[] = {
    "KeyCallback",
    "Quit",
    "ContiReads",
    "ReadData__",
    "SaveToFile",
    "EndFile",
    "SaveToFileFast",
    "ReadRawAndStore",
    "OpenAndCheck",
    "NextPartInFile",
    "OpenOptionUI",
    "ViewRawDatas",
    "ShowTestPanel",
    "CloseOptionsPanel",
    "UpdateOptionPanelValues",
    "Write_Instruction",
    "Rst_fpga",
    "ResetAdcCompensation",
    "Read_JTAG",
    "CloseRawDataPanel",
    "CloseShowFrame",
    "CloseTestCFC",
    "StartTestCFC",
    "TunnelStartTestCFC",
    "StopTestCFC",
    "EndLogTimeTest",
    "TestCFC_ReadOut",
    "CreateDACFile",
    "Stop10pAtest",
    "ChangeLinearityFile",
    "UpdateConfigPanelandUSB",
    "UIChangeSetup",
    "UpdatePanelSumMax",
    "UpdateCurrentChange",
    "ChangeOptionUI",
    "ControlCodeBars",
    "ChangeReadOutMode",
    "ReadFrame",
    "InterruptTestCfc",
    "TimerRefresh",
};

}  // namespace ctl
