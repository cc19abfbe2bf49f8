// Controls of the main window (TessockCheck_main_panel.ui).
#pragma once

#include "ctl/all_controls.h"
#include "rt/runtime.h"

// Main window: read-out, recording, raw capture, displays and status lights.
namespace ctl::Main {

// Module
inline constexpr rt::Ctl ModuleName{15, rt::Kind::TextBox};
inline constexpr rt::Ctl BoardOpenMark{14, rt::Kind::Led};
inline constexpr rt::Ctl BoardNumber{90, rt::Kind::Numeric};
inline constexpr rt::Ctl CardNumber{98, rt::Kind::Numeric};
inline constexpr rt::Ctl InfoBox{16, rt::Kind::TextBox};

// Read-out
inline constexpr rt::Ctl ReadOutMode{48, rt::Kind::Ring};
inline constexpr rt::Ctl FiberSelect{82, rt::Kind::Ring};
inline constexpr rt::Ctl SingleValueSelect{83, rt::Kind::Numeric};
inline constexpr rt::Ctl SinglePoints{92, rt::Kind::Numeric};
inline constexpr rt::Ctl AcqInterval{23, rt::Kind::Numeric};
inline constexpr rt::Ctl FramePeriod{21, rt::Kind::Numeric};
inline constexpr rt::Ctl ReadErrors{25, rt::Kind::Numeric};
inline constexpr rt::Ctl StartStop{101, rt::Kind::Button};
inline constexpr rt::Ctl ReadOnce{102, rt::Kind::Button};
inline constexpr rt::Ctl ModeGatedControl{28, rt::Kind::StringDisplay};
inline constexpr rt::Ctl AcqTimer{22, rt::Kind::Timer};

// Recording
inline constexpr rt::Ctl RecordFile{103, rt::Kind::Button};
inline constexpr rt::Ctl EndRecord{104, rt::Kind::Button};
inline constexpr rt::Ctl RecordFileName{29, rt::Kind::String};
inline constexpr rt::Ctl MultipleRunSave{85, rt::Kind::Switch};

// Raw capture and replay
inline constexpr rt::Ctl FastFile{105, rt::Kind::Button};
inline constexpr rt::Ctl FastFileName{27, rt::Kind::String};
inline constexpr rt::Ctl RawCaptureSeconds{70, rt::Kind::Numeric};
inline constexpr rt::Ctl RawCapture{106, rt::Kind::Button};
inline constexpr rt::Ctl ReplayOpen{107, rt::Kind::Button};
inline constexpr rt::Ctl ReplayNext{108, rt::Kind::Button};
inline constexpr rt::Ctl FileOffset{73, rt::Kind::Numeric};

// Secondary panels and quit
inline constexpr rt::Ctl OpenOptions{109, rt::Kind::Button};
inline constexpr rt::Ctl ViewRaw{110, rt::Kind::Button};
inline constexpr rt::Ctl OpenTest{111, rt::Kind::Button};
inline constexpr rt::Ctl Quit{100, rt::Kind::Button};

// Data graphs (hidden in SUMS_MAXIMUMS_ANALYSIS mode)
inline constexpr rt::Ctl DataGraph1{66, rt::Kind::Graph};
inline constexpr rt::Ctl DataGraph2{67, rt::Kind::Graph};

// Sums display (SUMS_MAXIMUMS_ANALYSIS mode only)
inline constexpr rt::Ctl SumsGraph{2, rt::Kind::Graph};
inline constexpr rt::Ctl SumSelect{3, rt::Kind::Ring};
inline constexpr rt::Ctl ShowNormalized{5, rt::Kind::Switch};
inline constexpr rt::Ctl PlotCh1{13, rt::Kind::Switch};
inline constexpr rt::Ctl PlotCh2{12, rt::Kind::Switch};
inline constexpr rt::Ctl PlotCh3{11, rt::Kind::Switch};
inline constexpr rt::Ctl PlotCh4{10, rt::Kind::Switch};
inline constexpr rt::Ctl PlotCh5{9, rt::Kind::Switch};
inline constexpr rt::Ctl PlotCh6{8, rt::Kind::Switch};
inline constexpr rt::Ctl PlotCh7{7, rt::Kind::Switch};
inline constexpr rt::Ctl PlotCh8{6, rt::Kind::Switch};

// Status lights
inline constexpr rt::Ctl StatusA0{56, rt::Kind::Led};
inline constexpr rt::Ctl StatusA1{57, rt::Kind::Led};
inline constexpr rt::Ctl StatusA2{58, rt::Kind::Led};
inline constexpr rt::Ctl StatusA3{59, rt::Kind::Led};
inline constexpr rt::Ctl StatusA4{60, rt::Kind::Led};
inline constexpr rt::Ctl StatusA5{61, rt::Kind::Led};
inline constexpr rt::Ctl StatusA6{62, rt::Kind::Led};
inline constexpr rt::Ctl StatusA7{63, rt::Kind::Led};
inline constexpr rt::Ctl StatusA8{32, rt::Kind::Led};
inline constexpr rt::Ctl StatusA9{49, rt::Kind::Led};
inline constexpr rt::Ctl StatusA10{50, rt::Kind::Led};
inline constexpr rt::Ctl StatusA11{51, rt::Kind::Led};
inline constexpr rt::Ctl StatusA12{52, rt::Kind::Led};
inline constexpr rt::Ctl StatusA13{53, rt::Kind::Led};
inline constexpr rt::Ctl StatusA14{54, rt::Kind::Led};
inline constexpr rt::Ctl StatusA15{55, rt::Kind::Led};
inline constexpr rt::Ctl StatusB0{40, rt::Kind::Led};
inline constexpr rt::Ctl StatusB1{41, rt::Kind::Led};
inline constexpr rt::Ctl StatusB2{42, rt::Kind::Led};
inline constexpr rt::Ctl StatusB3{43, rt::Kind::Led};
inline constexpr rt::Ctl StatusB4{44, rt::Kind::Led};
inline constexpr rt::Ctl StatusB5{45, rt::Kind::Led};
inline constexpr rt::Ctl StatusB6{46, rt::Kind::Led};
inline constexpr rt::Ctl StatusB7{47, rt::Kind::Led};
inline constexpr rt::Ctl StatusB8{31, rt::Kind::Led};
inline constexpr rt::Ctl StatusB9{33, rt::Kind::Led};
inline constexpr rt::Ctl StatusB10{34, rt::Kind::Led};
inline constexpr rt::Ctl StatusB11{35, rt::Kind::Led};
inline constexpr rt::Ctl StatusB12{36, rt::Kind::Led};
inline constexpr rt::Ctl StatusB13{37, rt::Kind::Led};
inline constexpr rt::Ctl StatusB14{38, rt::Kind::Led};
inline constexpr rt::Ctl StatusB15{39, rt::Kind::Led};

// Focus channel
inline constexpr rt::Ctl FocusChannel{19, rt::Kind::Numeric};
inline constexpr rt::Ctl FocusPeriodRate{93, rt::Kind::Numeric};
inline constexpr rt::Ctl FocusAdcMax{94, rt::Kind::Numeric};
inline constexpr rt::Ctl FocusAdcMin{95, rt::Kind::Numeric};
inline constexpr rt::Ctl FocusOvershoot{96, rt::Kind::Numeric};
inline constexpr rt::Ctl FocusDisc{97, rt::Kind::Numeric};

// DAC values
inline constexpr rt::Ctl DacTable{89, rt::Kind::Table};

// Status block of the last SUMS block: 41 rows, value in column 2, rate in column 3
inline constexpr rt::Ctl StatusTable{24, rt::Kind::Table};

// Sums plot switches, indexed by channel 0..7 (CH1..CH8).
inline constexpr rt::Ctl PlotCh[8] = {PlotCh1, PlotCh2, PlotCh3, PlotCh4,
                                      PlotCh5, PlotCh6, PlotCh7, PlotCh8};

// Status lights of status word A (FRAMES: status word 1), indexed by bit 0..15.
inline constexpr rt::Ctl StatusA[16] = {
    StatusA0, StatusA1, StatusA2,  StatusA3,  StatusA4,  StatusA5,  StatusA6,  StatusA7,
    StatusA8, StatusA9, StatusA10, StatusA11, StatusA12, StatusA13, StatusA14, StatusA15};

// Status lights of SUMS status word B, indexed by bit 0..15. FRAMES status word 2 is shown
// bit-reversed: its bit n goes to StatusB[15 - n].
inline constexpr rt::Ctl StatusB[16] = {
    StatusB0, StatusB1, StatusB2,  StatusB3,  StatusB4,  StatusB5,  StatusB6,  StatusB7,
    StatusB8, StatusB9, StatusB10, StatusB11, StatusB12, StatusB13, StatusB14, StatusB15};

// Every control of the panel, by name.
inline constexpr Entry kAll[] = {
    {"ModuleName", ModuleName},
    {"BoardOpenMark", BoardOpenMark},
    {"BoardNumber", BoardNumber},
    {"CardNumber", CardNumber},
    {"InfoBox", InfoBox},
    {"ReadOutMode", ReadOutMode},
    {"FiberSelect", FiberSelect},
    {"SingleValueSelect", SingleValueSelect},
    {"SinglePoints", SinglePoints},
    {"AcqInterval", AcqInterval},
    {"FramePeriod", FramePeriod},
    {"ReadErrors", ReadErrors},
    {"StartStop", StartStop},
    {"ReadOnce", ReadOnce},
    {"ModeGatedControl", ModeGatedControl},
    {"AcqTimer", AcqTimer},
    {"RecordFile", RecordFile},
    {"EndRecord", EndRecord},
    {"RecordFileName", RecordFileName},
    {"MultipleRunSave", MultipleRunSave},
    {"FastFile", FastFile},
    {"FastFileName", FastFileName},
    {"RawCaptureSeconds", RawCaptureSeconds},
    {"RawCapture", RawCapture},
    {"ReplayOpen", ReplayOpen},
    {"ReplayNext", ReplayNext},
    {"FileOffset", FileOffset},
    {"OpenOptions", OpenOptions},
    {"ViewRaw", ViewRaw},
    {"OpenTest", OpenTest},
    {"Quit", Quit},
    {"DataGraph1", DataGraph1},
    {"DataGraph2", DataGraph2},
    {"SumsGraph", SumsGraph},
    {"SumSelect", SumSelect},
    {"ShowNormalized", ShowNormalized},
    {"PlotCh1", PlotCh1},
    {"PlotCh2", PlotCh2},
    {"PlotCh3", PlotCh3},
    {"PlotCh4", PlotCh4},
    {"PlotCh5", PlotCh5},
    {"PlotCh6", PlotCh6},
    {"PlotCh7", PlotCh7},
    {"PlotCh8", PlotCh8},
    {"StatusA0", StatusA0},
    {"StatusA1", StatusA1},
    {"StatusA2", StatusA2},
    {"StatusA3", StatusA3},
    {"StatusA4", StatusA4},
    {"StatusA5", StatusA5},
    {"StatusA6", StatusA6},
    {"StatusA7", StatusA7},
    {"StatusA8", StatusA8},
    {"StatusA9", StatusA9},
    {"StatusA10", StatusA10},
    {"StatusA11", StatusA11},
    {"StatusA12", StatusA12},
    {"StatusA13", StatusA13},
    {"StatusA14", StatusA14},
    {"StatusA15", StatusA15},
    {"StatusB0", StatusB0},
    {"StatusB1", StatusB1},
    {"StatusB2", StatusB2},
    {"StatusB3", StatusB3},
    {"StatusB4", StatusB4},
    {"StatusB5", StatusB5},
    {"StatusB6", StatusB6},
    {"StatusB7", StatusB7},
    {"StatusB8", StatusB8},
    {"StatusB9", StatusB9},
    {"StatusB10", StatusB10},
    {"StatusB11", StatusB11},
    {"StatusB12", StatusB12},
    {"StatusB13", StatusB13},
    {"StatusB14", StatusB14},
    {"StatusB15", StatusB15},
    {"FocusChannel", FocusChannel},
    {"FocusPeriodRate", FocusPeriodRate},
    {"FocusAdcMax", FocusAdcMax},
    {"FocusAdcMin", FocusAdcMin},
    {"FocusOvershoot", FocusOvershoot},
    {"FocusDisc", FocusDisc},
    {"DacTable", DacTable},
    {"StatusTable", StatusTable},
};

}  // namespace ctl::Main
