// The desktop program on the simulated bench, driven as an operator drives it: buttons, the
// mode ring, function keys and window close buttons, in real time.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "acq/display.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "gui/desktop.h"
#include "gui/widgets.h"
#include "monospace.h"
#include "support/test_env.h"

namespace {

// Lights of the status bits (bit 0 first): status word 1, and status word 2 of a frame.
constexpr int kLightsA[16] = {56, 57, 58, 59, 60, 61, 62, 63, 32, 49, 50, 51, 52, 53, 54, 55};
constexpr int kLightsFrames2[16] = {39, 38, 37, 36, 35, 34, 33, 31, 47, 46, 45, 44, 43, 42, 41, 40};

class DesktopOnSimulatedBench : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary()))
        << "simulated bench not built: " << testenv::simLibrary();
    app::BenchOptions o;
    o.uiDir = testenv::uiDir();
    o.quickusbLib = testenv::simLibrary();
    o.settingsPath = dir.file("Corvath.ini");
    desktop = std::make_unique<gui::Desktop>(o);
    desktop->start();
    main = desktop->bench().panels.MainPanel;
  }
  void TearDown() override {
    if (desktop) desktop->shutDown();
  }

  template <class W>
  W *widget(int control, int panel = 0) {
    auto *w = qobject_cast<W *>(desktop->view().controlWidget(panel ? panel : main, control));
    EXPECT_NE(w, nullptr) << "control " << control;
    return w;
  }
  bool enabled(int control) { return widget<QWidget>(control)->isEnabled(); }
  bool shown(int control) { return widget<QWidget>(control)->isVisible(); }
  bool running() {
    return desktop->rt().GetCtrlAttribute(main, ctl::Main::AcqTimer, rt::ATTR_ENABLED) != 0;
  }
  // The operator picks a read-out mode from the ring.
  void chooseMode(int index) {
    auto *ring = widget<QComboBox>(ctl::Main::ReadOutMode);
    ring->setCurrentIndex(index);
    emit ring->activated(index);
    desktop->view().flush();
  }

  testenv::TempDir dir;
  std::unique_ptr<gui::Desktop> desktop;
  int main = 0;
};

TEST_F(DesktopOnSimulatedBench, EveryControlHasItsWidgetAndOnlyTheMainWindowShows) {
  rt::Runtime &rt = desktop->rt();
  int controls = 0;
  for (int h : rt.panelHandles()) {
    ASSERT_NE(desktop->view().panelWidget(h), nullptr) << rt.panel(h).alias;
    for (const auto &c : rt.panel(h).controls) {
      EXPECT_NE(desktop->view().controlWidget(h, c.id), nullptr)
          << rt.panel(h).alias << "." << c.name;
      ++controls;
    }
    if (rt.panel(h).parent == 0) {
      EXPECT_EQ(desktop->view().panelWidget(h)->isVisible(), h == main) << rt.panel(h).alias;
    }
  }
  EXPECT_GT(controls, 200);
  // The information box is in the monospaced font.
  EXPECT_TRUE(guitest::equalAdvances(widget<QWidget>(ctl::Main::InfoBox)->font()));
}

TEST_F(DesktopOnSimulatedBench, FramesAcquisitionFillsGraphsLightsAndFollowsTheMode) {
  chooseMode(1);  // FRAMES
  EXPECT_TRUE(enabled(ctl::Main::FiberSelect));
  EXPECT_TRUE(enabled(ctl::Main::FocusChannel));
  EXPECT_FALSE(enabled(ctl::Main::SingleValueSelect));
  EXPECT_TRUE(shown(ctl::Main::DataGraph1));
  EXPECT_FALSE(shown(ctl::Main::SumsGraph));
  EXPECT_FALSE(shown(ctl::Main::StatusTable));

  QTest::mouseClick(widget<QPushButton>(ctl::Main::StartStop), Qt::LeftButton);
  ASSERT_TRUE(running());
  QTest::qWait(1000);
  desktop->view().flush();

  // Running: the mode ring is dimmed; the data graphs hold the focus channel's plots.
  EXPECT_FALSE(enabled(ctl::Main::ReadOutMode));
  for (int id : {ctl::Main::DataGraph1.id, ctl::Main::DataGraph2.id}) {
    auto *g = widget<TsGraph>(id);
    ASSERT_EQ(g->shownPlots(), 1) << id;
    EXPECT_EQ(qobject_cast<QLineSeries *>(g->chart()->series()[0])->count(), 200) << id;
  }
  // The lights show the newest frame's status words, bit by bit.
  const acq::Acquisition &acq = desktop->bench().acq;
  int lit = 0;
  for (int bit = 0; bit < 16; ++bit) {
    bool a = (acq.FrameStatus1 >> bit) & 1, b = (acq.FrameStatus2 >> bit) & 1;
    EXPECT_EQ(widget<TsLed>(kLightsA[bit])->isOn(), a) << "status 1 bit " << bit;
    EXPECT_EQ(widget<TsLed>(kLightsFrames2[bit])->isOn(), b) << "status 2 bit " << bit;
    lit += a + b;
  }
  EXPECT_GT(lit, 0);
  EXPECT_LT(lit, 32);
  EXPECT_GT(desktop->rt().GetCtrlValD(main, ctl::Main::FramePeriod), 0.0);

  // Stopped, then SUMS: the sums display replaces the raw graphs and the DAC table.
  QTest::mouseClick(widget<QPushButton>(ctl::Main::StartStop), Qt::LeftButton);
  EXPECT_FALSE(running());
  desktop->view().flush();
  EXPECT_TRUE(enabled(ctl::Main::ReadOutMode));
  chooseMode(2);
  EXPECT_FALSE(enabled(ctl::Main::FiberSelect));
  EXPECT_FALSE(enabled(ctl::Main::FocusChannel));
  EXPECT_TRUE(shown(ctl::Main::SumsGraph));
  EXPECT_TRUE(shown(ctl::Main::StatusTable));
  EXPECT_TRUE(shown(ctl::Main::SumSelect));
  EXPECT_TRUE(shown(ctl::Main::PlotCh8));
  EXPECT_FALSE(shown(ctl::Main::DataGraph1));
  EXPECT_FALSE(shown(ctl::Main::DataGraph2));
  EXPECT_FALSE(shown(ctl::Main::DacTable));

  // SINGLE_VALUE: fibre and single value selectable, focus channel not.
  chooseMode(3);
  EXPECT_TRUE(enabled(ctl::Main::FiberSelect));
  EXPECT_TRUE(enabled(ctl::Main::SingleValueSelect));
  EXPECT_FALSE(enabled(ctl::Main::FocusChannel));
  EXPECT_FALSE(shown(ctl::Main::SumsGraph));
  EXPECT_TRUE(shown(ctl::Main::DataGraph1));
}

TEST_F(DesktopOnSimulatedBench, SumsGraphColoursScalingAndStatusTable) {
  // Every channel's source at 1 mA (channel 1's settings linked), as typed on the options panel.
  rt::Runtime &rt = desktop->rt();
  const int options = desktop->bench().panels.OptionsPanel;
  rt.SetCtrlVal(options, ctl::Options::SourceValue1, 1000);
  rt.SetCtrlVal(options, ctl::Options::SourceSelA1, 7);
  rt.SetCtrlVal(options, ctl::Options::SourceSelB1, 1);
  rt.SetCtrlVal(options, ctl::Options::LinkSources, 1);
  QTest::mouseClick(widget<QPushButton>(ctl::Options::Apply, options), Qt::LeftButton);
  chooseMode(2);
  QTest::mouseClick(widget<QPushButton>(ctl::Main::StartStop), Qt::LeftButton);
  ASSERT_TRUE(running());
  QTest::qWait(1300);  // three SUMS blocks
  desktop->view().flush();

  // One line per channel in the colours of channels 1..8, on a plot area dark enough for the
  // white one.
  auto *graph = widget<TsGraph>(ctl::Main::SumsGraph);
  ASSERT_EQ(graph->shownPlots(), 8);
  const QColor colours[8] = {QColor(0xFF0000), QColor(0x0000FF), QColor(0x00FF00),
                             QColor(0x00FFFF), QColor(0xFF00FF), QColor(0xFFFF00),
                             QColor(0xA0A0A0), QColor(0xFFFFFF)};
  auto series = graph->chart()->series();
  for (int ch = 0; ch < 8; ++ch) {
    auto *line = qobject_cast<QLineSeries *>(series[ch]);
    EXPECT_EQ(line->color(), colours[ch]) << "channel " << ch + 1;
    EXPECT_EQ(line->name(), QString("CH%1").arg(ch + 1));
    EXPECT_TRUE(line->isVisible());
    EXPECT_EQ(line->count(), 20);
  }
  EXPECT_LT(graph->chart()->plotAreaBackgroundBrush().color().lightness(), 40);
  // Locked to 0..10 only while the plots were replaced: the axis follows the sums (200 counts
  // per frame) again.
  auto *yAxis = qobject_cast<QValueAxis *>(graph->chart()->axes(Qt::Vertical).first());
  EXPECT_LT(yAxis->min(), 200);
  EXPECT_GT(yAxis->max(), 200);
  EXPECT_LT(yAxis->max(), 1000);

  // Status table: a rate beside each of the four counters that have one and nowhere else;
  // the fibre B bytes, which are recorded only, are not shown.
  auto *table = widget<TsTable>(ctl::Main::StatusTable);
  for (int row = 0; row < 33; ++row) {
    bool rated = row == 4 || row == 5 || row == 10 || row == 11;
    EXPECT_FALSE(table->isRowHidden(row)) << row;
    EXPECT_NE(table->cellText(row, 1), "") << row;
    EXPECT_EQ(table->cellText(row, 2) != "", rated) << row;
  }
  EXPECT_EQ(table->cellText(0, 1), "317");
  for (int row = 33; row < 41; ++row) EXPECT_TRUE(table->isRowHidden(row)) << row;
  QTest::mouseClick(widget<QPushButton>(ctl::Main::StartStop), Qt::LeftButton);
}

TEST_F(DesktopOnSimulatedBench, BarcodesScannedOneAfterTheOtherMoveTheFocus) {
  const ctl::Panels &p = desktop->bench().panels;
  QTest::mouseClick(widget<QPushButton>(ctl::Main::OpenTest), Qt::LeftButton);
  desktop->view().flush();
  QWidget *window = desktop->view().panelWidget(p.TestCFCPanel);
  ASSERT_TRUE(window->isVisible());
  // The refresh timer reads the board while the panel is idle: its device number shows.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return desktop->rt().GetCtrlValI(p.TestCFCPanel, ctl::Test::FpgaDeviceNumber) == 317; },
      3000));
  QApplication::setActiveWindow(window);
  auto *device1 = widget<QLineEdit>(ctl::TabBData::DeviceBarcode1, p.TabBData);
  auto *device2 = widget<QLineEdit>(ctl::TabBData::DeviceBarcode2, p.TabBData);
  auto *board = widget<QLineEdit>(ctl::TabBData::BoardBarcode, p.TabBData);
  auto *otr1 = widget<QLineEdit>(ctl::TabBData::Otr1Barcode, p.TabBData);
  device1->setFocus();
  // A label of another card leaves the focus where it is; this card's moves it on, at the
  // refresh timer's next look (a scanner without a Return key).
  QTest::keyClicks(device1, "VELTRA318");
  QTest::qWait(1300);
  EXPECT_TRUE(device1->hasFocus());
  device1->clear();
  QTest::keyClicks(device1, "VELTRA317");
  EXPECT_TRUE(QTest::qWaitFor([&] { return device2->hasFocus(); }, 2500));
  // With a Return key the move comes at once.
  QTest::keyClicks(device2, "VELTRA-D317");
  QTest::keyClick(device2, Qt::Key_Return);
  desktop->view().flush();
  EXPECT_TRUE(board->hasFocus());
  // Return completes a label the start takes (the board label: 20 characters).
  QTest::keyClicks(board, "BRD-0000000000000317");
  QTest::keyClick(board, Qt::Key_Return);
  desktop->view().flush();
  EXPECT_TRUE(otr1->hasFocus());
  EXPECT_EQ(desktop->rt().GetCtrlValS(p.TabBData, ctl::TabBData::DeviceBarcode2), "VELTRA-D317");
}

TEST_F(DesktopOnSimulatedBench, F10StartsFramesAndF3MovesTheFocusChannel) {
  chooseMode(2);
  QWidget *window = desktop->view().panelWidget(main);
  QTest::keyClick(window, Qt::Key_F10);
  EXPECT_EQ(desktop->rt().GetCtrlValI(main, ctl::Main::ReadOutMode), 1);
  EXPECT_TRUE(running());
  QTest::keyClick(window, Qt::Key_F3);
  EXPECT_EQ(desktop->rt().GetCtrlValI(main, ctl::Main::FocusChannel), 2);
  QTest::qWait(300);
  desktop->view().flush();
  EXPECT_EQ(widget<QComboBox>(ctl::Main::ReadOutMode)->currentIndex(), 1);
  EXPECT_EQ(widget<TsGraph>(ctl::Main::DataGraph1)->shownPlots(), 1);
}

TEST_F(DesktopOnSimulatedBench, BenchMenuChecksTheBenchAndPutsTheAcquisitionBack) {
  QWidget *window = desktop->view().panelWidget(main);
  EXPECT_TRUE(window->windowTitle().endsWith(" - QUSB-0")) << window->windowTitle().toStdString();
  chooseMode(2);  // SUMS, acquiring
  QTest::keyClick(window, Qt::Key_F10);
  chooseMode(2);
  ASSERT_TRUE(running());
  auto *check = window->findChild<QAction *>("BenchCheckAction");
  ASSERT_NE(check, nullptr);
  check->trigger();
  auto *dialog = window->findChild<QDialog *>("BenchCheckDialog");
  ASSERT_NE(dialog, nullptr);
  const QString text = dialog->findChild<QPlainTextEdit *>("BenchCheckText")->toPlainText();
  EXPECT_TRUE(text.endsWith("\nOK\n")) << text.toStdString();
  EXPECT_TRUE(text.contains("FPGA JTAG id: 0x0A5E1093")) << text.toStdString();
  EXPECT_EQ(dialog->windowTitle(), "Bench check: OK");
  EXPECT_EQ(desktop->rt().GetCtrlValI(main, ctl::Main::ReadOutMode), 2);
  EXPECT_TRUE(running());
  dialog->close();
}

TEST_F(DesktopOnSimulatedBench, SecondaryPanelsOpenAndTheirWindowCloseButtonSavesTheSettings) {
  rt::Runtime &rt = desktop->rt();
  const ctl::Panels &p = desktop->bench().panels;
  QTest::mouseClick(widget<QPushButton>(ctl::Main::OpenOptions), Qt::LeftButton);
  QTest::mouseClick(widget<QPushButton>(ctl::Main::ViewRaw), Qt::LeftButton);
  desktop->view().flush();
  for (int h : {p.OptionsPanel, p.RawData, p.ShowFramePanel})
    EXPECT_TRUE(desktop->view().panelWidget(h)->isVisible()) << rt.panel(h).alias;

  // The frame view's column ruler names each of the 28 fields where the values line has it.
  auto *ruler = desktop->view().panelWidget(p.ShowFramePanel)->findChild<QLabel *>("FrameColumns");
  ASSERT_NE(ruler, nullptr);
  const auto state = std::make_unique<acq::AcqState>();  // large: off the stack
  std::string values;
  acq::formatFrameText(*state, values);
  auto starts = [](const std::string &s) {
    std::vector<size_t> at;
    for (size_t k = 0; k < s.size(); ++k)
      if (s[k] != ' ' && (k == 0 || s[k - 1] == ' ')) at.push_back(k);
    return at;
  };
  EXPECT_EQ(starts(ruler->text().toStdString()), starts(values)) << ruler->text().toStdString();
  EXPECT_EQ(starts(values).size(), 28u);

  std::string settings = dir.file("Corvath.ini");
  std::filesystem::remove(settings);
  desktop->view().panelWidget(p.OptionsPanel)->close();
  desktop->view().flush();
  EXPECT_FALSE(rt.panel(p.OptionsPanel).visible);
  EXPECT_FALSE(desktop->view().panelWidget(p.OptionsPanel)->isVisible());
  EXPECT_TRUE(std::filesystem::exists(settings));

  desktop->view().panelWidget(p.RawData)->close();
  desktop->view().flush();
  EXPECT_EQ(desktop->bench().acq.ViewRaw, 0);
  EXPECT_EQ(desktop->bench().acq.ViewFrame, 1);  // the frame view is not touched
  EXPECT_TRUE(desktop->view().panelWidget(p.ShowFramePanel)->isVisible());
}

TEST_F(DesktopOnSimulatedBench, QuitButtonAndMainWindowCloseEndTheProgram) {
  int quits = 0;
  QObject::connect(desktop.get(), &gui::Desktop::quit, [&] { ++quits; });
  desktop->view().panelWidget(main)->close();
  EXPECT_EQ(quits, 1);
  EXPECT_TRUE(desktop->rt().quitRequested());
  QTest::mouseClick(widget<QPushButton>(ctl::Main::Quit), Qt::LeftButton);
  EXPECT_EQ(quits, 2);
}

}  // namespace
