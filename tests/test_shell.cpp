// Secondary panels: the one-time load of the current setups, the frame size, the settings file on
// close and its failure report, and the bar-code focus moves of the data page.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "rt/format.h"
#include "support/test_env.h"

namespace {

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
    bench = std::make_unique<app::Bench>(
        clock, app::BenchOptions{testenv::uiDir(), dir.file("none.so"), "", settingsPath});
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
  int ringItems() {
    return bench->rt.GetNumListItems(p.OptionsPanel, ctl::Options::CurrentSelect[0]);
  }
  bool visible(int panel) { return bench->rt.panel(panel).visible; }
  bool refreshTimerOn() {
    return bench->rt.GetCtrlAttribute(p.TabBData, ctl::TabBData::RefreshTimer, rt::ATTR_ENABLED) !=
           0;
  }
  app::Shell &shell() { return bench->shell; }
  void commit(int (app::Shell::*callback)(int, int, int)) {
    (shell().*callback)(p.MainPanel, 0, rt::EVENT_COMMIT);
  }

  testenv::TempDir dir;
  std::string settingsPath = dir.file("conf/Corvath.ini");
  rt::VirtualClock clock;
  RecordingOperator op;
  std::unique_ptr<app::Bench> bench;
  ctl::Panels p;
};

TEST_F(Panels, CurrentSetupsAreLoadedOnceARun) {
  writeLinearityFile(4);
  bench->test.state.UnderTest = 1;  // during a test the panel is only shown
  commit(&app::Shell::ShowTestPanel);
  EXPECT_TRUE(visible(p.TestCFCPanel));
  EXPECT_EQ(ringItems(), 0);
  EXPECT_FALSE(refreshTimerOn());

  bench->test.state.UnderTest = 0;
  commit(&app::Shell::OpenOptionUI);
  EXPECT_TRUE(visible(p.OptionsPanel));
  EXPECT_EQ(ringItems(), 4);
  writeLinearityFile(9);  // not picked up by opening the panels again
  commit(&app::Shell::OpenOptionUI);
  commit(&app::Shell::ShowTestPanel);
  EXPECT_EQ(ringItems(), 4);
  EXPECT_TRUE(refreshTimerOn());

  commit(&app::Shell::CloseTestCFC);
  EXPECT_FALSE(visible(p.TestCFCPanel));
  EXPECT_FALSE(refreshTimerOn());
  EXPECT_NE(testenv::readFile(settingsPath).find("[CalibrationFile]\n" + dir.file("Card_1.txt")),
            std::string::npos);
}

TEST_F(Panels, FrameSizeIsTakenWhenTheOptionsPanelCloses) {
  commit(&app::Shell::OpenOptionUI);
  bench->acq.SizeOfFrameShort = 0;
  bench->rt.SetCtrlVal(p.OptionsPanel, ctl::Options::FrameWords, 20);
  bench->rt.SetCtrlVal(p.OptionsPanel, ctl::Options::ModulationOffset, 77);
  shell().CloseOptionsPanel(p.OptionsPanel, 0, 2);  // not a commit
  EXPECT_EQ(bench->acq.SizeOfFrameShort, 0);
  commit(&app::Shell::CloseOptionsPanel);
  EXPECT_EQ(bench->acq.SizeOfFrameShort, 20);
  EXPECT_EQ(bench->acq.SizeOfFrameByte, 40);
  EXPECT_FALSE(visible(p.OptionsPanel));
  EXPECT_NE(testenv::readFile(settingsPath).find("[ModulationOffset]\n77 \n"), std::string::npos);

  // Applying the main panel also rewrites the file.
  bench->rt.SetCtrlVal(p.MainPanel, ctl::Main::ReadOutMode, 3);
  commit(&app::Shell::UpdateConfigPanelandUSB);
  EXPECT_EQ(testenv::readFile(settingsPath).rfind("[DataType]\n3 \n", 0), 0u);
}

TEST_F(Panels, ClosingTheRawDataPanelLeavesTheFrameView) {
  commit(&app::Shell::ViewRawDatas);
  EXPECT_TRUE(visible(p.RawData) && visible(p.ShowFramePanel));
  commit(&app::Shell::CloseRawDataPanel);
  EXPECT_FALSE(visible(p.RawData));
  EXPECT_EQ(bench->acq.ViewRaw, 0);
  EXPECT_EQ(bench->acq.ViewFrame, 1);
  commit(&app::Shell::CloseShowFrame);
  EXPECT_FALSE(visible(p.ShowFramePanel));
  EXPECT_EQ(bench->acq.ViewFrame, 0);
}

TEST_F(Panels, UnwritableSettingsFileIsReportedOnce) {
  testenv::writeFile(dir.file("conf"), "a file where the folder should be");
  commit(&app::Shell::CloseOptionsPanel);
  commit(&app::Shell::CloseTestCFC);
  ASSERT_EQ(op.messages.size(), 1u);
  EXPECT_NE(op.messages[0].find(settingsPath), std::string::npos) << op.messages[0];

  std::filesystem::remove(dir.file("conf"));
  commit(&app::Shell::CloseOptionsPanel);  // the folder is created
  EXPECT_FALSE(testenv::readFile(settingsPath).empty());
  std::filesystem::remove_all(dir.file("conf"));
  testenv::writeFile(dir.file("conf"), "in the way again");
  commit(&app::Shell::CloseOptionsPanel);  // a new failure after a success is reported again
  EXPECT_EQ(op.messages.size(), 2u);
}

// The focus routine (the idle refresh timer's) moves on from a complete label; the Enter of a
// scanner (the commit of the field in focus) completes every label, by the start's own rules: a
// label the start would refuse keeps the focus and is said with what was expected and read.
TEST_F(Panels, BarcodeFocusMovesOnCompleteLabels) {
  namespace B = ctl::TabBData;
  std::vector<std::string> said;
  shell().onScanChecked = [&](int, const std::string &problem) { said.push_back(problem); };
  auto put = [&](int field, const std::string &text) {
    bench->rt.SetActiveCtrl(p.TabBData, field);
    bench->rt.SetCtrlVal(p.TabBData, field, text);
  };
  auto scan = [&](int field, const std::string &text) {
    put(field, text);
    shell().fControlCodeBars();
    return bench->rt.GetActiveCtrl(p.TabBData);
  };
  auto enter = [&](int field, const std::string &text) {
    put(field, text);
    shell().ControlCodeBars(p.TabBData, field, rt::EVENT_COMMIT);
    return bench->rt.GetActiveCtrl(p.TabBData);
  };
  bench->acq.CardNumber = 1234;
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTRA1235"), B::DeviceBarcode1);
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTR"), B::DeviceBarcode1);
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTRA  1234 rev B"), B::DeviceBarcode2);
  EXPECT_EQ(scan(B::DeviceBarcode1, "VELTRA66770"), B::DeviceBarcode2);  // 16 bits compared
  EXPECT_EQ(scan(B::DeviceBarcode2, "DN-CARD1234"), B::DeviceBarcode2);  // from character 8
  EXPECT_EQ(scan(B::DeviceBarcode2, "DN-CARD:1234"), B::BoardBarcode);
  EXPECT_EQ(scan(B::BoardBarcode, std::string(20, 'B')), B::BoardBarcode);
  EXPECT_EQ(scan(B::BoardBarcode, std::string(21, 'B')), B::Otr1Barcode);
  EXPECT_EQ(scan(B::Otr1Barcode, std::string(13, 'O')), B::Otr1Barcode);
  EXPECT_EQ(scan(B::Otr1Barcode, std::string(14, 'O')), B::Otr2Barcode);
  EXPECT_EQ(scan(B::Otr2Barcode, std::string(14, 'O')), B::PcbVersion);
  EXPECT_EQ(scan(B::BenchReportPrefix, std::string(21, 'B')), B::BenchReportPrefix);
  EXPECT_TRUE(said.empty());

  struct Case {
    int field;
    std::string text;
    int focus;
    std::string says;  // empty: the label holds
  };
  const Case cases[] = {
      {B::DeviceBarcode1, "VELTRA1235", B::DeviceBarcode1,
       "The Device number (1235) does not correspond to the one sended by the FPGA (1234): "
       "expected the board's device number 1234 from character 7 on, read 1235"},
      {B::DeviceBarcode1, "VELTRA66770", B::DeviceBarcode1,
       "The Device number (66770) does not correspond to the one sended by the FPGA (1234): "
       "expected the board's device number 1234 from character 7 on, read 66770"},
      {B::DeviceBarcode1, "VELTRA1234", B::DeviceBarcode2, ""},
      {B::DeviceBarcode2, "DN-CARD", B::DeviceBarcode2,
       "The Device number (0) does not correspond to the one sended by the FPGA (1234): expected "
       "the board's device number 1234 from character 9 on, read no number (the label has 7 "
       "characters)"},
      {B::DeviceBarcode2, "DN-CARD:1234", B::BoardBarcode, ""},
      {B::BoardBarcode, std::string(21, 'B'), B::BoardBarcode,
       "Board number not correct: expected 20 characters, read 21 characters"},
      {B::BoardBarcode, std::string(20, 'B'), B::Otr1Barcode, ""},
      {B::Otr1Barcode, std::string(1, 'O'), B::Otr1Barcode,
       "OTR1 number not correct: expected 14 characters, read 1 character"},
      {B::Otr1Barcode, std::string(14, 'O'), B::Otr2Barcode, ""},
      {B::Otr2Barcode, std::string(15, 'O'), B::Otr2Barcode,
       "OTR2 number not correct: expected 14 characters, read 15 characters"},
      {B::Otr2Barcode, std::string(14, 'O'), B::PcbVersion, ""},
  };
  for (const Case &c : cases) {
    said.clear();
    EXPECT_EQ(enter(c.field, c.text), c.focus) << c.text;
    EXPECT_EQ(said, std::vector<std::string>{c.says}) << c.text;
  }
  // A commit on leaving a field (the focus already on another) is the focus routine's alone.
  said.clear();
  put(B::BoardBarcode, std::string(21, 'B'));
  bench->rt.SetActiveCtrl(p.TabBData, B::Comments);
  shell().ControlCodeBars(p.TabBData, B::BoardBarcode, rt::EVENT_COMMIT);
  EXPECT_TRUE(said.empty());
}

}  // namespace
