// Controls of the functional-test panel (TessockTestCfc2_panel.ui) and of its three tab pages.
// Each tab page is a panel of its own, with its own ids.
#pragma once

#include "ctl/all_controls.h"
#include "rt/runtime.h"

// Test panel: run buttons, progress, current setups, log.
namespace ctl::Test {

// Run
inline constexpr rt::Ctl StartBench{101, rt::Kind::Button};
inline constexpr rt::Ctl StartTunnel{102, rt::Kind::Button};
inline constexpr rt::Ctl Stop{103, rt::Kind::Button};
inline constexpr rt::Ctl EndLongTest{104, rt::Kind::Button};
inline constexpr rt::Ctl ReadOut{105, rt::Kind::Button};
inline constexpr rt::Ctl CreateDacFile{106, rt::Kind::Button};
inline constexpr rt::Ctl Close{100, rt::Kind::Button};

// Progress
inline constexpr rt::Ctl StepTitle{20, rt::Kind::StringDisplay};
inline constexpr rt::Ctl Clock{18, rt::Kind::Numeric};
inline constexpr rt::Ctl FpgaDeviceNumber{17, rt::Kind::Numeric};
inline constexpr rt::Ctl SequencerTimer{2, rt::Kind::Timer};

// Current setups
inline constexpr rt::Ctl CurrentSelect1{11, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect2{12, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect3{10, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect4{9, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect5{8, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect6{7, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect7{6, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect8{5, rt::Kind::Ring};

// Tab control: its pages are the panels TabBData, TabSlope and TabLin
inline constexpr rt::Ctl Tabs{3, rt::Kind::Tab};

// Report lines of the running test
inline constexpr rt::Ctl LogBox{13, rt::Kind::TextBox};

// Current-setup rings, indexed by channel 0..7 (CH1..CH8).
inline constexpr rt::Ctl CurrentSelect[8] = {CurrentSelect1, CurrentSelect2, CurrentSelect3,
                                             CurrentSelect4, CurrentSelect5, CurrentSelect6,
                                             CurrentSelect7, CurrentSelect8};

// Every control of the panel, by name.
inline constexpr Entry kAll[] = {
    {"StartBench", StartBench},
    {"StartTunnel", StartTunnel},
    {"Stop", Stop},
    {"EndLongTest", EndLongTest},
    {"ReadOut", ReadOut},
    {"CreateDacFile", CreateDacFile},
    {"Close", Close},
    {"StepTitle", StepTitle},
    {"Clock", Clock},
    {"FpgaDeviceNumber", FpgaDeviceNumber},
    {"SequencerTimer", SequencerTimer},
    {"CurrentSelect1", CurrentSelect1},
    {"CurrentSelect2", CurrentSelect2},
    {"CurrentSelect3", CurrentSelect3},
    {"CurrentSelect4", CurrentSelect4},
    {"CurrentSelect5", CurrentSelect5},
    {"CurrentSelect6", CurrentSelect6},
    {"CurrentSelect7", CurrentSelect7},
    {"CurrentSelect8", CurrentSelect8},
    {"Tabs", Tabs},
    {"LogBox", LogBox},
};

}  // namespace ctl::Test

// Tab page 0, board data: identification, files, step switches.
namespace ctl::TabBData {

// Identification
inline constexpr rt::Ctl DeviceBarcode1{24, rt::Kind::String};
inline constexpr rt::Ctl DeviceBarcode2{23, rt::Kind::String};
inline constexpr rt::Ctl BoardBarcode{22, rt::Kind::String};
inline constexpr rt::Ctl Otr1Barcode{21, rt::Kind::String};
inline constexpr rt::Ctl Otr2Barcode{20, rt::Kind::String};
inline constexpr rt::Ctl PcbVersion{27, rt::Kind::Numeric};
inline constexpr rt::Ctl NoIdCheck{31, rt::Kind::Switch};
inline constexpr rt::Ctl Comments{26, rt::Kind::TextBox};

// Files
inline constexpr rt::Ctl BenchReportPrefix{17, rt::Kind::String};
inline constexpr rt::Ctl TunnelReportPrefix{16, rt::Kind::String};
inline constexpr rt::Ctl LinearityFile{18, rt::Kind::String};
inline constexpr rt::Ctl ChooseLinearityFile{100, rt::Kind::Button};

// Test steps (in run order)
inline constexpr rt::Ctl Enable10pA{9, rt::Kind::Switch};
inline constexpr rt::Ctl Enable200Counts{8, rt::Kind::Switch};
inline constexpr rt::Ctl EnableCrcLostFrame{15, rt::Kind::Switch};
inline constexpr rt::Ctl EnableTempOtrDac{12, rt::Kind::Switch};
inline constexpr rt::Ctl EnablePowerSupplies{11, rt::Kind::Switch};
inline constexpr rt::Ctl EnableHvLevels{14, rt::Kind::Switch};
inline constexpr rt::Ctl EnableCalibrate{10, rt::Kind::Switch};
inline constexpr rt::Ctl EnableSaveDacValues{28, rt::Kind::Switch};
inline constexpr rt::Ctl EnableLinearity{6, rt::Kind::Switch};
inline constexpr rt::Ctl EnableIntegratorLevel{13, rt::Kind::Switch};
inline constexpr rt::Ctl EnableCfcError{7, rt::Kind::Switch};
inline constexpr rt::Ctl EnableCfcTestMode{5, rt::Kind::Switch};
inline constexpr rt::Ctl EnableOtrReset{4, rt::Kind::Switch};
inline constexpr rt::Ctl EnableDacCounters{3, rt::Kind::Switch};
inline constexpr rt::Ctl EnableLongTimeCrc{2, rt::Kind::Switch};

// Step settings
inline constexpr rt::Ctl HvDacStep{32, rt::Kind::Numeric};
inline constexpr rt::Ctl RefreshTimer{25, rt::Kind::Timer};

// Every control of the panel, by name.
inline constexpr Entry kAll[] = {
    {"DeviceBarcode1", DeviceBarcode1},
    {"DeviceBarcode2", DeviceBarcode2},
    {"BoardBarcode", BoardBarcode},
    {"Otr1Barcode", Otr1Barcode},
    {"Otr2Barcode", Otr2Barcode},
    {"PcbVersion", PcbVersion},
    {"NoIdCheck", NoIdCheck},
    {"Comments", Comments},
    {"BenchReportPrefix", BenchReportPrefix},
    {"TunnelReportPrefix", TunnelReportPrefix},
    {"LinearityFile", LinearityFile},
    {"ChooseLinearityFile", ChooseLinearityFile},
    {"Enable10pA", Enable10pA},
    {"Enable200Counts", Enable200Counts},
    {"EnableCrcLostFrame", EnableCrcLostFrame},
    {"EnableTempOtrDac", EnableTempOtrDac},
    {"EnablePowerSupplies", EnablePowerSupplies},
    {"EnableHvLevels", EnableHvLevels},
    {"EnableCalibrate", EnableCalibrate},
    {"EnableSaveDacValues", EnableSaveDacValues},
    {"EnableLinearity", EnableLinearity},
    {"EnableIntegratorLevel", EnableIntegratorLevel},
    {"EnableCfcError", EnableCfcError},
    {"EnableCfcTestMode", EnableCfcTestMode},
    {"EnableOtrReset", EnableOtrReset},
    {"EnableDacCounters", EnableDacCounters},
    {"EnableLongTimeCrc", EnableLongTimeCrc},
    {"HvDacStep", HvDacStep},
    {"RefreshTimer", RefreshTimer},
};

}  // namespace ctl::TabBData

// Tab page 1, channel measurements (200 counts, calibration, 10 pA).
namespace ctl::TabSlope {

// Channel under test
inline constexpr rt::Ctl Channel{6, rt::Kind::Numeric};
inline constexpr rt::Ctl CountsMean{5, rt::Kind::Numeric};
inline constexpr rt::Ctl Period{3, rt::Kind::Numeric};
inline constexpr rt::Ctl CalcPeriod{4, rt::Kind::Numeric};

// Measurement
inline constexpr rt::Ctl ReadOutChoice{12, rt::Kind::Ring};
inline constexpr rt::Ctl SkipChannel{13, rt::Kind::Switch};
inline constexpr rt::Ctl StopMeasure{100, rt::Kind::Button};
inline constexpr rt::Ctl StopRequest{11, rt::Kind::Numeric};

// ADC limits
inline constexpr rt::Ctl MinReachLimit{31, rt::Kind::Numeric};
inline constexpr rt::Ctl MaxReachLimit{32, rt::Kind::Numeric};

// Channels
inline constexpr rt::Ctl CountsOk1{22, rt::Kind::Led};
inline constexpr rt::Ctl CountsOk2{15, rt::Kind::Led};
inline constexpr rt::Ctl CountsOk3{20, rt::Kind::Led};
inline constexpr rt::Ctl CountsOk4{19, rt::Kind::Led};
inline constexpr rt::Ctl CountsOk5{18, rt::Kind::Led};
inline constexpr rt::Ctl CountsOk6{17, rt::Kind::Led};
inline constexpr rt::Ctl CountsOk7{16, rt::Kind::Led};
inline constexpr rt::Ctl CountsOk8{21, rt::Kind::Led};
inline constexpr rt::Ctl PeriodOk1{23, rt::Kind::Led};
inline constexpr rt::Ctl PeriodOk2{24, rt::Kind::Led};
inline constexpr rt::Ctl PeriodOk3{25, rt::Kind::Led};
inline constexpr rt::Ctl PeriodOk4{26, rt::Kind::Led};
inline constexpr rt::Ctl PeriodOk5{27, rt::Kind::Led};
inline constexpr rt::Ctl PeriodOk6{28, rt::Kind::Led};
inline constexpr rt::Ctl PeriodOk7{29, rt::Kind::Led};
inline constexpr rt::Ctl PeriodOk8{30, rt::Kind::Led};

// CFC history graph and per-channel results (rows 2..9 = CH1..CH8)
inline constexpr rt::Ctl CfcGraph{7, rt::Kind::Graph};
inline constexpr rt::Ctl ResultTable{8, rt::Kind::Table};

// Per-channel LEDs, indexed by channel 0..7 (CH1..CH8).
inline constexpr rt::Ctl CountsOk[8] = {CountsOk1, CountsOk2, CountsOk3, CountsOk4,
                                        CountsOk5, CountsOk6, CountsOk7, CountsOk8};
inline constexpr rt::Ctl PeriodOk[8] = {PeriodOk1, PeriodOk2, PeriodOk3, PeriodOk4,
                                        PeriodOk5, PeriodOk6, PeriodOk7, PeriodOk8};

// Every control of the panel, by name.
inline constexpr Entry kAll[] = {
    {"Channel", Channel},
    {"CountsMean", CountsMean},
    {"Period", Period},
    {"CalcPeriod", CalcPeriod},
    {"ReadOutChoice", ReadOutChoice},
    {"SkipChannel", SkipChannel},
    {"StopMeasure", StopMeasure},
    {"StopRequest", StopRequest},
    {"MinReachLimit", MinReachLimit},
    {"MaxReachLimit", MaxReachLimit},
    {"CountsOk1", CountsOk1},
    {"CountsOk2", CountsOk2},
    {"CountsOk3", CountsOk3},
    {"CountsOk4", CountsOk4},
    {"CountsOk5", CountsOk5},
    {"CountsOk6", CountsOk6},
    {"CountsOk7", CountsOk7},
    {"CountsOk8", CountsOk8},
    {"PeriodOk1", PeriodOk1},
    {"PeriodOk2", PeriodOk2},
    {"PeriodOk3", PeriodOk3},
    {"PeriodOk4", PeriodOk4},
    {"PeriodOk5", PeriodOk5},
    {"PeriodOk6", PeriodOk6},
    {"PeriodOk7", PeriodOk7},
    {"PeriodOk8", PeriodOk8},
    {"CfcGraph", CfcGraph},
    {"ResultTable", ResultTable},
};

}  // namespace ctl::TabSlope

// Tab page 2, linearity.
namespace ctl::TabLin {

// Linearity graph
inline constexpr rt::Ctl LineNumber{3, rt::Kind::Numeric};
inline constexpr rt::Ctl Graph{2, rt::Kind::Graph};

// Every control of the panel, by name.
inline constexpr Entry kAll[] = {
    {"LineNumber", LineNumber},
    {"Graph", Graph},
};

}  // namespace ctl::TabLin
