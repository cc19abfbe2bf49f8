// Secondary panels and the small callbacks: which panels show, the display switches, the
// one-time load of the current setups, the frame size, the settings file on close, and the
// bar-code focus moves of the data page.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "fake_quickusb/fake_quickusb.h"
#include "rt/format.h"
#include "support/test_env.h"

namespace {

using Command = std::array<int, 3>;

// FPGA commands written through the recording library since its log was last cleared: the
// bytes written to port C, three per command.
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

struct RecordingOperator : rt::Operator {
  std::vector<std::string> messages;
  void messagePopup(const std::string &title, const std::string &message) override {
    messages.push_back(title + ": " + message);
  }
  bool confirmPopup(const std::string &, const std::string &) override { return false; }
  rt::FileSelect fileSelectPopup(const rt::FileRequest &, std::string &) override {
    return rt::FileSelect::Cancelled;
  }
};

class Panels : public ::testing::Test {
 protected:
  void SetUp() override {
    app::BenchOptions options;
    options.uiDir = testenv::uiDir();
    options.settingsPath = settingsPath;
    options.quickusbLib = testenv::fakeLibrary();
    bench = std::make_unique<app::Bench>(clock, options);
    bench->rt.setOperator(&op);
    bench->StartUp();
    p = bench->panels;
  }

  void writeLinearityFile(int lines) {
    std::string text;
    for (int i = 1; i <= lines; ++i)
      text += rt::format("%e 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 1\n", i * 1e-9);
    testenv::writeFile(dir.file("Card_1.txt"), text);
    bench->rt.SetCtrlVal(p.TabBData, ctl::TabBData::LinearityFile, dir.file("Card_1.txt"));
  }
  int ringItems(int ch = 0) {
    return bench->rt.GetNumListItems(p.OptionsPanel, ctl::Options::CurrentSelect[ch]);
  }
  bool visible(int panel) { return bench->rt.panel(panel).visible; }
  bool refreshTimerOn() {
    return bench->rt.GetCtrlAttribute(p.TabBData, ctl::TabBData::RefreshTimer, rt::ATTR_ENABLED) !=
           0;
  }
  app::Shell &shell() { return bench->shell; }

  testenv::TempDir dir;
  std::string settingsPath = dir.file("conf/Corvath.ini");
  rt::VirtualClock clock;
  RecordingOperator op;
  std::unique_ptr<app::Bench> bench;
  ctl::Panels p;
  FakeLog fake;
};

TEST_F(Panels, CurrentSetupsAreLoadedOnceARun) {
  writeLinearityFile(9);
  EXPECT_FALSE(visible(p.OptionsPanel));
  shell().OpenOptionUI(p.MainPanel, 0, rt::EVENT_COMMIT);
  EXPECT_TRUE(visible(p.OptionsPanel));
  EXPECT_EQ(shell().SetupCurrentAlreadyLoaded, 1);
  EXPECT_EQ(ringItems(), 9);

  writeLinearityFile(3);  // a new file is not picked up by opening the panels again
  shell().OpenOptionUI(p.MainPanel, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(ringItems(), 9);
  shell().ShowTestPanel(p.MainPanel, 0, rt::EVENT_COMMIT);
  EXPECT_TRUE(visible(p.TestCFCPanel));
  EXPECT_EQ(ringItems(), 9);
  EXPECT_EQ(bench->rt.GetNumListItems(p.TestCFCPanel, ctl::Test::CurrentSelect[7]), 9);
}

TEST_F(Panels, TestPanelLoadsTheSetupsWhenOpenedFirst) {
  writeLinearityFile(4);
  shell().ShowTestPanel(p.MainPanel, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(ringItems(), 4);
  EXPECT_TRUE(refreshTimerOn());
  writeLinearityFile(6);
  shell().OpenOptionUI(p.MainPanel, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(ringItems(), 4);
}

TEST_F(Panels, TestPanelDuringATestIsOnlyShown) {
  writeLinearityFile(4);
  shell().UnderTest = 1;
  shell().ShowTestPanel(p.MainPanel, 0, rt::EVENT_COMMIT);
  EXPECT_TRUE(visible(p.TestCFCPanel));
  EXPECT_EQ(shell().SetupCurrentAlreadyLoaded, 0);
  EXPECT_EQ(ringItems(), 0);
  EXPECT_FALSE(refreshTimerOn());
}

TEST_F(Panels, ClosingTheTestPanelStopsTheRefreshAndSavesTheSettings) {
  shell().ShowTestPanel(p.MainPanel, 0, rt::EVENT_COMMIT);
  ASSERT_TRUE(refreshTimerOn());
  bench->rt.SetCtrlVal(p.TabBData, ctl::TabBData::LinearityFile, "/bench/Card_ 9.txt");
  shell().CloseTestCFC(p.TestCFCPanel, 0, rt::EVENT_COMMIT);
  EXPECT_FALSE(visible(p.TestCFCPanel));
  EXPECT_FALSE(refreshTimerOn());
  EXPECT_NE(testenv::readFile(settingsPath).find("[CalibrationFile]\n/bench/Card_ 9.txt\n"),
            std::string::npos);
}

TEST_F(Panels, FrameSizeIsTakenWhenTheOptionsPanelCloses) {
  shell().OpenOptionUI(p.MainPanel, 0, rt::EVENT_COMMIT);
  bench->acq.SizeOfFrameShort = 0;
  bench->acq.SizeOfFrameByte = 0;
  bench->rt.SetCtrlVal(p.OptionsPanel, ctl::Options::FrameWords, 20);
  bench->rt.SetCtrlVal(p.OptionsPanel, ctl::Options::ModulationOffset, 77);
  EXPECT_EQ(bench->acq.SizeOfFrameShort, 0);  // not before the close
  shell().CloseOptionsPanel(p.OptionsPanel, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(bench->acq.SizeOfFrameShort, 20);
  EXPECT_EQ(bench->acq.SizeOfFrameByte, 40);
  EXPECT_FALSE(visible(p.OptionsPanel));
  EXPECT_NE(testenv::readFile(settingsPath).find("[ModulationOffset]\n77 \n"), std::string::npos);

  bench->rt.SetCtrlVal(p.OptionsPanel, ctl::Options::FrameWords, 240);
  shell().CloseOptionsPanel(p.OptionsPanel, 0, 2);  // not a commit: nothing happens
  EXPECT_EQ(bench->acq.SizeOfFrameShort, 20);
  shell().CloseOptionsPanel(p.OptionsPanel, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(bench->acq.SizeOfFrameShort, 240);
  EXPECT_EQ(bench->acq.SizeOfFrameByte, 480);
}

TEST_F(Panels, RawDataAndFrameViewKeepTheirSwitches) {
  shell().ViewRawDatas(p.MainPanel, 0, rt::EVENT_COMMIT);
  EXPECT_TRUE(visible(p.RawData));
  EXPECT_TRUE(visible(p.ShowFramePanel));
  EXPECT_EQ(bench->acq.ViewRaw, 1);
  EXPECT_EQ(bench->acq.ViewFrame, 1);

  shell().CloseRawDataPanel(p.RawData, 0, rt::EVENT_COMMIT);
  EXPECT_FALSE(visible(p.RawData));
  EXPECT_TRUE(visible(p.ShowFramePanel));
  EXPECT_EQ(bench->acq.ViewRaw, 0);
  EXPECT_EQ(bench->acq.ViewFrame, 1);

  shell().CloseShowFrame(p.ShowFramePanel, 0, rt::EVENT_COMMIT);
  EXPECT_FALSE(visible(p.ShowFramePanel));
  EXPECT_EQ(bench->acq.ViewFrame, 0);
}

TEST_F(Panels, ShowGraphFollowsTheOptionOnCommit) {
  bench->rt.SetCtrlVal(p.OptionsPanel, ctl::Options::ShowGraph, 0);
  EXPECT_EQ(bench->acq.ShowGraph, 1);
  shell().ChangeOptionUI(p.OptionsPanel, ctl::Options::ShowGraph, rt::EVENT_COMMIT);
  EXPECT_EQ(bench->acq.ShowGraph, 0);
}

TEST_F(Panels, ApplyButtonsSendTheirPanel) {
  fake.clear();
  shell().UpdateOptionPanelValues(p.OptionsPanel, 0, rt::EVENT_COMMIT);
  std::vector<Command> sent = fake.commands();
  ASSERT_EQ(sent.size(), 29u);
  EXPECT_EQ(sent.front()[0], 0x70);
  EXPECT_EQ(sent.back()[0], 0x90);

  fake.clear();
  bench->rt.SetCtrlVal(p.MainPanel, ctl::Main::ReadOutMode, 3);
  bench->rt.SetCtrlVal(p.MainPanel, ctl::Main::SingleValueSelect, 9);
  shell().UpdateConfigPanelandUSB(p.MainPanel, ctl::Main::ReadOutMode, rt::EVENT_COMMIT);
  EXPECT_EQ(fake.commands(),
            (std::vector<Command>{{0x20, 0x30, 0x00}, {0x30, 0x10, 0x00}, {0x40, 0xA0, 0x12}}));
  EXPECT_NE(testenv::readFile(settingsPath).find("[DataType]\n3 \n"), std::string::npos);

  fake.clear();
  bench->rt.SetCtrlVal(p.MainPanel, ctl::Main::AcqInterval, 0.75);
  shell().UIChangeSetup(p.MainPanel, 0, rt::EVENT_COMMIT);
  EXPECT_TRUE(fake.commands().empty());
  EXPECT_EQ(bench->rt.GetCtrlAttribute(p.MainPanel, ctl::Main::AcqTimer, rt::ATTR_INTERVAL), 0.75);
}

TEST_F(Panels, UnwritableSettingsFileIsReportedOnce) {
  // The settings folder's place is taken by a plain file: the folder cannot be created.
  testenv::writeFile(dir.file("conf"), "in the way");
  shell().CloseOptionsPanel(p.OptionsPanel, 0, rt::EVENT_COMMIT);
  shell().CloseTestCFC(p.TestCFCPanel, 0, rt::EVENT_COMMIT);
  ASSERT_EQ(op.messages.size(), 1u);
  EXPECT_NE(op.messages[0].find(settingsPath), std::string::npos) << op.messages[0];

  // Once a write succeeds again, a later failure is reported again.
  std::filesystem::remove(dir.file("conf"));
  shell().CloseOptionsPanel(p.OptionsPanel, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(op.messages.size(), 1u);
  EXPECT_FALSE(testenv::readFile(settingsPath).empty());
  std::filesystem::remove_all(dir.file("conf"));
  testenv::writeFile(dir.file("conf"), "in the way");
  shell().CloseOptionsPanel(p.OptionsPanel, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(op.messages.size(), 2u);
}

// Bar-code reader: each complete label moves the focus to the next identification field.
class BarcodeFocus : public Panels {
 protected:
  // Puts `text` into the active field and lets the field's callback run.
  int scan(int field, const std::string &text) {
    bench->rt.SetActiveCtrl(p.TabBData, field);
    bench->rt.SetCtrlVal(p.TabBData, field, text);
    shell().ControlCodeBars(p.TabBData, field, rt::EVENT_COMMIT);
    return bench->rt.GetActiveCtrl(p.TabBData);
  }
};

TEST_F(BarcodeFocus, DeviceLabelsMustCarryTheCardNumber) {
  namespace B = ctl::TabBData;
  bench->acq.CardNumber = 1234;
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTRA1235"), B::DeviceBarcode1);
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTR"), B::DeviceBarcode1);  // too short to hold it
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTRA1234"), B::DeviceBarcode2);
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTRA  1234 rev B"), B::DeviceBarcode2);
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTRA66770"), B::DeviceBarcode2);  // 1234 + 65536

  EXPECT_EQ(scan(B::DeviceBarcode2, "DN-CARD1234"), B::DeviceBarcode2);  // from character 8
  EXPECT_EQ(scan(B::DeviceBarcode2, "DN-CARD:1234"), B::BoardBarcode);
}

TEST_F(BarcodeFocus, OtherLabelsByTheirLength) {
  namespace B = ctl::TabBData;
  EXPECT_EQ(scan(B::BoardBarcode, std::string(20, 'B')), B::BoardBarcode);
  EXPECT_EQ(scan(B::BoardBarcode, std::string(21, 'B')), B::Otr1Barcode);
  EXPECT_EQ(scan(B::Otr1Barcode, std::string(13, 'O')), B::Otr1Barcode);
  EXPECT_EQ(scan(B::Otr1Barcode, std::string(14, 'O')), B::Otr2Barcode);
  EXPECT_EQ(scan(B::Otr2Barcode, std::string(15, 'O')), B::Otr2Barcode);
  EXPECT_EQ(scan(B::Otr2Barcode, std::string(14, 'O')), B::PcbVersion);
  EXPECT_EQ(scan(B::BenchReportPrefix, std::string(21, 'B')), B::BenchReportPrefix);
}

TEST_F(BarcodeFocus, RefreshTimerMovesTheFocusToo) {
  namespace B = ctl::TabBData;
  bench->rt.SetActiveCtrl(p.TabBData, B::BoardBarcode);
  bench->rt.SetCtrlVal(p.TabBData, B::BoardBarcode, std::string(21, 'B'));
  ASSERT_TRUE(bench->acq.refreshIdentification);
  bench->acq.refreshIdentification();
  EXPECT_EQ(bench->rt.GetActiveCtrl(p.TabBData), B::Otr1Barcode);
}

}  // namespace
