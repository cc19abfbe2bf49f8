// The bits of the board's two status words, as every frame and status block carries them.
// Shared by the program, which grades them in the functional test, and the simulated bench,
// which produces them.
#pragma once

namespace st {

// Status word A: 1 = the line is in its OK (normal) state, or the comparator / mode is on.
inline constexpr int kP5vOk = 0x8000;
inline constexpr int kM5vOk = 0x4000;
inline constexpr int kP2v5Ok = 0x2000;
inline constexpr int kHvPresent = 0x1000;
inline constexpr int kTemp1Ok = 0x0800;
inline constexpr int kTemp2Ok = 0x0400;
inline constexpr int kOtr1Ok = 0x0200;
inline constexpr int kOtr2Ok = 0x0100;
inline constexpr int kHvTestCfc = 0x0080;
inline constexpr int kCfcTestMode = 0x0040;
inline constexpr int kHvDacReset = 0x0020;
inline constexpr int kDacResetReceived = 0x0010;
inline constexpr int kHvOtrReset = 0x0008;
inline constexpr int kOtrResetReceived = 0x0004;
inline constexpr int kDacOver155Ok = 0x0002;   // every DAC at 155 or below
inline constexpr int kDacOverflowOk = 0x0001;  // no DAC at 255
// The four HV comparators together.
inline constexpr int kHvComparators = kHvPresent | kHvTestCfc | kHvDacReset | kHvOtrReset;

// Status word B, per channel 0..7: integrator level in range, CFC normal (a count within the
// last 100 s).
constexpr int levelOk(int channel) { return 0x0001 << channel; }
constexpr int cfcNormal(int channel) { return 0x0100 << channel; }
inline constexpr int kAllLevelsOk = 0x00FF;
inline constexpr int kAllCfcNormal = 0xFF00;

}  // namespace st
