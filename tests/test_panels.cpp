// The five panel files held against the typed control constants and against what the program
// relies on: handles in load order, every constant naming a control of its panel with the
// right id and kind (and every control having its constant), the callback bindings, the
// defaults, and ranges that keep the values legal.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "ctl/all_controls.h"
#include "ctl/callback_names.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/panels.h"
#include "ctl/raw_data_panel.h"
#include "ctl/show_frame_panel.h"
#include "ctl/test_panel.h"
#include "rt/runtime.h"
#include "support/test_env.h"

namespace {

// Every callback name the panel files may use.
const std::set<std::string> kCallbackNames(std::begin(ctl::kCallbackNames),
                                           std::end(ctl::kCallbackNames));

class PanelFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto &name : kCallbackNames)
      rt.RegisterCallback(name, [](int, int, int, int, int) { return 0; });
    int *handles[5] = {&p.MainPanel, &p.OptionsPanel, &p.RawData, &p.ShowFramePanel,
                       &p.TestCFCPanel};
    for (int i = 0; i < 5; ++i) *handles[i] = rt.LoadPanel(uiFile(ctl::kPanelFiles[i]));
    p.TabBData = rt.GetPanelHandleFromTabPage(p.TestCFCPanel, ctl::Test::Tabs, 0);
    p.TabSlope = rt.GetPanelHandleFromTabPage(p.TestCFCPanel, ctl::Test::Tabs, 1);
    p.TabLin = rt.GetPanelHandleFromTabPage(p.TestCFCPanel, ctl::Test::Tabs, 2);
  }

  static std::string uiFile(const char *name) { return testenv::uiDir() + "/" + name; }

  struct PanelTable {
    int handle;
    std::span<const ctl::Entry> all;
  };
  std::vector<PanelTable> tables() const {
    return {{p.MainPanel, ctl::Main::kAll},    {p.OptionsPanel, ctl::Options::kAll},
            {p.RawData, ctl::RawData::kAll},   {p.ShowFramePanel, ctl::ShowFrame::kAll},
            {p.TestCFCPanel, ctl::Test::kAll}, {p.TabBData, ctl::TabBData::kAll},
            {p.TabSlope, ctl::TabSlope::kAll}, {p.TabLin, ctl::TabLin::kAll}};
  }

  const rt::Control &c(int panel, int id) const { return rt.control(panel, id); }

  rt::VirtualClock clock;
  rt::Runtime rt{clock};
  ctl::Panels p;
};

TEST_F(PanelFiles, LoadOrderGivesTheFixedHandlesAndTabPages) {
  EXPECT_EQ(p.MainPanel, 1);  // several functions address the main panel by the literal 1
  EXPECT_EQ(p.OptionsPanel, 2);
  EXPECT_EQ(p.RawData, 3);
  EXPECT_EQ(p.ShowFramePanel, 4);
  EXPECT_EQ(p.TestCFCPanel, 5);
  EXPECT_EQ(p.TabBData, 6);
  EXPECT_EQ(p.TabSlope, 7);
  EXPECT_EQ(p.TabLin, 8);

  const char *aliases[] = {"Main", "Options",  "RawData",  "ShowFrame",
                           "Test", "TabBData", "TabSlope", "TabLin"};
  for (int h = 1; h <= 8; ++h) {
    EXPECT_EQ(rt.panel(h).alias, aliases[h - 1]);
    EXPECT_FALSE(rt.panel(h).title.empty()) << aliases[h - 1];
  }
  for (int h = p.TabBData; h <= p.TabLin; ++h) EXPECT_EQ(rt.panel(h).parent, p.TestCFCPanel);
  EXPECT_EQ(rt.panelHandles().size(), 8u);
  EXPECT_EQ(rt.GetActiveTabPage(p.TestCFCPanel, ctl::Test::Tabs), 0);
}

TEST_F(PanelFiles, EveryConstantNamesItsControlAndEveryControlHasAConstant) {
  for (const auto &[handle, all] : tables()) {
    const rt::Panel &panel = rt.panel(handle);
    SCOPED_TRACE(panel.alias);
    std::set<int> ids;
    std::set<std::string> names;
    for (const ctl::Entry &e : all) {
      EXPECT_TRUE(ids.insert(e.ctl.id).second) << "id " << e.ctl.id << " listed twice";
      EXPECT_TRUE(names.insert(e.name).second) << e.name << " listed twice";
      const rt::Control *control = panel.find(e.ctl.id);
      ASSERT_NE(control, nullptr) << e.name << ": no control with id " << e.ctl.id;
      EXPECT_EQ(control->name, e.name) << "id " << e.ctl.id;
      EXPECT_EQ(control->kind, e.ctl.kind)
          << e.name << " is a " << rt::kindName(control->kind) << " in the file, a "
          << rt::kindName(e.ctl.kind) << " in its header";
    }
    for (const rt::Control &control : panel.controls)
      EXPECT_NE(ctl::findEntry(all, control.name), nullptr)
          << control.name << " (id " << control.id << ") has no constant";
    EXPECT_EQ(panel.controls.size(), all.size());
  }
}

// Ids that the read-out, the settings file and the test steps address by number: the arrays
// must follow them channel by channel (bit by bit for the status lights).
TEST_F(PanelFiles, ChannelAndBitArraysFollowTheirIds) {
  auto check = [&](int panel, std::span<const rt::Ctl> arr, const std::string &base,
                   const std::vector<int> &ids, int firstNumber) {
    SCOPED_TRACE(rt.panel(panel).alias + "." + base);
    ASSERT_EQ(arr.size(), ids.size());
    for (size_t i = 0; i < arr.size(); ++i) {
      EXPECT_EQ(arr[i].id, ids[i]) << "index " << i;
      EXPECT_EQ(c(panel, arr[i]).name, base + std::to_string(i + firstNumber));
    }
  };
  std::vector<int> statusA, statusB;
  for (int bit = 0; bit < 16; ++bit) {
    statusA.push_back(bit < 8 ? 56 + bit : bit == 8 ? 32 : 49 + bit - 9);
    statusB.push_back(bit < 8 ? 40 + bit : bit == 8 ? 31 : 33 + bit - 9);
  }
  check(p.MainPanel, ctl::Main::StatusA, "StatusA", statusA, 0);
  check(p.MainPanel, ctl::Main::StatusB, "StatusB", statusB, 0);
  check(p.MainPanel, ctl::Main::PlotCh, "PlotCh", {13, 12, 11, 10, 9, 8, 7, 6}, 1);
  check(p.OptionsPanel, ctl::Options::SourceValue, "SourceValue", {27, 28, 29, 30, 31, 49, 50, 51},
        1);
  check(p.OptionsPanel, ctl::Options::SourceSelA, "SourceSelA", {47, 46, 45, 44, 43, 42, 41, 40},
        1);
  check(p.OptionsPanel, ctl::Options::SourceSelB, "SourceSelB", {39, 38, 37, 36, 35, 34, 33, 32},
        1);
  check(p.OptionsPanel, ctl::Options::SourceOn, "SourceOn", {77, 76, 75, 74, 73, 72, 71, 70}, 1);
  const std::vector<int> rings = {11, 12, 10, 9, 8, 7, 6, 5};
  check(p.OptionsPanel, ctl::Options::CurrentSelect, "CurrentSelect", rings, 1);
  check(p.TestCFCPanel, ctl::Test::CurrentSelect, "CurrentSelect", rings, 1);
  check(p.TabSlope, ctl::TabSlope::CountsOk, "CountsOk", {22, 15, 20, 19, 18, 17, 16, 21}, 1);
  check(p.TabSlope, ctl::TabSlope::PeriodOk, "PeriodOk", {23, 24, 25, 26, 27, 28, 29, 30}, 1);

  // The status lights are the ids 31..63 of the main panel, 48 (the read-out mode) excepted.
  std::set<int> lights(statusA.begin(), statusA.end());
  lights.insert(statusB.begin(), statusB.end());
  std::set<int> expected;
  for (int id = 31; id <= 63; ++id)
    if (id != 48) expected.insert(id);
  EXPECT_EQ(lights, expected);
}

TEST_F(PanelFiles, CallbacksAreBoundToTheirControlsAndNowhereElse) {
  using namespace ctl;
  std::map<std::pair<int, int>, std::string> bound = {
      {{p.MainPanel, Main::Quit}, "Quit"},
      {{p.MainPanel, Main::StartStop}, "ContiReads"},
      {{p.MainPanel, Main::ReadOnce}, "ReadData__"},
      {{p.MainPanel, Main::RecordFile}, "SaveToFile"},
      {{p.MainPanel, Main::EndRecord}, "EndFile"},
      {{p.MainPanel, Main::FastFile}, "SaveToFileFast"},
      {{p.MainPanel, Main::RawCapture}, "ReadRawAndStore"},
      {{p.MainPanel, Main::ReplayOpen}, "OpenAndCheck"},
      {{p.MainPanel, Main::ReplayNext}, "NextPartInFile"},
      {{p.MainPanel, Main::OpenOptions}, "OpenOptionUI"},
      {{p.MainPanel, Main::ViewRaw}, "ViewRawDatas"},
      {{p.MainPanel, Main::OpenTest}, "ShowTestPanel"},
      {{p.MainPanel, Main::ReadOutMode}, "UpdateConfigPanelandUSB"},
      {{p.MainPanel, Main::FiberSelect}, "UpdateConfigPanelandUSB"},
      {{p.MainPanel, Main::SingleValueSelect}, "UpdateConfigPanelandUSB"},
      {{p.MainPanel, Main::MultipleRunSave}, "UpdateConfigPanelandUSB"},
      {{p.MainPanel, Main::FocusChannel}, "UIChangeSetup"},
      {{p.MainPanel, Main::AcqInterval}, "UIChangeSetup"},
      {{p.MainPanel, Main::ShowNormalized}, "UpdatePanelSumMax"},
      {{p.MainPanel, Main::SumSelect}, "UpdatePanelSumMax"},
      {{p.MainPanel, Main::AcqTimer}, "ReadFrame"},
      {{p.OptionsPanel, Options::Close}, "CloseOptionsPanel"},
      {{p.OptionsPanel, Options::Apply}, "UpdateOptionPanelValues"},
      {{p.OptionsPanel, Options::SendCommand}, "Write_Instruction"},
      {{p.OptionsPanel, Options::ResetFpga}, "Rst_fpga"},
      {{p.OptionsPanel, Options::ResetAdcCompensation}, "ResetAdcCompensation"},
      {{p.OptionsPanel, Options::ReadJtag}, "Read_JTAG"},
      {{p.OptionsPanel, Options::ShowGraph}, "ChangeOptionUI"},
      {{p.RawData, RawData::Close}, "CloseRawDataPanel"},
      {{p.ShowFramePanel, ShowFrame::Close}, "CloseShowFrame"},
      {{p.TestCFCPanel, ctl::Test::Close}, "CloseTestCFC"},
      {{p.TestCFCPanel, ctl::Test::StartBench}, "StartTestCFC"},
      {{p.TestCFCPanel, ctl::Test::StartTunnel}, "TunnelStartTestCFC"},
      {{p.TestCFCPanel, ctl::Test::Stop}, "StopTestCFC"},
      {{p.TestCFCPanel, ctl::Test::EndLongTest}, "EndLogTimeTest"},
      {{p.TestCFCPanel, ctl::Test::ReadOut}, "TestCFC_ReadOut"},
      {{p.TestCFCPanel, ctl::Test::CreateDacFile}, "CreateDACFile"},
      {{p.TestCFCPanel, ctl::Test::SequencerTimer}, "InterruptTestCfc"},
      {{p.TabSlope, TabSlope::StopMeasure}, "Stop10pAtest"},
      {{p.TabSlope, TabSlope::ReadOutChoice}, "ChangeReadOutMode"},
      {{p.TabBData, TabBData::ChooseLinearityFile}, "ChangeLinearityFile"},
      {{p.TabBData, TabBData::RefreshTimer}, "TimerRefresh"},
  };
  for (int ch = 0; ch < 8; ++ch) {
    bound[{p.MainPanel, Main::PlotCh[ch]}] = "UpdatePanelSumMax";
    bound[{p.OptionsPanel, Options::CurrentSelect[ch]}] = "UpdateCurrentChange";
    bound[{p.TestCFCPanel, ctl::Test::CurrentSelect[ch]}] = "UpdateCurrentChange";
  }
  for (int id : {TabBData::DeviceBarcode1.id, TabBData::DeviceBarcode2.id,
                 TabBData::BoardBarcode.id, TabBData::Otr1Barcode.id, TabBData::Otr2Barcode.id})
    bound[{p.TabBData, id}] = "ControlCodeBars";

  std::set<std::string> used;
  for (int h : rt.panelHandles()) {
    const rt::Panel &panel = rt.panel(h);
    EXPECT_EQ(panel.keyCallbackName, h == p.MainPanel ? "KeyCallback" : "") << panel.alias;
    if (!panel.keyCallbackName.empty()) used.insert(panel.keyCallbackName);
    for (const rt::Control &control : panel.controls) {
      SCOPED_TRACE(panel.alias + "." + control.name);
      auto it = bound.find({h, control.id});
      EXPECT_EQ(control.callbackName, it == bound.end() ? "" : it->second);
      if (!control.callbackName.empty()) used.insert(control.callbackName);
      // A button or a timer without a callback would do nothing.
      if (control.kind == rt::Kind::Button || control.kind == rt::Kind::Timer) {
        EXPECT_FALSE(control.callbackName.empty());
      }
    }
  }
  EXPECT_EQ(used, kCallbackNames);
}

TEST_F(PanelFiles, DefaultsAreThoseTheProgramStartsFrom) {
  using namespace ctl;
  EXPECT_EQ(rt.GetCtrlValI(p.OptionsPanel, Options::FrameWords), 20);
  EXPECT_DOUBLE_EQ(rt.GetCtrlValD(p.MainPanel, Main::AcqInterval), 0.02);
  EXPECT_EQ(rt.GetCtrlValI(p.OptionsPanel, Options::ShowGraph), 1);
  EXPECT_EQ(rt.GetCtrlValI(p.MainPanel, Main::ShowNormalized), 1);
  for (rt::Ctl plot : Main::PlotCh) EXPECT_EQ(rt.GetCtrlValI(p.MainPanel, plot), 1);
  EXPECT_EQ(rt.GetCtrlValI(p.TabBData, TabBData::PcbVersion), 8);
  EXPECT_EQ(rt.GetCtrlValI(p.TabBData, TabBData::HvDacStep), 5);
  EXPECT_EQ(rt.GetCtrlValI(p.TabSlope, TabSlope::MinReachLimit), 200);
  EXPECT_EQ(rt.GetCtrlValI(p.TabSlope, TabSlope::MaxReachLimit), 3900);
  EXPECT_EQ(rt.GetCtrlValI(p.TabSlope, TabSlope::StopRequest), 0);

  // Timers: intervals, and all disabled until the program arms them.
  EXPECT_DOUBLE_EQ(rt.GetCtrlAttribute(p.MainPanel, Main::AcqTimer, rt::ATTR_INTERVAL), 0.02);
  EXPECT_DOUBLE_EQ(
      rt.GetCtrlAttribute(p.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_INTERVAL), 0.5);
  double refresh = rt.GetCtrlAttribute(p.TabBData, TabBData::RefreshTimer, rt::ATTR_INTERVAL);
  EXPECT_GE(refresh, 0.5);
  EXPECT_LE(refresh, 2.0);
  for (int h : rt.panelHandles())
    for (const rt::Control &control : rt.panel(h).controls)
      if (control.kind == rt::Kind::Timer) {
        EXPECT_FALSE(control.enabled) << rt.panel(h).alias << "." << control.name;
      }

  // Rings with fixed items: label and value of each item.
  auto items = [&](int panel, int ring) {
    std::vector<std::pair<std::string, double>> out;
    for (const rt::RingItem &item : c(panel, ring).items) out.emplace_back(item.label, item.value);
    return out;
  };
  using Items = std::vector<std::pair<std::string, double>>;
  EXPECT_EQ(
      items(p.MainPanel, Main::ReadOutMode),
      (Items{{"RAWDATA", 0}, {"FRAMES", 1}, {"SUMS_MAXIMUMS_ANALYSIS", 2}, {"SINGLE_VALUE", 3}}));
  EXPECT_EQ(items(p.MainPanel, Main::FiberSelect), (Items{{"Fiber A", 0}, {"Fiber B", 1}}));
  ASSERT_EQ(c(p.MainPanel, Main::SumSelect).items.size(), 12u);
  for (int s = 0; s < 12; ++s) EXPECT_EQ(c(p.MainPanel, Main::SumSelect).items[s].value, s);
  EXPECT_EQ(rt.GetCtrlValI(p.MainPanel, Main::FiberSelect), 0);

  // The current-setup rings are filled from the linearity file at run time.
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(rt.GetNumListItems(p.OptionsPanel, Options::CurrentSelect[ch]), 0);
    EXPECT_EQ(rt.GetNumListItems(p.TestCFCPanel, ctl::Test::CurrentSelect[ch]), 0);
  }

  // Tables: rows and columns as the displays address them.
  EXPECT_EQ(c(p.MainPanel, Main::StatusTable).rows, 41);
  EXPECT_EQ(c(p.MainPanel, Main::StatusTable).cols, 3);
  EXPECT_EQ(c(p.MainPanel, Main::DacTable).rows, 8);
  EXPECT_EQ(c(p.MainPanel, Main::DacTable).cols, 2);
  EXPECT_EQ(c(p.TabSlope, TabSlope::ResultTable).rows, 9);
  EXPECT_EQ(c(p.TabSlope, TabSlope::ResultTable).cols, 11);

  // The test clock is single precision: the steps compare it with exact halves.
  EXPECT_EQ(c(p.TestCFCPanel, ctl::Test::Clock).type, rt::DataType::Float);
}

TEST_F(PanelFiles, RangesKeepValuesLegal) {
  using namespace ctl;
  auto setGet = [&](int panel, int ctrl, double v) {
    rt.SetCtrlVal(panel, ctrl, v);
    return rt.GetCtrlValD(panel, ctrl);
  };

  // Unsigned 16-bit values: the whole range, nothing beyond it.
  std::vector<std::pair<int, int>> u16 = {
      {p.MainPanel, Main::CardNumber},
      {p.MainPanel, Main::FocusAdcMax},
      {p.MainPanel, Main::FocusAdcMin},
      {p.OptionsPanel, Options::CardNumber},
      {p.OptionsPanel, Options::ModulationDivider},
      {p.OptionsPanel, Options::ModulationMultiplication},
      {p.OptionsPanel, Options::ModulationOffset},
      {p.OptionsPanel, Options::TestCfcVoltage},
      {p.TestCFCPanel, ctl::Test::FpgaDeviceNumber},
  };
  for (rt::Ctl v : Options::SourceValue) u16.emplace_back(p.OptionsPanel, v);
  for (auto [panel, ctrl] : u16) {
    SCOPED_TRACE(rt.panel(panel).alias + "." + c(panel, ctrl).name);
    EXPECT_EQ(c(panel, ctrl).type, rt::DataType::UInt16);
    EXPECT_EQ(setGet(panel, ctrl, 70000), 65535);
    EXPECT_EQ(setGet(panel, ctrl, -1), 0);
    EXPECT_EQ(setGet(panel, ctrl, 0x1234), 0x1234);
  }

  // Bytes of a hand-entered command.
  for (int ctrl : {Options::ManualCommand.id, Options::ManualByte1.id, Options::ManualByte2.id}) {
    EXPECT_EQ(setGet(p.OptionsPanel, ctrl, 300), 255);
    EXPECT_EQ(setGet(p.OptionsPanel, ctrl, 0x61), 0x61);
  }

  // Selectors shift 1 by their value: 0..7 only.
  for (int ch = 0; ch < 8; ++ch)
    for (rt::Ctl sel : {Options::SourceSelA[ch], Options::SourceSelB[ch]}) {
      EXPECT_EQ(setGet(p.OptionsPanel, sel, 8), 7);
      EXPECT_EQ(setGet(p.OptionsPanel, sel, -1), 0);
    }
  EXPECT_EQ(setGet(p.MainPanel, Main::FocusChannel, 8), 7);
  EXPECT_EQ(setGet(p.MainPanel, Main::FocusChannel, -1), 0);
  EXPECT_EQ(setGet(p.MainPanel, Main::SingleValueSelect, 16), 15);
  EXPECT_EQ(setGet(p.MainPanel, Main::SingleValueSelect, 9), 9);
  EXPECT_EQ(setGet(p.MainPanel, Main::BoardNumber, 7), 7);
  EXPECT_EQ(setGet(p.MainPanel, Main::SinglePoints, 500), 99);

  // A zero step would stall the HV scan.
  EXPECT_EQ(setGet(p.TabBData, TabBData::HvDacStep, 0), 1);
  // A frame must hold its counter word (offset 17).
  EXPECT_EQ(setGet(p.OptionsPanel, Options::FrameWords, 5), 18);

  // Barcodes are read into 32-character buffers.
  const std::string longCode(40, '7');
  for (int id : {TabBData::DeviceBarcode1.id, TabBData::DeviceBarcode2.id,
                 TabBData::BoardBarcode.id, TabBData::Otr1Barcode.id, TabBData::Otr2Barcode.id}) {
    rt.SetCtrlVal(p.TabBData, id, longCode);
    EXPECT_EQ(rt.GetCtrlValS(p.TabBData, id), longCode.substr(0, 31));
  }
  // A linearity file path is kept whole, up to the settings file's line length.
  const std::string path = "/data/linearity/" + std::string(270, 'x') + "/Card_7.txt";
  rt.SetCtrlVal(p.TabBData, TabBData::LinearityFile, path);
  EXPECT_EQ(rt.GetCtrlValS(p.TabBData, TabBData::LinearityFile), path);

  // Values the program writes into indicators are kept exactly.
  EXPECT_EQ(setGet(p.OptionsPanel, Options::JtagId, 4294967295.0), 4294967295.0);
  EXPECT_EQ(setGet(p.TestCFCPanel, ctl::Test::Clock, 5355.0), 5355.0);
  EXPECT_EQ(setGet(p.TestCFCPanel, ctl::Test::Clock, -1234.5), -1234.5);  // it runs below zero
  EXPECT_EQ(setGet(p.MainPanel, Main::AcqInterval, 1.5), 1.5);
  EXPECT_EQ(setGet(p.MainPanel, Main::AcqInterval, 0.4), 0.4);
  EXPECT_EQ(setGet(p.MainPanel, Main::FileOffset, 2000000000), 2000000000);
}

// Both loaders read these files: ours and Qt's QUiLoader, which needs the custom widgets
// declared and the table labels to match the table size.
TEST_F(PanelFiles, FilesAreDesignerXmlWithDeclaredWidgetsAndMatchingLabels) {
  for (const char *file : ctl::kPanelFiles) {
    SCOPED_TRACE(file);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(uiFile(file).c_str()));
    pugi::xml_node ui = doc.child("ui");
    EXPECT_STREQ(ui.attribute("version").value(), "4.0");
    pugi::xml_node root = ui.child("widget");
    EXPECT_STREQ(root.attribute("class").value(), "QWidget");
    EXPECT_STREQ(ui.child_value("class"), root.attribute("name").value());
    EXPECT_TRUE(root.child("layout")) << "the root widget has no layout";

    std::set<std::string> declared;
    for (pugi::xml_node cw : ui.child("customwidgets").children("customwidget")) {
      declared.insert(cw.child_value("class"));
      EXPECT_STREQ(cw.child_value("extends"), "QWidget");
    }
    std::set<std::string> names;
    for (pugi::xpath_node xn : doc.select_nodes("//widget")) {
      pugi::xml_node w = xn.node();
      std::string cls = w.attribute("class").value();
      EXPECT_TRUE(names.insert(w.attribute("name").value()).second)
          << "objectName " << w.attribute("name").value() << " used twice";
      if (cls.rfind("Ts", 0) == 0) {
        EXPECT_TRUE(declared.count(cls)) << cls << " not declared";
      }
      if (cls != "TsTable") continue;
      auto prop = [&](const char *name) {
        return w.select_node(("property[@name='" + std::string(name) + "']/*").c_str()).node();
      };
      auto count = [](const std::string &labels) {
        return labels.empty() ? 0
                              : 1 + static_cast<int>(std::count(labels.begin(), labels.end(), ';'));
      };
      int rows = prop("rows").text().as_int(), cols = prop("columns").text().as_int();
      if (prop("rowLabels")) {
        EXPECT_EQ(count(prop("rowLabels").text().as_string()), rows);
      }
      if (prop("columnLabels")) {
        EXPECT_EQ(count(prop("columnLabels").text().as_string()), cols);
      }
    }
  }
}

}  // namespace
