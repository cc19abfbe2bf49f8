// The settings file: the operator's choices on the main panel, the options panel and the test
// panel's data page, kept across runs in a small text file of sections ("[DataType]", ...).
//
// Layout, exactly 28 lines (30 when the operator added the unattended policy's "[Unattended]"
// section, which is kept): ten section headers, each followed by its value line; "%d " (one
// trailing blank) for single numbers, the calibration file name verbatim, and one line
// "%d  %d  %d  %d " per channel (source value, selector A, selector B, source switch) after
// "[CurrentSet]" and its link switch.
#pragma once

#include <array>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace app {

inline constexpr int kSettingsChannels = 8;
// Passes of the reader: each reads one line and handles the section it heads, if any.
inline constexpr int kSettingsReadPasses = 201;
inline constexpr std::string_view kSettingsEndMarker = "[end file]";

// One channel's current source.
struct SourceSettings {
  int SourceValue = 0;  // 16-bit
  int SourceSelA = 0;
  int SourceSelB = 0;
  int SourceOn = 0;
};

// Everything the file keeps, as read from the controls.
struct UiSettings {
  int ReadOutMode = 0;
  int FiberSelect = 0;
  int SingleValueSelect = 0;
  int MultipleRunSave = 0;
  std::string LinearityFile;
  int ModulationDivider = 0;  // the four modulation and test values are 16-bit
  int ModulationMultiplication = 0;
  int ModulationOffset = 0;
  int TestCfcVoltage = 0;
  int LinkSources = 0;
  std::array<SourceSettings, kSettingsChannels> Sources{};
  // The unattended policy's durations (bias wait, channel, long-time check, in seconds), as the
  // file held them: written back only when the file had them, so that a file without them keeps
  // its 28 lines.
  std::optional<std::array<double, 3>> Unattended;
};

// What a read of the file found. A value is absent when its section was not read, or when its
// value line does not convert as a number: the control then keeps what it holds.
struct SettingsFound {
  std::optional<int> ReadOutMode;
  std::optional<int> FiberSelect;
  std::optional<int> SingleValueSelect;
  std::optional<int> MultipleRunSave;
  std::optional<std::string> LinearityFile;
  std::optional<int> ModulationDivider;
  std::optional<int> ModulationMultiplication;
  std::optional<int> ModulationOffset;
  std::optional<int> TestCfcVoltage;
  std::optional<int> LinkSources;
  // Per channel: source value, selector A, selector B, source switch.
  std::array<std::array<std::optional<int>, 4>, kSettingsChannels> Sources{};
  // "[Unattended]" and its line "%g %g %g ": three durations above 0, else absent.
  std::optional<std::array<double, 3>> Unattended;
  int passes = 0;          // passes made
  bool endMarker = false;  // stopped at "[end file]"
};

// The 28 lines of the file, each ended by a line break. The calibration file name is written up
// to its first line break, so that it stays one line.
std::string FormatSettings(const UiSettings &settings);

// Reads a settings file. Sections are recognised wherever they stand, by an exact
// comparison of the whole line (line end removed; a carriage return before the line feed is part
// of the line end); each pass reads one line and, when it is a header, the section's value
// line(s). Reading ends after 201 passes, or when a pass ends on the line "[end file]".
SettingsFound ParseSettings(std::istream &in);

// Writes `content` to `path`, creating the folder when it does not exist. A symbolic link is
// followed: its target is replaced and the link stays. Anything but a regular file under that
// name (a folder, a device, a named pipe) is left alone and refused. Returns an empty string on
// success, otherwise what went wrong ("it is a folder", "Permission denied", ...). The new
// content is written to a scratch file, flushed to the disk and renamed over the old file.
// Every file the program writes whole (settings, exports) goes through it.
std::string ReplaceRegularFile(const std::string &path, const std::string &content);
inline std::string WriteSettingsFile(const std::string &path, const std::string &content) {
  return ReplaceRegularFile(path, content);
}

}  // namespace app
