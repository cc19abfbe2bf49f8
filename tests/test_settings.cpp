// The settings file: its exact layout, the section reader, the writer's folder and failure
// handling, and the round trip through a started bench.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/bench.h"
#include "app/settings.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "fake_quickusb/fake_quickusb.h"
#include "support/test_env.h"

namespace {

app::UiSettings sampleSettings() {
  app::UiSettings s;
  s.ReadOutMode = 2;
  s.FiberSelect = 1;
  s.SingleValueSelect = 9;
  s.MultipleRunSave = 1;
  s.LinearityFile = "/data/lin files/Card_ 17 linearity.txt";
  s.ModulationDivider = 256;
  s.ModulationMultiplication = 511;
  s.ModulationOffset = 65535;
  s.TestCfcVoltage = 1200;
  s.LinkSources = 0;
  for (int ch = 0; ch < 8; ++ch)
    s.Sources[static_cast<size_t>(ch)] = {1000 * (ch + 1), ch % 8, 7 - ch, ch % 2};
  return s;
}

app::SettingsFound parse(const std::string &text) {
  std::istringstream in(text);
  return app::ParseSettings(in);
}

TEST(SettingsFormat, WritesTheTwentyEightLinesWithTheirBlanks) {
  const std::string expected =
      "[DataType]\n2 \n"
      "[SelFiber]\n1 \n"
      "[SingleValue]\n9 \n"
      "[FileSaveMultipleRun]\n1 \n"
      "[CalibrationFile]\n/data/lin files/Card_ 17 linearity.txt\n"
      "[ModulationDivider]\n256 \n"
      "[ModulationMultiplication]\n511 \n"
      "[ModulationOffset]\n65535 \n"
      "[VoltageTestCFC]\n1200 \n"
      "[CurrentSet]\n0 \n"
      "1000  0  7  0 \n"
      "2000  1  6  1 \n"
      "3000  2  5  0 \n"
      "4000  3  4  1 \n"
      "5000  4  3  0 \n"
      "6000  5  2  1 \n"
      "7000  6  1  0 \n"
      "8000  7  0  1 \n";
  EXPECT_EQ(app::FormatSettings(sampleSettings()), expected);
}

TEST(SettingsFormat, CalibrationFileNameStaysOneLine) {
  app::UiSettings s = sampleSettings();
  s.LinearityFile = "first\nsecond";
  const std::string text = app::FormatSettings(s);
  EXPECT_NE(text.find("[CalibrationFile]\nfirst\n[ModulationDivider]"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 28);
}

TEST(SettingsRead, WriterOutputReadsBackWhole) {
  const app::UiSettings s = sampleSettings();
  const app::SettingsFound f = parse(app::FormatSettings(s));
  EXPECT_EQ(f.ReadOutMode, 2);
  EXPECT_EQ(f.FiberSelect, 1);
  EXPECT_EQ(f.SingleValueSelect, 9);
  EXPECT_EQ(f.MultipleRunSave, 1);
  EXPECT_EQ(f.LinearityFile, s.LinearityFile);
  EXPECT_EQ(f.ModulationDivider, 256);
  EXPECT_EQ(f.ModulationMultiplication, 511);
  EXPECT_EQ(f.ModulationOffset, 65535);
  EXPECT_EQ(f.TestCfcVoltage, 1200);
  EXPECT_EQ(f.LinkSources, 0);
  for (size_t ch = 0; ch < 8; ++ch) {
    const app::SourceSettings &src = s.Sources[ch];
    EXPECT_EQ(f.Sources[ch][0], src.SourceValue) << ch;
    EXPECT_EQ(f.Sources[ch][1], src.SourceSelA) << ch;
    EXPECT_EQ(f.Sources[ch][2], src.SourceSelB) << ch;
    EXPECT_EQ(f.Sources[ch][3], src.SourceOn) << ch;
  }
  // No end marker: the reader runs out its passes.
  EXPECT_FALSE(f.endMarker);
  EXPECT_EQ(f.passes, app::kSettingsReadPasses);
}

TEST(SettingsRead, SectionsInAnotherOrderWithLinesBetween) {
  const app::SettingsFound f = parse(
      "; operator settings\n"
      "[CurrentSet]\n1 \n"
      "5  4  7  1 \n6  4  7  1 \n7  4  7  1 \n8  4  7  1 \n"
      "9  4  7  1 \n10  4  7  1 \n11  4  7  1 \n12  4  7  1 \n"
      "\n"
      "[SelFiber]\n1 \n"
      "something else\n"
      "[DataType]\n3 \n");
  EXPECT_EQ(f.ReadOutMode, 3);
  EXPECT_EQ(f.FiberSelect, 1);
  EXPECT_EQ(f.LinkSources, 1);
  EXPECT_EQ(f.Sources[0][0], 5);
  EXPECT_EQ(f.Sources[7][0], 12);
  EXPECT_EQ(f.Sources[7][3], 1);
  EXPECT_FALSE(f.SingleValueSelect.has_value());
  EXPECT_FALSE(f.LinearityFile.has_value());
}

TEST(SettingsRead, EndMarkerAsThirdLineStopsAfterTheFirstSection) {
  const app::SettingsFound f =
      parse("[DataType]\n1 \n[end file]\n[SelFiber]\n1 \n[CalibrationFile]\nx.txt\n");
  EXPECT_TRUE(f.endMarker);
  EXPECT_EQ(f.passes, 2);
  EXPECT_EQ(f.ReadOutMode, 1);
  EXPECT_FALSE(f.FiberSelect.has_value());
  EXPECT_FALSE(f.LinearityFile.has_value());
}

TEST(SettingsRead, HeadersMustMatchTheWholeLine) {
  const app::SettingsFound f =
      parse("[DataType] \n1 \n [SelFiber]\n1 \n[singlevalue]\n4 \n[FileSaveMultipleRun]\n1 \n");
  EXPECT_FALSE(f.ReadOutMode.has_value());
  EXPECT_FALSE(f.FiberSelect.has_value());
  EXPECT_FALSE(f.SingleValueSelect.has_value());
  EXPECT_EQ(f.MultipleRunSave, 1);
}

TEST(SettingsRead, CalibrationFileNameKeepsItsBlanksAndLength) {
  const std::string longName = "  /mnt/bench data/" + std::string(400, 'x') + " Card_12.txt ";
  const app::SettingsFound f = parse("[CalibrationFile]\n" + longName + "\n");
  EXPECT_EQ(f.LinearityFile, longName);
}

TEST(SettingsRead, WindowsLineEndsAreLineEnds) {
  const app::SettingsFound f = parse("[DataType]\r\n2 \r\n[CalibrationFile]\r\nC:\\lin.txt\r\n");
  EXPECT_EQ(f.ReadOutMode, 2);
  EXPECT_EQ(f.LinearityFile, "C:\\lin.txt");
}

TEST(SettingsRead, ValuesThatDoNotConvertLeaveTheirControls) {
  const app::SettingsFound f = parse(
      "[DataType]\nfast\n"
      "[SelFiber]\n99999999999999 \n"
      "[SingleValue]\n  +7xyz\n"
      "[CurrentSet]\n\n"
      "100  3  x  1 \n"
      "garbage\n");
  EXPECT_FALSE(f.ReadOutMode.has_value());
  EXPECT_FALSE(f.FiberSelect.has_value());  // beyond int
  EXPECT_EQ(f.SingleValueSelect, 7);        // a number followed by text converts
  EXPECT_FALSE(f.LinkSources.has_value());
  EXPECT_EQ(f.Sources[0][0], 100);
  EXPECT_EQ(f.Sources[0][1], 3);
  EXPECT_FALSE(f.Sources[0][2].has_value());
  EXPECT_FALSE(f.Sources[0][3].has_value());
  EXPECT_FALSE(f.Sources[1][0].has_value());
  // The file ends before the other six channel lines.
  EXPECT_FALSE(f.Sources[7][0].has_value());
}

TEST(SettingsRead, HeaderCutShortChangesNothing) {
  const app::SettingsFound f = parse("[SelFiber]\n1 \n[CalibrationFile]");
  EXPECT_EQ(f.FiberSelect, 1);
  EXPECT_FALSE(f.LinearityFile.has_value());
}

TEST(SettingsRead, TwoHundredAndOnePassesAtMost) {
  const std::string junk200 = [] {
    std::string s;
    for (int i = 0; i < 200; ++i) s += "junk\n";
    return s;
  }();
  EXPECT_EQ(parse(junk200 + "[DataType]\n3 \n").ReadOutMode, 3);
  EXPECT_FALSE(parse(junk200 + "junk\n[DataType]\n3 \n").ReadOutMode.has_value());
}

TEST(SettingsFile, MissingFolderIsCreated) {
  testenv::TempDir dir;
  const std::string path = dir.file("a/b/Corvath.ini");
  EXPECT_EQ(app::WriteSettingsFile(path, "[DataType]\n1 \n"), "");
  EXPECT_EQ(testenv::readFile(path), "[DataType]\n1 \n");
  // A second write truncates.
  EXPECT_EQ(app::WriteSettingsFile(path, "x\n"), "");
  EXPECT_EQ(testenv::readFile(path), "x\n");
}

TEST(SettingsFile, UnwritablePathIsReported) {
  testenv::TempDir dir;
  testenv::writeFile(dir.file("plain"), "not a folder");
  EXPECT_NE(app::WriteSettingsFile(dir.file("plain/Corvath.ini"), "x\n"), "");
  std::filesystem::create_directory(dir.file("folder"));
  EXPECT_NE(app::WriteSettingsFile(dir.file("folder"), "x\n"), "");
}

TEST(SettingsFile, DefaultPathFollowsXdgConfigHome) {
  const char *oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string savedXdg = oldXdg ? oldXdg : "";
  const char *oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";

  setenv("XDG_CONFIG_HOME", "/xdg/conf", 1);
  EXPECT_EQ(app::defaultSettingsPath(), "/xdg/conf/tessock/Corvath.ini");
  setenv("HOME", "/home/tech", 1);
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(app::defaultSettingsPath(), "/home/tech/.config/tessock/Corvath.ini");
  setenv("XDG_CONFIG_HOME", "relative/conf", 1);  // not absolute: ignored
  EXPECT_EQ(app::defaultSettingsPath(), "/home/tech/.config/tessock/Corvath.ini");

  if (oldXdg)
    setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
  if (oldHome)
    setenv("HOME", savedHome.c_str(), 1);
  else
    unsetenv("HOME");
}

// ---------------------------------------------------------------- through a started bench

using Command = std::array<int, 3>;

// FPGA commands written through the recording library since its log was last cleared.
class FakeLog {
 public:
  // The library stays loaded to the end of the process, so its log outlives every bench.
  FakeLog() {
    static void *const lib = dlopen(testenv::fakeLibrary().c_str(), RTLD_NOW);
    lib_ = lib;
  }
  void clear() {
    if (auto f = reinterpret_cast<FakeQuickUsbClearLog_t>(dlsym(lib_, "FakeQuickUsbClearLog"))) f();
  }
  std::vector<Command> commands() {
    auto logFn = reinterpret_cast<FakeQuickUsbLog_t>(dlsym(lib_, "FakeQuickUsbLog"));
    std::vector<int> bytes;
    std::istringstream log(logFn ? logFn() : "");
    std::string line;
    unsigned value = 0;
    while (std::getline(log, line))
      if (std::sscanf(line.c_str(), "WritePort 2 0x%x", &value) == 1)
        bytes.push_back(static_cast<int>(value));
    std::vector<Command> out;
    for (size_t i = 0; i + 2 < bytes.size(); i += 3)
      out.push_back({bytes[i], bytes[i + 1], bytes[i + 2]});
    return out;
  }

 private:
  void *lib_ = nullptr;
};

class SettingsBench : public ::testing::Test {
 protected:
  std::unique_ptr<app::Bench> start() {
    app::BenchOptions options;
    options.uiDir = testenv::uiDir();
    options.settingsPath = path;
    options.quickusbLib = testenv::fakeLibrary();
    auto bench = std::make_unique<app::Bench>(clock, options);
    fake.clear();
    bench->StartUp();
    return bench;
  }

  testenv::TempDir dir;
  std::string path = dir.file("Corvath.ini");
  rt::VirtualClock clock;
  FakeLog fake;
};

TEST_F(SettingsBench, RoundTripRestoresEveryControlAndSendsTheConfiguration) {
  namespace M = ctl::Main;
  namespace O = ctl::Options;
  const std::string linearity = "/data/lin files/Card_ 17.txt";
  {
    auto a = start();
    rt::Runtime &r = a->rt;
    const ctl::Panels &p = a->panels;
    r.SetCtrlVal(p.MainPanel, M::ReadOutMode, 2);
    r.SetCtrlVal(p.MainPanel, M::FiberSelect, 1);
    r.SetCtrlVal(p.MainPanel, M::SingleValueSelect, 9);
    r.SetCtrlVal(p.MainPanel, M::MultipleRunSave, 1);
    r.SetCtrlVal(p.TabBData, ctl::TabBData::LinearityFile, linearity);
    r.SetCtrlVal(p.OptionsPanel, O::ModulationDivider, 512);
    r.SetCtrlVal(p.OptionsPanel, O::ModulationMultiplication, 511);
    r.SetCtrlVal(p.OptionsPanel, O::ModulationOffset, 0x1234);
    r.SetCtrlVal(p.OptionsPanel, O::TestCfcVoltage, 1200);
    r.SetCtrlVal(p.OptionsPanel, O::LinkSources, 1);
    for (int ch = 0; ch < 8; ++ch) {
      r.SetCtrlVal(p.OptionsPanel, O::SourceValue[ch], 1000 * (ch + 1) + ch);
      r.SetCtrlVal(p.OptionsPanel, O::SourceSelA[ch], (ch + 3) % 8);
      r.SetCtrlVal(p.OptionsPanel, O::SourceSelB[ch], 7 - ch);
      r.SetCtrlVal(p.OptionsPanel, O::SourceOn[ch], (ch + 1) % 2);
    }
    a->shell.CloseOptionsPanel(p.OptionsPanel, O::Close, rt::EVENT_COMMIT);
  }
  ASSERT_EQ(testenv::readFile(path).substr(0, 14), "[DataType]\n2 \n");

  auto b = start();
  rt::Runtime &r = b->rt;
  const ctl::Panels &p = b->panels;
  EXPECT_EQ(r.GetCtrlValI(p.MainPanel, M::ReadOutMode), 2);
  EXPECT_EQ(r.GetCtrlValI(p.MainPanel, M::FiberSelect), 1);
  EXPECT_EQ(r.GetCtrlValI(p.MainPanel, M::SingleValueSelect), 9);
  EXPECT_EQ(r.GetCtrlValI(p.MainPanel, M::MultipleRunSave), 1);
  EXPECT_EQ(r.GetCtrlValS(p.TabBData, ctl::TabBData::LinearityFile), linearity);
  EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::ModulationDivider), 512);
  EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::ModulationMultiplication), 511);
  EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::ModulationOffset), 0x1234);
  EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::TestCfcVoltage), 1200);
  EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::LinkSources), 1);
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::SourceValue[ch]), 1000 * (ch + 1) + ch) << ch;
    EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::SourceSelA[ch]), (ch + 3) % 8) << ch;
    EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::SourceSelB[ch]), 7 - ch) << ch;
    EXPECT_EQ(r.GetCtrlValI(p.OptionsPanel, O::SourceOn[ch]), (ch + 1) % 2) << ch;
  }

  // The reader sends the options panel (29 commands) and the main panel (3); start-up sends the
  // main panel once more.
  const std::vector<Command> sent = fake.commands();
  ASSERT_EQ(sent.size(), 35u);
  EXPECT_EQ(sent[0], (Command{0x70, 0x02, 0x00}));
  EXPECT_EQ(sent[1], (Command{0x71, 0x00, 0xFF}));
  EXPECT_EQ(sent[2], (Command{0x6B, 0x12, 0x34}));
  EXPECT_EQ(sent[3], (Command{0x6C, 0x04, 0xB0}));
  EXPECT_EQ(sent[4], (Command{0x61, 0x03, 0xE8}));  // linked: channel 1's value for all
  EXPECT_EQ(sent[28][0], 0x90);
  const std::vector<Command> mainPanel = {
      {0x20, 0x40, 0x00}, {0x30, 0x20, 0x00}, {0x40, 0xA0, 0x12}};
  EXPECT_EQ(std::vector<Command>(sent.begin() + 29, sent.begin() + 32), mainPanel);
  EXPECT_EQ(std::vector<Command>(sent.begin() + 32, sent.end()), mainPanel);
}

TEST_F(SettingsBench, WithoutAFileOnlyTheMainPanelIsSent) {
  auto b = start();
  EXPECT_EQ(fake.commands().size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(SettingsBench, UnreadableValuesLeaveThePanelDefaults) {
  testenv::writeFile(path,
                     "[SelFiber]\nB\n[SingleValue]\n5 \n[ModulationDivider]\n\n"
                     "[end file]\n[DataType]\n0 \n");
  auto b = start();
  const ctl::Panels &p = b->panels;
  EXPECT_EQ(b->rt.GetCtrlValI(p.MainPanel, ctl::Main::FiberSelect), 0);
  EXPECT_EQ(b->rt.GetCtrlValI(p.MainPanel, ctl::Main::SingleValueSelect), 5);
  EXPECT_EQ(b->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::ModulationDivider), 256);
  EXPECT_EQ(b->rt.GetCtrlValI(p.MainPanel, ctl::Main::ReadOutMode), 1);  // after the marker
  EXPECT_EQ(fake.commands().size(), 29u + 3u + 3u);
}

}  // namespace
