// Start-up against the recording fake QuickUSB library: the outcomes and their lines, the exact
// calls of the FPGA command protocol, the fixed commands, the JTAG read, and shutdown.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "app/bench.h"
#include "ctl/callback_names.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "fake_quickusb/fake_quickusb.h"
#include "hw/block_format.h"
#include "hw/fpga.h"
#include "support/test_env.h"

namespace {

struct Popups : rt::Operator {
  std::vector<std::string> seen;
  void messagePopup(const std::string &t, const std::string &m) override {
    seen.push_back(t + ": " + m);
  }
  bool confirmPopup(const std::string &t, const std::string &) override {
    seen.push_back(t);
    return false;
  }
  rt::FileSelect fileSelectPopup(const rt::FileRequest &r, std::string &) override {
    seen.push_back(r.title);
    return rt::FileSelect::Cancelled;
  }
};

// The fake library, opened by the test itself so that its scripted answers can be set before
// the bench binds it (the same file is shared by both handles).
class Fake {
 public:
  explicit Fake(const std::string &path) : handle_(dlopen(path.c_str(), RTLD_NOW)) {
    if (!handle_) throw std::runtime_error(dlerror());
    reset_ = reinterpret_cast<FakeQuickUsbReset_t>(dlsym(handle_, "FakeQuickUsbReset"));
    set_ = reinterpret_cast<FakeQuickUsbSet_t>(dlsym(handle_, "FakeQuickUsbSet"));
    log_ = reinterpret_cast<FakeQuickUsbLog_t>(dlsym(handle_, "FakeQuickUsbLog"));
    clear_ = reinterpret_cast<FakeQuickUsbClearLog_t>(dlsym(handle_, "FakeQuickUsbClearLog"));
    get_ = reinterpret_cast<FakeQuickUsbGet_t>(dlsym(handle_, "FakeQuickUsbGet"));
    reset_();
  }
  ~Fake() { dlclose(handle_); }
  void set(const char *key, long v) { set_(key, v); }
  std::string log() const { return log_(); }
  void clear() { clear_(); }
  long get(const char *key) const { return get_(key); }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(log());
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }

 private:
  void *handle_;
  FakeQuickUsbReset_t reset_;
  FakeQuickUsbSet_t set_;
  FakeQuickUsbLog_t log_;
  FakeQuickUsbClearLog_t clear_;
  FakeQuickUsbGet_t get_;
};

struct StartUp : ::testing::Test {
  testenv::TempDir dir;
  rt::VirtualClock clock;
  Popups popups;
  Fake fake{testenv::fakeLibrary()};
  std::unique_ptr<app::Bench> bench;

  app::Bench &start(const std::string &lib) {
    app::BenchOptions o;
    o.uiDir = testenv::uiDir();
    o.quickusbLib = lib;
    o.settingsPath = dir.file("Corvath.ini");  // does not exist
    bench = std::make_unique<app::Bench>(clock, o);
    bench->rt.setOperator(&popups);
    bench->StartUp();
    return *bench;
  }
  std::vector<std::string> info() const {
    const auto &c = bench->rt.control(bench->panels.MainPanel, ctl::Main::InfoBox);
    return c.lines;
  }
};

TEST_F(StartUp, WithoutLibraryTheStandardLineAndWhyNoPopupNoHardware) {
  const std::string path = dir.file("libquickusb-absent.so");
  auto &b = start(path);
  EXPECT_EQ(b.loadOutcome, -1);
  EXPECT_EQ(info(),
            (std::vector<std::string>{"Can't oad the library for the QuickUSB 'QuickUSB.lib' ",
                                      "The QuickUSB library '" + path +
                                          "' cannot be loaded: No such file or "
                                          "directory"}));
  EXPECT_TRUE(popups.seen.empty());
  EXPECT_EQ(b.usb.NbrQuickUSBConnected, 0);
  EXPECT_EQ(b.fpga.WriteCommandFPGA(0x10, 0x10, 0), 0);
}

// The loader is never handed a pipe (it would wait for a writer) or a device (read without
// end); a file that is no library gets the loader's own reason.
TEST_F(StartUp, LibraryPathThatIsNoLibraryIsRefusedWithItsReason) {
  testenv::FifoGuard fifo(dir.file("pipe.so"));
  testenv::writeFile(dir.file("text.so"), std::string(200, '#'));  // no ELF header
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {fifo.path(), "it is a named pipe (FIFO)"},
      {"/dev/zero", "it is a character device"},
      {dir.path().string(), "it is a folder"},
      {dir.file("text.so"), "invalid ELF header"},
  };
  for (const auto &c : cases) {
    bench.reset();
    auto &b = start(c.path);
    EXPECT_EQ(b.loadOutcome, -1);
    ASSERT_EQ(info().size(), 2u) << c.path;
    EXPECT_EQ(info()[0], "Can't oad the library for the QuickUSB 'QuickUSB.lib' ");
    EXPECT_EQ(info()[1].rfind("The QuickUSB library '" + c.path + "' cannot be loaded: ", 0), 0u)
        << info()[1];
    EXPECT_NE(info()[1].find(c.reason), std::string::npos) << info()[1];
  }
  EXPECT_FALSE(fifo.fired()) << "start-up waited on the pipe";
}

TEST_F(StartUp, LibraryWithoutAnEntryPointIsNotLoaded) {
  Fake incomplete(testenv::binaryDir() + "/libfake_quickusb_incomplete.so");
  auto &b = start(testenv::binaryDir() + "/libfake_quickusb_incomplete.so");
  EXPECT_EQ(b.loadOutcome, -1);
  ASSERT_EQ(info().size(), 2u);
  EXPECT_NE(info()[0].find("QuickUsbReadData"), std::string::npos);
  EXPECT_EQ(info()[1], "Can't oad the library for the QuickUSB 'QuickUSB.lib' ");
  EXPECT_EQ(incomplete.log(), "");  // never called
}

TEST_F(StartUp, NoModuleShowsTheDemoPopupOnceAndSkipsEveryWrite) {
  fake.set("modules", 0);
  auto &b = start(testenv::fakeLibrary());
  EXPECT_EQ(b.loadOutcome, -2);
  EXPECT_EQ(info(), std::vector<std::string>{"Board(s) not found"});
  EXPECT_STREQ(b.usb.NameList, "No card");
  ASSERT_EQ(popups.seen.size(), 1u);
  EXPECT_EQ(popups.seen[0],
            "No QuickUSB board found: The Software will work in demo mode. Please connect a "
            "QuickUSB board to the computer and restart the program");
  fake.clear();
  b.rt.Commit(b.panels.OptionsPanel, ctl::Options::ResetFpga);
  b.rt.Commit(b.panels.OptionsPanel, ctl::Options::ResetAdcCompensation);
  b.rt.Commit(b.panels.OptionsPanel, ctl::Options::SendCommand);
  b.rt.Commit(b.panels.OptionsPanel, ctl::Options::ReadJtag);
  EXPECT_EQ(fake.log(), "");
}

TEST_F(StartUp, ModuleThatDoesNotOpen) {
  fake.set("open", 0);
  auto &b = start(testenv::fakeLibrary());
  EXPECT_EQ(b.loadOutcome, -3);
  EXPECT_EQ(info(), (std::vector<std::string>{"QUSB-0", "Can't open the board"}));
  EXPECT_EQ(b.usb.NbrQuickUSBConnected, 0);
  b.ShutDown();
  EXPECT_EQ(fake.log().find("Close"), std::string::npos);  // never opened, never closed
}

TEST_F(StartUp, FailedSettingReadStaysConnected) {
  fake.set("failReadSetting", 1);
  auto &b = start(testenv::fakeLibrary());
  EXPECT_EQ(b.loadOutcome, -4);
  EXPECT_EQ(b.usb.NbrQuickUSBConnected, 1);
  EXPECT_EQ(info(), (std::vector<std::string>{"QUSB-0", "QUSB-0", "Can't read settings ---"}));
}

TEST_F(StartUp, WorkingModuleShowsNameSettingsAndBoardNumber) {
  fake.set("portE", 0xE0);
  auto &b = start(testenv::fakeLibrary());
  EXPECT_EQ(b.loadOutcome, 0);
  EXPECT_EQ(info(), (std::vector<std::string>{"QUSB-0", " WORDWIDE :            0x1",
                                              " DATA ADDRESS SETTING: 0xF0", " FIFO setting : 0xAA",
                                              " FPGATYPE : 0x1234", " CPUCONFIG : 0x5678"}));
  EXPECT_EQ(b.rt.control(b.panels.MainPanel, ctl::Main::ModuleName).lines,
            std::vector<std::string>{"QUSB-0"});
  EXPECT_EQ(
      b.rt.GetCtrlAttribute(b.panels.MainPanel, ctl::Main::BoardOpenMark, rt::ATTR_BOARD_OPEN_MARK),
      920);
  EXPECT_EQ(b.usb.VELTRA_BoardNumber, 7);
  EXPECT_EQ(b.rt.GetCtrlValI(b.panels.MainPanel, ctl::Main::BoardNumber), 7);
  EXPECT_TRUE(popups.seen.empty());
  // The start-up calls in order, up to the board number.
  auto l = fake.lines();
  ASSERT_GE(l.size(), 12u);
  std::vector<std::string> head(l.begin(), l.begin() + 12);
  EXPECT_EQ(head, (std::vector<std::string>{
                      "FindModules 7", "Open QUSB-0", "WriteSetting 1 0x1", "WriteSetting 2 0xF0",
                      "WriteSetting 3 0xAA", "ReadSetting 1", "ReadSetting 2", "ReadSetting 3",
                      "ReadSetting 4", "ReadSetting 5", "WritePortDir 4 0x08", "ReadPort 4 1"}));
  b.ShutDown();
  EXPECT_EQ(fake.lines().back(), "Close ok");
}

TEST_F(StartUp, BoardNumberFromPortE) {
  fake.set("portE", 0x1F);
  auto &b = start(testenv::fakeLibrary());
  EXPECT_EQ(b.usb.VELTRA_BoardNumber, 0);
  // A port read that fails shows board 0, whatever the port holds.
  fake.set("portE", 0xE0);
  fake.set("failPortRead", 1);
  auto &c = start(testenv::fakeLibrary());
  EXPECT_EQ(c.usb.VELTRA_BoardNumber, 0);
  EXPECT_EQ(c.rt.GetCtrlValI(c.panels.MainPanel, ctl::Main::BoardNumber), 0);
}

TEST_F(StartUp, CommandIsExactlyFifteenCallsWithTheReadGateCarried) {
  auto &b = start(testenv::fakeLibrary());
  fake.set("portE", 0x08);
  fake.clear();
  EXPECT_EQ(b.fpga.WriteCommandFPGA(0x61, 0x01, 0x2C), 1);
  EXPECT_EQ(fake.lines(), (std::vector<std::string>{
                              "WritePortDir 2 0xFF", "ReadPortDir 4", "WritePortDir 4 0x0B",
                              "ReadPort 4 1", "WritePort 4 0x0A 1", "WritePort 2 0x61 1",
                              "WritePort 4 0x0B 1", "WritePort 4 0x0A 1", "WritePort 2 0x01 1",
                              "WritePort 4 0x0B 1", "WritePort 4 0x0A 1", "WritePort 2 0x2C 1",
                              "WritePort 4 0x0B 1", "WritePort 4 0x0A 1", "WritePort 4 0x08 1"}));
}

// The bytes that reached port C, as commands of three.
std::vector<std::string> busBytes(const Fake &fake) {
  std::vector<std::string> out;
  for (auto &l : fake.lines())
    if (l.rfind("WritePort 2 ", 0) == 0) out.push_back(l.substr(12, 4));
  return out;
}

TEST_F(StartUp, FixedCommandsAndManualCommand) {
  auto &b = start(testenv::fakeLibrary());
  const int o = b.panels.OptionsPanel;
  fake.clear();
  for (int event : {rt::EVENT_KEYPRESS, rt::EVENT_TIMER_TICK, 0, 2}) {  // not a commit: nothing
    EXPECT_EQ(b.fpga.Rst_fpga(o, ctl::Options::ResetFpga, event), 0);
    EXPECT_EQ(b.fpga.ResetAdcCompensation(o, ctl::Options::ResetAdcCompensation, event), 0);
    EXPECT_EQ(b.fpga.Write_Instruction(o, ctl::Options::SendCommand, event), 0);
    EXPECT_EQ(b.fpga.Read_JTAG(o, ctl::Options::ReadJtag, event), 0);
  }
  EXPECT_EQ(fake.log(), "");
  b.rt.Commit(o, ctl::Options::ResetFpga);
  EXPECT_EQ(busBytes(fake), (std::vector<std::string>{"0x10", "0x10", "0x00"}));
  fake.clear();
  b.rt.Commit(o, ctl::Options::ResetAdcCompensation);
  EXPECT_EQ(busBytes(fake),
            (std::vector<std::string>{"0xA0", "0xFF", "0xFF", "0xA0", "0x00", "0x00"}));
  fake.clear();
  b.rt.SetCtrlVal(o, ctl::Options::ManualCommand, 0x61);
  b.rt.SetCtrlVal(o, ctl::Options::ManualByte1, 0x01);
  b.rt.SetCtrlVal(o, ctl::Options::ManualByte2, 0x2C);
  b.rt.Commit(o, ctl::Options::SendCommand);
  EXPECT_EQ(busBytes(fake), (std::vector<std::string>{"0x61", "0x01", "0x2C"}));
}

TEST_F(StartUp, JtagReadClocksTheInstructionAndShiftsTheRegister) {
  auto &b = start(testenv::fakeLibrary());
  const int o = b.panels.OptionsPanel;
  fake.set("portA", 0x08);  // TDO always high
  fake.clear();
  b.rt.Commit(o, ctl::Options::ReadJtag);
  EXPECT_EQ(b.rt.GetCtrlValD(o, ctl::Options::JtagId), 4294967295.0);
  int writes = 0, reads = 0;
  std::string firstWrites;
  for (auto &l : fake.lines()) {
    if (l.rfind("WritePort 0 ", 0) == 0) {
      if (++writes <= 48) firstWrites += l.substr(12, 4) + " ";
    }
    if (l.rfind("ReadPort 0 ", 0) == 0) ++reads;
  }
  EXPECT_EQ(writes, 113);
  EXPECT_EQ(reads, 32);
  std::string expected;
  auto pairs = [&](int n, const char *lo, const char *hi) {
    for (int i = 0; i < n; ++i) expected += std::string(lo) + " " + hi + " ";
  };
  pairs(10, "0x00", "0x01");
  pairs(2, "0x02", "0x03");
  pairs(2, "0x00", "0x01");
  pairs(2, "0x04", "0x05");
  pairs(3, "0x00", "0x01");
  pairs(3, "0x02", "0x03");
  pairs(2, "0x00", "0x01");
  EXPECT_EQ(firstWrites, expected);
  EXPECT_EQ(fake.lines()[1], "WritePortDir 0 0x07");
  fake.set("portA", 0x00);
  b.rt.Commit(o, ctl::Options::ReadJtag);
  EXPECT_EQ(b.rt.GetCtrlValD(o, ctl::Options::JtagId), 0.0);
  // The first bit read is bit 0 of the word.
  for (long bits : {0x1L, 0x80000000L, 0x12345678L}) {
    fake.set("portABits", bits);
    b.rt.Commit(o, ctl::Options::ReadJtag);
    EXPECT_EQ(b.rt.GetCtrlValD(o, ctl::Options::JtagId), double(bits));
  }
}

TEST_F(StartUp, WrappersPassTheDevicePortsAndLengths) {
  auto &b = start(testenv::fakeLibrary());
  fake.clear();
  uint8_t v = 0;
  EXPECT_NE(b.usb.WriteByteToSPI(0x3C), 0);
  EXPECT_NE(b.usb.ReadByteFromSPI(&v), 0);
  EXPECT_EQ(v, 0x5A);
  EXPECT_NE(b.usb.WritePortDir(2, 0xFF), 0);
  EXPECT_NE(b.usb.ReadPortDir(2, &v), 0);
  EXPECT_EQ(v, 0xFF);
  EXPECT_NE(b.usb.WritePort(2, 0x61), 0);
  uint8_t block[64];
  uint32_t length = sizeof block;
  EXPECT_NE(b.usb.ReadDataOnParallel(block, &length), 0);
  EXPECT_EQ(length, 64u);
  EXPECT_EQ(fake.lines(),
            (std::vector<std::string>{"WriteSpi 4 0x3C 1", "ReadSpi 4 1", "WritePortDir 2 0xFF",
                                      "ReadPortDir 2", "WritePort 2 0x61 1", "ReadData 64"}));
  // Unbound (after shutdown) they fail without calling anything.
  b.ShutDown();
  fake.clear();
  length = sizeof block;
  EXPECT_EQ(b.usb.WriteByteToSPI(1), 0);
  EXPECT_EQ(b.usb.ReadPort(4, &v), 0);
  EXPECT_EQ(b.usb.ReadDataOnParallel(block, &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(fake.log(), "");
}

// The fake library is compiled from the vendor's declarations: every result a long, the
// handle two bytes, the bulk-read length eight bytes that the library reads and writes whole.
// A success whose low 32 bits are all zero, and a negative handle, must reach every call.
TEST_F(StartUp, VendorResultsAndTwoByteHandleReachEveryCall) {
  fake.set("result", 1L << 32);
  fake.set("handle", -12345);
  auto &b = start(testenv::fakeLibrary());
  EXPECT_EQ(b.loadOutcome, 0);
  EXPECT_EQ(info().size(), 6u);  // the module name and the five setting lines
  EXPECT_EQ(b.usb.USBDevice, -12345);
  uint8_t v = 0;
  uint8_t block[16];
  uint32_t length = sizeof block;
  EXPECT_EQ(b.usb.WriteByteToSPI(1), 1);
  EXPECT_EQ(b.usb.ReadByteFromSPI(&v), 1);
  EXPECT_EQ(b.usb.WritePortDir(2, 0xFF), 1);
  EXPECT_EQ(b.usb.ReadPortDir(2, &v), 1);
  EXPECT_EQ(b.usb.WritePort(2, 0x61), 1);
  EXPECT_EQ(b.usb.ReadPort(2, &v), 1);
  EXPECT_EQ(b.usb.ReadDataOnParallel(block, &length), 1);
  EXPECT_EQ(b.usb.FindModules(), 1);
  EXPECT_EQ(b.fpga.WriteCommandFPGA(0x61, 0x01, 0x2C), 1);
  b.rt.SetCtrlVal(b.panels.MainPanel, ctl::Main::ReadOutMode, int(blk::RAWDATA));
  EXPECT_EQ(b.acq.ReadShowFrame(), acq::kReadOk);
  EXPECT_EQ(fake.get("badHandles"), 0);
  b.ShutDown();
  EXPECT_EQ(fake.lines().back(), "Close ok");
}

// The caller's 32-bit count sits between guard words: the library gets an unsigned long of its
// own, sees exactly the request, and only the delivered count (cut to the request) comes back.
TEST_F(StartUp, BulkReadHandsTheLibraryAWholeLengthAndKeepsTheCallersCount) {
  auto &b = start(testenv::fakeLibrary());
  struct {
    uint32_t before, length, after;
  } g{0xA5A5A5A5u, 0, 0x5A5A5A5Au};
  uint8_t block[1000 + 8];
  struct Case {
    long deliver;      // what the library reports
    uint32_t count;    // what the caller gets
    uint32_t written;  // bytes the library wrote
  };
  const Case cases[] = {
      {-1, 1000, 1000},               // as asked
      {600, 600, 600},                // short block
      {0, 0, 0},                      // nothing
      {1001, 1000, 1000},             // more than asked: cut to the request
      {(1L << 32) + 10, 1000, 1000},  // beyond 32 bits: not taken as 10
  };
  for (const Case &c : cases) {
    fake.set("deliver", c.deliver);
    fake.clear();
    std::memset(block, 0xEE, sizeof block);
    g.length = 1000;
    EXPECT_EQ(b.usb.ReadDataOnParallel(block, &g.length), 1) << c.deliver;
    EXPECT_EQ(fake.lines(), std::vector<std::string>{"ReadData 1000"}) << c.deliver;
    EXPECT_EQ(g.length, c.count) << c.deliver;
    EXPECT_EQ(g.before, 0xA5A5A5A5u) << c.deliver;
    EXPECT_EQ(g.after, 0x5A5A5A5Au) << c.deliver;
    if (c.written > 0) {
      EXPECT_EQ(block[c.written - 1], uint8_t((c.written - 1) & 0xFF));
    }
    EXPECT_EQ(block[c.written], 0xEE) << c.deliver;
  }
  // A failed read still reports the library's count to the caller.
  fake.set("readData", 0);
  g.length = 1000;
  EXPECT_EQ(b.usb.ReadDataOnParallel(block, &g.length), 0);
  EXPECT_EQ(g.after, 0x5A5A5A5Au);
}

// The program's own reads and discovery: the request of each read-out mode and the discovery
// lengths arrive as they are, the delivered count lands in the acquisition, and the 512-byte
// name list is filled to its end without touching what follows it.
TEST_F(StartUp, ProgramReadsAndDiscoveryPassTheirLengthsWhole) {
  auto &b = start(testenv::fakeLibrary());
  EXPECT_EQ(fake.lines().front(), "FindModules 7");
  struct Case {
    blk::Mode mode;
    long deliver;
    const char *request;
    uint32_t delivered;
  };
  const Case cases[] = {
      {blk::RAWDATA, -1, "ReadData 1000", 1000},
      {blk::SUMS_MAXIMUMS_ANALYSIS, -1, "ReadData 1024", 1024},
      {blk::SINGLE_VALUE, 300, "ReadData 606", 300},
      {blk::RAWDATA, (1L << 32) + 10, "ReadData 1000", 1000},
  };
  for (const Case &c : cases) {
    b.rt.SetCtrlVal(b.panels.MainPanel, ctl::Main::ReadOutMode, int(c.mode));
    fake.set("deliver", c.deliver);
    fake.clear();
    b.acq.ReadShowFrame();
    std::vector<std::string> reads;
    for (const std::string &l : fake.lines())
      if (l.rfind("FindModules", 0) == 0 || l.rfind("ReadData", 0) == 0) reads.push_back(l);
    EXPECT_EQ(reads, (std::vector<std::string>{"FindModules 512", c.request})) << c.request;
    EXPECT_EQ(b.acq.delivered(), c.delivered) << c.request;
    EXPECT_EQ(b.acq.readBuffer()[c.delivered - 1], uint8_t((c.delivered - 1) & 0xFF));
  }
  EXPECT_STREQ(b.usb.NameList, "QUSB-0");
  EXPECT_EQ(b.usb.Length, 7u);
  EXPECT_EQ(b.usb.Setting, 0x5678);
  EXPECT_EQ(b.usb.NbrQuickUSBConnected, 1);
  EXPECT_EQ(fake.get("badHandles"), 0);
}

// A panel file that lacks a control the program uses stops start-up, naming the file and the
// control, instead of failing in a callback later.
TEST_F(StartUp, PanelFileWithoutAProgramControlStopsStartUp) {
  struct Case {
    const char *file, *from, *to, *message;
  };
  const Case cases[] = {
      {"TessockTestCfc2_panel.ui", "name=\"Tabs\"", "name=\"Tabs\" x=\"\"", nullptr},  // intact
      {"TessockCheck_main_panel.ui", "<number>16</number>", "<number>916</number>",
       "Main.InfoBox (id 16)"},
      {"TessockCheck_options_panel.ui", "class=\"QDoubleSpinBox\" name=\"JtagId\"",
       "class=\"QLineEdit\" name=\"JtagId\"", "Options.JtagId (id 82) is a string, not a numeric"},
  };
  for (const Case &c : cases) {
    testenv::TempDir ui;
    for (const char *f : ctl::kPanelFiles) {
      std::string text = testenv::readFile(testenv::uiDir() + "/" + f);
      if (std::string(f) == c.file) {
        size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from;
        text.replace(at, std::string(c.from).size(), c.to);
      }
      testenv::writeFile(ui.file(f), text);
    }
    app::BenchOptions o;
    o.uiDir = ui.path().string();
    o.quickusbLib = dir.file("absent.so");
    o.settingsPath = dir.file("Corvath.ini");
    app::Bench b(clock, o);
    if (!c.message) {
      EXPECT_NO_THROW(b.StartUp());
      continue;
    }
    try {
      b.StartUp();
      ADD_FAILURE() << c.file;
    } catch (const rt::LoadError &e) {
      EXPECT_NE(std::string(e.what()).find(c.file), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST(Callbacks, TheProgramBindsEveryNameThePanelFilesMayUse) {
  rt::VirtualClock clock;
  app::Bench bench(clock, app::BenchOptions{});
  for (const char *name : ctl::kCallbackNames) EXPECT_TRUE(bench.rt.HasCallback(name)) << name;
}

TEST(ModuleNames, WholeNamesUpToTheEmptyOneOrTheBufferEnd) {
  const struct {
    std::string list;
    std::vector<std::string> names;
  } cases[] = {
      {std::string("QUSB-0\0QUSB-1\0\0junk\0", 21), {"QUSB-0", "QUSB-1"}},
      {std::string("QUSB-0\0", 7), {"QUSB-0"}},         // the buffer ends the list
      {std::string("QUSB-0\0QUSB-1", 13), {"QUSB-0"}},  // a name cut by the end is not taken
      {std::string("\0QUSB-0\0", 8), {}},               // an empty list
  };
  for (const auto &c : cases)
    EXPECT_EQ(hw::ModuleNames(c.list.data(), c.list.size()), c.names) << c.list;
}

TEST(BitUtilities, BitStringAndSwap) {
  char text[9];
  EXPECT_EQ(hw::CharToBitString(0xA5, text), 1);
  EXPECT_STREQ(text, "10100101");
  hw::CharToBitString(0x01, text);
  EXPECT_STREQ(text, "00000001");
  EXPECT_EQ(hw::SwapByte(0x01), 0x80);
  EXPECT_EQ(hw::SwapByte(0xA5), 0xA5);
  EXPECT_EQ(hw::SwapByte(0x0F), 0xF0);
}

}  // namespace
