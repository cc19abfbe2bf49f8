// The settings file: its exact layout, the section reader, and the round trip through a started
// bench with the configuration it sends.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

app::SettingsFound parse(const std::string &text) {
  std::istringstream in(text);
  return app::ParseSettings(in);
}

TEST(SettingsFile, WriterLayoutIsExact) {
  app::UiSettings s;
  s.ReadOutMode = 2, s.FiberSelect = 1, s.SingleValueSelect = 9, s.MultipleRunSave = 1;
  s.LinearityFile = " /data/lin files/Card_ 17.txt";
  s.ModulationDivider = 256, s.ModulationMultiplication = 511, s.ModulationOffset = 65535;
  s.TestCfcVoltage = 1200;
  for (int ch = 0; ch < 8; ++ch) s.Sources[static_cast<size_t>(ch)] = {1000 * ch, ch, 7 - ch, 1};
  EXPECT_EQ(app::FormatSettings(s),
            "[DataType]\n2 \n[SelFiber]\n1 \n[SingleValue]\n9 \n[FileSaveMultipleRun]\n1 \n"
            "[CalibrationFile]\n /data/lin files/Card_ 17.txt\n"
            "[ModulationDivider]\n256 \n[ModulationMultiplication]\n511 \n"
            "[ModulationOffset]\n65535 \n[VoltageTestCFC]\n1200 \n[CurrentSet]\n0 \n"
            "0  0  7  1 \n1000  1  6  1 \n2000  2  5  1 \n3000  3  4  1 \n"
            "4000  4  3  1 \n5000  5  2  1 \n6000  6  1  1 \n7000  7  0  1 \n");
}

TEST(SettingsFile, SectionsAreFoundWhereverTheyStandUntilTheMarker) {
  app::SettingsFound f = parse(
      "; saved by hand\n[CurrentSet]\n1 \n"
      "5  4  7  1 \n6  4  7  1 \n7  4  7  1 \n8  4  7  1 \n9  4  7  1 \n10  4  7  1 \n"
      "11  4  7  1 \n12  4  7  0 \n\n[SelFiber]\r\n1 \r\n[DataType]\n3 \n"
      "[SingleValue] \n4 \n[end file]\n[ModulationOffset]\n9 \n");
  EXPECT_EQ(f.LinkSources, 1);
  EXPECT_EQ(f.Sources[0][0], 5);
  EXPECT_EQ(f.Sources[7][0], 12);
  EXPECT_EQ(f.Sources[7][3], 0);
  EXPECT_EQ(f.FiberSelect, 1);  // a Windows line end is a line end
  EXPECT_EQ(f.ReadOutMode, 3);
  EXPECT_FALSE(f.SingleValueSelect);  // header with a trailing blank
  EXPECT_TRUE(f.endMarker);
  EXPECT_FALSE(f.ModulationOffset);  // after the marker

  // The marker as third line: only the first section counts.
  f = parse("[DataType]\n1 \n[end file]\n[SelFiber]\n1 \n");
  EXPECT_EQ(f.ReadOutMode, 1);
  EXPECT_FALSE(f.FiberSelect);

  // Without a marker the reader makes 201 passes: a header after 201 other lines is not read.
  std::string junk;
  for (int i = 0; i < 200; ++i) junk += "junk\n";
  f = parse(junk + "[DataType]\n3 \n");
  EXPECT_EQ(f.ReadOutMode, 3);
  EXPECT_EQ(f.passes, 201);
  EXPECT_FALSE(parse(junk + "junk\n[DataType]\n3 \n").ReadOutMode);
}

// Headers are compared in the writer's order ("[DataType]" first, "[CurrentSet]" last) with
// the line the pass holds, which after a section is its last value line. A section that lost its
// value line takes the next line in its place.
TEST(SettingsFile, AValueLineThatIsAHeaderFollowsTheOrderOfComparison) {
  // "[SelFiber]" comes later in the order: read as DataType's value, then handled in that pass.
  app::SettingsFound f = parse("[DataType]\n[SelFiber]\n1 \n[SingleValue]\n5 \n");
  EXPECT_FALSE(f.ReadOutMode);
  EXPECT_EQ(f.FiberSelect, 1);
  EXPECT_EQ(f.SingleValueSelect, 5);
  // "[DataType]" comes earlier: consumed as the fibre's value line and never handled.
  f = parse("[SelFiber]\n[DataType]\n2 \n[SingleValue]\n5 \n");
  EXPECT_FALSE(f.FiberSelect);
  EXPECT_FALSE(f.ReadOutMode);
  EXPECT_EQ(f.SingleValueSelect, 5);
  // The end marker read as a value line ends the reading.
  f = parse("[ModulationOffset]\n[end file]\n[SelFiber]\n1 \n");
  EXPECT_TRUE(f.endMarker);
  EXPECT_FALSE(f.ModulationOffset);
  EXPECT_FALSE(f.FiberSelect);
  // A file of the writer's layout is consumed in ten passes, one a section.
  f = parse(app::FormatSettings(app::UiSettings{}) + "[end file]\n");
  EXPECT_EQ(f.passes, 11);
}

TEST(SettingsFile, ValuesThatDoNotConvertKeepTheirControls) {
  const std::string longName = "  C:\\bench data\\" + std::string(400, 'x') + ".txt ";
  const app::SettingsFound f = parse(
      "[DataType]\nfast\n[SelFiber]\n99999999999 \n[SingleValue]\n  +7xyz\n"
      "[CalibrationFile]\n" +
      longName + "\n[CurrentSet]\n\n100  3  x  1 \ngarbage\n");
  EXPECT_FALSE(f.ReadOutMode);
  EXPECT_FALSE(f.FiberSelect);  // beyond int
  EXPECT_EQ(f.SingleValueSelect, 7);
  EXPECT_EQ(f.LinearityFile, longName);  // whole line, blanks and length kept
  EXPECT_FALSE(f.LinkSources);
  // A channel line gives the numbers before the first that does not convert.
  EXPECT_EQ(f.Sources[0][1], 3);
  EXPECT_FALSE(f.Sources[0][2]);
  EXPECT_FALSE(f.Sources[1][0]);
  EXPECT_FALSE(f.Sources[7][0]);  // file ended
}

TEST(SettingsFile, DefaultPathFollowsXdgConfigHome) {
  const char *xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = xdg ? xdg : "";
  setenv("XDG_CONFIG_HOME", "/xdg/conf", 1);
  EXPECT_EQ(app::defaultSettingsPath(), "/xdg/conf/tessock/Corvath.ini");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(app::defaultSettingsPath(),
            std::string(std::getenv("HOME")) + "/.config/tessock/Corvath.ini");
  if (xdg)
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

TEST(SettingsFile, WritingReplacesTheFileWholeOrNotAtAll) {
  testenv::TempDir dir;
  const std::string path = dir.file("conf/Corvath.ini");
  EXPECT_EQ(app::WriteSettingsFile(path, "[DataType]\n1 \n"), "");  // the folder is created
  EXPECT_EQ(app::WriteSettingsFile(path, "[DataType]\n2 \n"), "");
  EXPECT_EQ(testenv::readFile(path), "[DataType]\n2 \n");
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));  // nothing left beside it
  // A read-only settings file and a folder in its place are reported and left as they are.
  std::filesystem::permissions(path, std::filesystem::perms::owner_read);
  if (access(path.c_str(), W_OK) != 0) {  // (root may write anyway)
    EXPECT_NE(app::WriteSettingsFile(path, "x"), "");
    EXPECT_EQ(testenv::readFile(path), "[DataType]\n2 \n");
  }
  std::filesystem::create_directory(dir.file("folder"));
  EXPECT_EQ(app::WriteSettingsFile(dir.file("folder"), "x"), "it is a folder");
  EXPECT_FALSE(std::filesystem::exists(dir.file("folder.new")));
}

TEST(SettingsFile, WritingFollowsALinkAndReplacesOnlyARegularFile) {
  namespace fs = std::filesystem;
  testenv::TempDir dir;
  // A link to a link in another folder: the final target is written, both links stay links.
  fs::create_directories(dir.file("real/conf"));
  fs::create_directories(dir.file("home"));
  testenv::writeFile(dir.file("real/conf/Corvath.ini"), "old\n");
  fs::create_symlink("../real/conf/Corvath.ini", dir.file("home/hop"));
  fs::create_symlink(dir.file("home/hop"), dir.file("home/Corvath.ini"));
  EXPECT_EQ(app::WriteSettingsFile(dir.file("home/Corvath.ini"), "new\n"), "");
  EXPECT_TRUE(fs::is_symlink(dir.file("home/Corvath.ini")));
  EXPECT_TRUE(fs::is_symlink(dir.file("home/hop")));
  EXPECT_EQ(testenv::readFile(dir.file("real/conf/Corvath.ini")), "new\n");
  EXPECT_FALSE(fs::exists(dir.file("home/Corvath.ini.new")));
  EXPECT_FALSE(fs::exists(dir.file("real/conf/Corvath.ini.new")));
  // A link to a file not yet there creates it.
  fs::create_symlink("later.ini", dir.file("home/dangling"));
  EXPECT_EQ(app::WriteSettingsFile(dir.file("home/dangling"), "x\n"), "");
  EXPECT_TRUE(fs::is_symlink(dir.file("home/dangling")));
  EXPECT_EQ(testenv::readFile(dir.file("home/later.ini")), "x\n");
  // Links in a circle are refused.
  fs::create_symlink("loop2", dir.file("loop1"));
  fs::create_symlink("loop1", dir.file("loop2"));
  EXPECT_EQ(app::WriteSettingsFile(dir.file("loop1"), "x"), "Too many levels of symbolic links");

  // Whatever lies under the scratch name is never written through.
  testenv::writeFile(dir.file("victim"), "keep\n");
  fs::create_symlink(dir.file("victim"), dir.file("s.ini.new"));
  EXPECT_EQ(app::WriteSettingsFile(dir.file("s.ini"), "s\n"), "");
  EXPECT_EQ(testenv::readFile(dir.file("victim")), "keep\n");
  EXPECT_EQ(testenv::readFile(dir.file("s.ini")), "s\n");

  // A named pipe and a device stay what they are, and the reason is given.
  testenv::FifoGuard fifo(dir.file("pipe.ini"));
  EXPECT_EQ(app::WriteSettingsFile(fifo.path(), "x"), "it is a named pipe (FIFO)");
  EXPECT_TRUE(fs::is_fifo(fifo.path()));
  fs::create_symlink(fifo.path(), dir.file("link-to-pipe"));
  EXPECT_EQ(app::WriteSettingsFile(dir.file("link-to-pipe"), "x"), "it is a named pipe (FIFO)");
  EXPECT_TRUE(fs::is_fifo(fifo.path()));
  EXPECT_FALSE(fifo.fired());
  // A device made in the test folder (the same as /dev/full), never one of the system's.
  if (mknod(dir.file("full").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0) {
    EXPECT_EQ(app::WriteSettingsFile(dir.file("full"), "x"), "it is a character device");
    EXPECT_TRUE(fs::is_character_file(dir.file("full")));
  }
  EXPECT_FALSE(fs::exists(dir.file("pipe.ini.new")));
  EXPECT_FALSE(fs::exists(dir.file("full.new")));
}

// A bench started on the settings file `path`, without a QuickUSB library; its information box.
std::vector<std::string> startUpLines(const std::string &path) {
  rt::VirtualClock clock;
  app::Bench b(clock, app::BenchOptions{testenv::uiDir(), "/nonexistent/libquickusb.so", "", path});
  b.StartUp();
  return b.rt.control(b.panels.MainPanel, ctl::Main::InfoBox).lines;
}

// The unattended policy's durations: read from an "[Unattended]" section the operator added,
// kept when the file is written again, never added to a file without them; a duration the
// command line gives wins over the file's; a malformed line changes nothing.
TEST(SettingsFile, UnattendedDurationsComeFromTheFileUnlessTheCommandLineGivesThem) {
  EXPECT_FALSE(parse("[Unattended]\n90 0 600 \n").Unattended);
  EXPECT_FALSE(parse("[Unattended]\n90 x 600 \n").Unattended);
  app::UiSettings plain;
  EXPECT_EQ(app::FormatSettings(plain).find("[Unattended]"), std::string::npos);

  testenv::TempDir dir;
  const std::string path = dir.file("s.ini");
  plain.Unattended = std::array<double, 3>{90, 45.5, 120};
  testenv::writeFile(path, app::FormatSettings(plain));
  EXPECT_NE(testenv::readFile(path).find("[Unattended]\n90 45.5 120 \n"), std::string::npos);
  for (const bool option : {false, true}) {
    rt::VirtualClock clock;
    app::BenchOptions o{testenv::uiDir(), "/nonexistent/libquickusb.so", "", path};
    if (option) {
      o.unattended.channelSeconds = 20;
      o.unattendedFromOptions[1] = true;
    }
    app::Bench b(clock, o);
    b.StartUp();
    EXPECT_EQ(b.test.unattended.biasSeconds, 90.0);
    EXPECT_EQ(b.test.unattended.channelSeconds, option ? 20.0 : 45.5);
    EXPECT_EQ(b.test.unattended.longCheckSeconds, 120.0);
    EXPECT_FALSE(b.test.unattended.on);
    b.shell.SaveTheUserInterfaceSettings();
    EXPECT_NE(testenv::readFile(path).find("[Unattended]\n90 45.5 120 \n"), std::string::npos)
        << "the command line's duration is not kept";
  }
}

TEST(SettingsFile, FileThatCannotBeReadIsNamedWithItsReason) {
  testenv::TempDir dir;
  testenv::FifoGuard fifo(dir.file("pipe.ini"));
  // A settings line of 1 MiB and a bit: refused before the reader builds it.
  testenv::writeFile(dir.file("huge.ini"), "[CalibrationFile]\n" + std::string(1u << 20, 'x'));
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {fifo.path(), "it is a named pipe (FIFO)"},
      {"/dev/full", "it is a character device"},
      {dir.path().string(), "it is a folder"},
      {dir.file("huge.ini"), "it is larger than 1048576 bytes"},
  };
  for (const auto &c : cases) {
    const std::vector<std::string> lines = startUpLines(c.path);
    ASSERT_EQ(lines.size(), 3u) << c.path;
    EXPECT_EQ(lines[0], "Can't oad the library for the QuickUSB 'QuickUSB.lib' ");
    EXPECT_EQ(lines[2], "The settings file '" + c.path + "' cannot be read: " + c.reason);
  }
  EXPECT_FALSE(fifo.fired()) << "start-up waited on the pipe";
  // A missing file is the first start: nothing is said.
  EXPECT_EQ(startUpLines(dir.file("absent.ini")).size(), 2u);
}

TEST(SettingsFile, SaveThatIsRefusedSaysWhyOnce) {
  testenv::TempDir dir;
  testenv::FifoGuard fifo(dir.file("pipe.ini"));
  struct Popups : rt::Operator {
    std::vector<std::string> seen;
    void messagePopup(const std::string &t, const std::string &m) override {
      seen.push_back(t + ": " + m);
    }
    bool confirmPopup(const std::string &, const std::string &) override { return false; }
    rt::FileSelect fileSelectPopup(const rt::FileRequest &, std::string &) override {
      return rt::FileSelect::Cancelled;
    }
  } popups;
  rt::VirtualClock clock;
  app::Bench b(clock, app::BenchOptions{testenv::uiDir(), "/nonexistent/q.so", "", fifo.path()});
  b.rt.setOperator(&popups);
  b.StartUp();
  b.shell.CloseOptionsPanel(b.panels.OptionsPanel, ctl::Options::Close, rt::EVENT_COMMIT);
  b.shell.CloseOptionsPanel(b.panels.OptionsPanel, ctl::Options::Close, rt::EVENT_COMMIT);
  ASSERT_EQ(popups.seen.size(), 1u);
  EXPECT_EQ(popups.seen[0], "Settings not saved: The settings file " + fifo.path() +
                                " cannot be written (it is a named pipe (FIFO)). The settings of "
                                "this session will not be restored at the next start.");
  EXPECT_TRUE(std::filesystem::is_fifo(fifo.path()));
  EXPECT_FALSE(fifo.fired());
  b.rt.setOperator(nullptr);
}

// FPGA commands written through the recording library since its log was cleared: the bytes
// written to port C, three per command.
using Command = std::array<int, 3>;
std::vector<Command> sentCommands(bool clear = false) {
  // Stays loaded to the end of the process, so its log outlives every bench.
  static void *const lib = dlopen(testenv::fakeLibrary().c_str(), RTLD_NOW);
  if (clear) {
    reinterpret_cast<FakeQuickUsbClearLog_t>(dlsym(lib, "FakeQuickUsbClearLog"))();
    return {};
  }
  std::istringstream log(reinterpret_cast<FakeQuickUsbLog_t>(dlsym(lib, "FakeQuickUsbLog"))());
  std::vector<int> bytes;
  unsigned value = 0;
  for (std::string line; std::getline(log, line);)
    if (std::sscanf(line.c_str(), "WritePort 2 0x%x", &value) == 1)
      bytes.push_back(static_cast<int>(value));
  std::vector<Command> out;
  for (size_t i = 0; i + 2 < bytes.size(); i += 3)
    out.push_back({bytes[i], bytes[i + 1], bytes[i + 2]});
  return out;
}

TEST(SettingsFile, RoundTripRestoresEveryControlAndSendsTheConfiguration) {
  namespace M = ctl::Main;
  namespace O = ctl::Options;
  sentCommands(true);  // loads the recording library for the whole program
  testenv::TempDir dir;
  rt::VirtualClock clock;
  app::BenchOptions options{testenv::uiDir(), testenv::fakeLibrary(), "", dir.file("Corvath.ini")};
  const std::string linearity = "/data/lin files/Card_ 17.txt";
  // Every value differs from the panel file's default.
  const int mainValues[4] = {2, 1, 9, 1};  // mode, fibre, single value, multiple-run save
  const rt::Ctl mainCtls[4] = {M::ReadOutMode, M::FiberSelect, M::SingleValueSelect,
                               M::MultipleRunSave};
  const int optValues[5] = {512, 511, 0x1234, 1200, 1};
  const rt::Ctl optCtls[5] = {O::ModulationDivider, O::ModulationMultiplication,
                              O::ModulationOffset, O::TestCfcVoltage, O::LinkSources};
  auto source = [](int ch) {
    return std::array<int, 4>{1000 * (ch + 1) + ch, (ch + 3) % 8, 7 - ch, (ch + 1) % 2};
  };
  {
    app::Bench a(clock, options);
    a.StartUp();
    const ctl::Panels &p = a.panels;
    for (int i = 0; i < 4; ++i) a.rt.SetCtrlVal(p.MainPanel, mainCtls[i], mainValues[i]);
    for (int i = 0; i < 5; ++i) a.rt.SetCtrlVal(p.OptionsPanel, optCtls[i], optValues[i]);
    a.rt.SetCtrlVal(p.TabBData, ctl::TabBData::LinearityFile, linearity);
    for (int ch = 0; ch < 8; ++ch) {
      a.rt.SetCtrlVal(p.OptionsPanel, O::SourceValue[ch], source(ch)[0]);
      a.rt.SetCtrlVal(p.OptionsPanel, O::SourceSelA[ch], source(ch)[1]);
      a.rt.SetCtrlVal(p.OptionsPanel, O::SourceSelB[ch], source(ch)[2]);
      a.rt.SetCtrlVal(p.OptionsPanel, O::SourceOn[ch], source(ch)[3]);
    }
    a.shell.CloseOptionsPanel(p.OptionsPanel, O::Close, rt::EVENT_COMMIT);
  }

  app::Bench b(clock, options);
  sentCommands(true);
  b.StartUp();
  const ctl::Panels &p = b.panels;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(b.rt.GetCtrlValI(p.MainPanel, mainCtls[i]), mainValues[i]);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(b.rt.GetCtrlValI(p.OptionsPanel, optCtls[i]), optValues[i]);
  EXPECT_EQ(b.rt.GetCtrlValS(p.TabBData, ctl::TabBData::LinearityFile), linearity);
  for (int ch = 0; ch < 8; ++ch) {
    const std::array<int, 4> restored = {b.rt.GetCtrlValI(p.OptionsPanel, O::SourceValue[ch]),
                                         b.rt.GetCtrlValI(p.OptionsPanel, O::SourceSelA[ch]),
                                         b.rt.GetCtrlValI(p.OptionsPanel, O::SourceSelB[ch]),
                                         b.rt.GetCtrlValI(p.OptionsPanel, O::SourceOn[ch])};
    EXPECT_EQ(restored, source(ch)) << "channel " << ch + 1;
  }

  // The reader sends the options panel (29 commands), then the main panel (3); start-up sends
  // the main panel once more.
  const std::vector<Command> sent = sentCommands();
  ASSERT_EQ(sent.size(), 35u);
  EXPECT_EQ(sent[0], (Command{0x70, 0x02, 0x00}));
  EXPECT_EQ(sent[2], (Command{0x6B, 0x12, 0x34}));
  EXPECT_EQ(sent[4], (Command{0x61, 0x03, 0xE8}));  // linked: channel 1's value for all
  EXPECT_EQ(sent[28][0], 0x90);
  const std::vector<Command> mainPanel = {
      {0x20, 0x40, 0x00}, {0x30, 0x20, 0x00}, {0x40, 0xA0, 0x12}};
  EXPECT_EQ(std::vector<Command>(sent.begin() + 29, sent.begin() + 32), mainPanel);
  EXPECT_EQ(std::vector<Command>(sent.begin() + 32, sent.end()), mainPanel);
}

}  // namespace
