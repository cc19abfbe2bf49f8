// Controls of the options panel (TessockCheck_options_panel.ui).
#pragma once

#include "ctl/all_controls.h"
#include "rt/runtime.h"

// Options panel: current sources, supplies, modulation, manual commands, JTAG.
namespace ctl::Options {

// Current sources
inline constexpr rt::Ctl LinkSources{67, rt::Kind::Switch};
inline constexpr rt::Ctl CurrentSelect1{11, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect2{12, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect3{10, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect4{9, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect5{8, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect6{7, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect7{6, rt::Kind::Ring};
inline constexpr rt::Ctl CurrentSelect8{5, rt::Kind::Ring};
inline constexpr rt::Ctl SourceValue1{27, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceValue2{28, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceValue3{29, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceValue4{30, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceValue5{31, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceValue6{49, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceValue7{50, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceValue8{51, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelA1{47, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelA2{46, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelA3{45, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelA4{44, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelA5{43, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelA6{42, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelA7{41, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelA8{40, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelB1{39, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelB2{38, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelB3{37, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelB4{36, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelB5{35, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelB6{34, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelB7{33, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceSelB8{32, rt::Kind::Numeric};
inline constexpr rt::Ctl SourceOn1{77, rt::Kind::Switch};
inline constexpr rt::Ctl SourceOn2{76, rt::Kind::Switch};
inline constexpr rt::Ctl SourceOn3{75, rt::Kind::Switch};
inline constexpr rt::Ctl SourceOn4{74, rt::Kind::Switch};
inline constexpr rt::Ctl SourceOn5{73, rt::Kind::Switch};
inline constexpr rt::Ctl SourceOn6{72, rt::Kind::Switch};
inline constexpr rt::Ctl SourceOn7{71, rt::Kind::Switch};
inline constexpr rt::Ctl SourceOn8{70, rt::Kind::Switch};

// Board and display
inline constexpr rt::Ctl CardNumber{4, rt::Kind::Numeric};
inline constexpr rt::Ctl FrameWords{13, rt::Kind::Numeric};
inline constexpr rt::Ctl ShowGraph{17, rt::Kind::Switch};

// Supply reductions
inline constexpr rt::Ctl ReduceP5V{16, rt::Kind::Switch};
inline constexpr rt::Ctl ReduceP2V5{15, rt::Kind::Switch};
inline constexpr rt::Ctl ReduceM5V{14, rt::Kind::Switch};

// Test voltage
inline constexpr rt::Ctl TestCfcVoltage{52, rt::Kind::Numeric};

// Modulation
inline constexpr rt::Ctl ModulationDivider{25, rt::Kind::Numeric};
inline constexpr rt::Ctl ModulationMultiplication{26, rt::Kind::Numeric};
inline constexpr rt::Ctl ModulationOffset{53, rt::Kind::Numeric};
inline constexpr rt::Ctl ModulationFrequency{78, rt::Kind::Numeric};
inline constexpr rt::Ctl ModulationFactorDisplay{79, rt::Kind::Numeric};

// Manual command
inline constexpr rt::Ctl ManualCommand{22, rt::Kind::Numeric};
inline constexpr rt::Ctl ManualByte1{21, rt::Kind::Numeric};
inline constexpr rt::Ctl ManualByte2{20, rt::Kind::Numeric};
inline constexpr rt::Ctl SendCommand{102, rt::Kind::Button};

// FPGA
inline constexpr rt::Ctl ResetFpga{103, rt::Kind::Button};
inline constexpr rt::Ctl ResetAdcCompensation{104, rt::Kind::Button};

// JTAG
inline constexpr rt::Ctl ReadJtag{105, rt::Kind::Button};
inline constexpr rt::Ctl JtagId{82, rt::Kind::Numeric};

inline constexpr rt::Ctl Apply{101, rt::Kind::Button};
inline constexpr rt::Ctl Close{100, rt::Kind::Button};

// Current-setup rings, indexed by channel 0..7 (CH1..CH8).
inline constexpr rt::Ctl CurrentSelect[8] = {CurrentSelect1, CurrentSelect2, CurrentSelect3,
                                             CurrentSelect4, CurrentSelect5, CurrentSelect6,
                                             CurrentSelect7, CurrentSelect8};

// Per-channel source controls, indexed by channel 0..7 (CH1..CH8).
inline constexpr rt::Ctl SourceValue[8] = {SourceValue1, SourceValue2, SourceValue3, SourceValue4,
                                           SourceValue5, SourceValue6, SourceValue7, SourceValue8};
inline constexpr rt::Ctl SourceSelA[8] = {SourceSelA1, SourceSelA2, SourceSelA3, SourceSelA4,
                                          SourceSelA5, SourceSelA6, SourceSelA7, SourceSelA8};
inline constexpr rt::Ctl SourceSelB[8] = {SourceSelB1, SourceSelB2, SourceSelB3, SourceSelB4,
                                          SourceSelB5, SourceSelB6, SourceSelB7, SourceSelB8};
inline constexpr rt::Ctl SourceOn[8] = {SourceOn1, SourceOn2, SourceOn3, SourceOn4,
                                        SourceOn5, SourceOn6, SourceOn7, SourceOn8};

// Every control of the panel, by name.
inline constexpr Entry kAll[] = {
    {"LinkSources", LinkSources},
    {"CurrentSelect1", CurrentSelect1},
    {"CurrentSelect2", CurrentSelect2},
    {"CurrentSelect3", CurrentSelect3},
    {"CurrentSelect4", CurrentSelect4},
    {"CurrentSelect5", CurrentSelect5},
    {"CurrentSelect6", CurrentSelect6},
    {"CurrentSelect7", CurrentSelect7},
    {"CurrentSelect8", CurrentSelect8},
    {"SourceValue1", SourceValue1},
    {"SourceValue2", SourceValue2},
    {"SourceValue3", SourceValue3},
    {"SourceValue4", SourceValue4},
    {"SourceValue5", SourceValue5},
    {"SourceValue6", SourceValue6},
    {"SourceValue7", SourceValue7},
    {"SourceValue8", SourceValue8},
    {"SourceSelA1", SourceSelA1},
    {"SourceSelA2", SourceSelA2},
    {"SourceSelA3", SourceSelA3},
    {"SourceSelA4", SourceSelA4},
    {"SourceSelA5", SourceSelA5},
    {"SourceSelA6", SourceSelA6},
    {"SourceSelA7", SourceSelA7},
    {"SourceSelA8", SourceSelA8},
    {"SourceSelB1", SourceSelB1},
    {"SourceSelB2", SourceSelB2},
    {"SourceSelB3", SourceSelB3},
    {"SourceSelB4", SourceSelB4},
    {"SourceSelB5", SourceSelB5},
    {"SourceSelB6", SourceSelB6},
    {"SourceSelB7", SourceSelB7},
    {"SourceSelB8", SourceSelB8},
    {"SourceOn1", SourceOn1},
    {"SourceOn2", SourceOn2},
    {"SourceOn3", SourceOn3},
    {"SourceOn4", SourceOn4},
    {"SourceOn5", SourceOn5},
    {"SourceOn6", SourceOn6},
    {"SourceOn7", SourceOn7},
    {"SourceOn8", SourceOn8},
    {"CardNumber", CardNumber},
    {"FrameWords", FrameWords},
    {"ShowGraph", ShowGraph},
    {"ReduceP5V", ReduceP5V},
    {"ReduceP2V5", ReduceP2V5},
    {"ReduceM5V", ReduceM5V},
    {"TestCfcVoltage", TestCfcVoltage},
    {"ModulationDivider", ModulationDivider},
    {"ModulationMultiplication", ModulationMultiplication},
    {"ModulationOffset", ModulationOffset},
    {"ModulationFrequency", ModulationFrequency},
    {"ModulationFactorDisplay", ModulationFactorDisplay},
    {"ManualCommand", ManualCommand},
    {"ManualByte1", ManualByte1},
    {"ManualByte2", ManualByte2},
    {"SendCommand", SendCommand},
    {"ResetFpga", ResetFpga},
    {"ResetAdcCompensation", ResetAdcCompensation},
    {"ReadJtag", ReadJtag},
    {"JtagId", JtagId},
    {"Apply", Apply},
    {"Close", Close},
};

}  // namespace ctl::Options
