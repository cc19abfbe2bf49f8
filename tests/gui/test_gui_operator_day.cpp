// A new operator's day at the bench, in the desktop program on the simulated good board in real
// time: the functional test found from the menu, five labels scanned with a scanner's Enter, a
// refused start that says why and keeps the log, the starts dimmed while a run goes, the question
// before Stop and before quitting, the wheel that scrolls rather than switching the fibre.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <utility>

#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "functest/report.h"
#include "gui/desktop.h"
#include "gui/run_status.h"
#include "support/functest_rig.h"
#include "support/test_env.h"

namespace {

namespace B = ctl::TabBData;

class OperatorDay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << testenv::simLibrary();
    app::BenchOptions o;
    o.uiDir = testenv::uiDir();
    o.quickusbLib = testenv::simLibrary();
    o.settingsPath = dir.file("Corvath.ini");
    o.resultsDb = dir.file("results.sqlite");
    desktop = std::make_unique<gui::Desktop>(o);
    desktop->start();
    p = desktop->bench().panels;
    rt().SetCtrlVal(p.TabBData, B::LinearityFile,
                    testenv::sourceDir() + "/data/Card_3_linearity.txt");
    rt().SetCtrlVal(p.TabBData, B::BenchReportPrefix, dir.file("run"));
    for (rt::Ctl s : testenv::AllStepSwitches()) rt().SetCtrlVal(p.TabBData, s, 0);
  }
  void TearDown() override {
    if (desktop) desktop->shutDown();
  }
  rt::Runtime &rt() { return desktop->rt(); }
  template <class W>
  W *widget(int panel, int control) {
    auto *w = qobject_cast<W *>(desktop->view().controlWidget(panel, control));
    EXPECT_NE(w, nullptr) << "control " << control;
    return w;
  }
  // The test panel opened from the main window's Test menu.
  void openTestPanel() {
    QWidget *main = desktop->view().panelWidget(p.MainPanel);
    auto *action = main->findChild<QAction *>(QStringLiteral("FunctionalTestAction"));
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_T));
    action->trigger();
    desktop->view().flush();
    ASSERT_TRUE(desktop->view().panelWidget(p.TestCFCPanel)->isVisible());
  }
  // With TESSOCK_SHOT_DIR set, a picture of the screen as the operator sees it (on an X server
  // of the bench's size: scripts/screenshots-operator), else of the window.
  void shot(const QString &name, QWidget *window = nullptr) {
    const char *shots = std::getenv("TESSOCK_SHOT_DIR");
    if (!shots) return;
    QDir().mkpath(shots);
    desktop->view().flush();
    for (int k = 0; k < 5; ++k) QCoreApplication::processEvents();
    QTest::qWait(200);
    QPixmap picture;
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
      picture = QGuiApplication::primaryScreen()->grabWindow(0);
    else if (window)
      picture = window->grab();
    if (!picture.isNull()) picture.save(QString(shots) + "/" + name + ".png", "PNG");
  }
  // Answers the next modal box by the button with this text; the text it showed is kept.
  void answerNextBox(const QString &button, const QString &picture = {}, int afterMs = 300) {
    QTimer::singleShot(afterMs, [this, button, picture] {
      auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
      if (!box) {
        asked = "(no box)";
        return;
      }
      if (!picture.isEmpty()) shot(picture, box);
      asked = box->windowTitle() + " | " + box->text();
      for (QAbstractButton *b : box->buttons())
        if (b->text() == button) {
          b->click();
          return;
        }
      asked += " | no button " + button;
      box->reject();
    });
  }
  bool sequencerRunning() {
    return rt().GetCtrlAttribute(p.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_ENABLED) != 0;
  }
  void startRun() {
    testenv::ScanBarcodes(rt(), p.TabBData);
    rt().SetCtrlVal(p.TabBData, B::EnableLongTimeCrc, 1);  // runs until the operator ends it
    widget<QPushButton>(p.TestCFCPanel, ctl::Test::StartBench.id)->click();
    for (int k = 0; k < 50 && !sequencerRunning(); ++k) QTest::qWait(100);
    ASSERT_TRUE(sequencerRunning());
    desktop->view().flush();
  }

  testenv::TempDir dir;
  std::unique_ptr<gui::Desktop> desktop;
  ctl::Panels p;
  QString asked;
};

// Enter completes each of the five labels: a label that holds moves the focus on (the board
// label at its 20 characters too); one that does not keeps it, marked with what was expected and
// what was read, its text selected for the next scan to replace.
TEST_F(OperatorDay, TheScannersEnterCompletesEveryLabelAndMarksAWrongOne) {
  openTestPanel();
  const int page = p.TabBData;
  // The idle refresh learns the board's card number; then Enter alone moves the focus on.
  for (int k = 0; k < 50 && desktop->bench().acq.CardNumber != 317; ++k) QTest::qWait(100);
  ASSERT_EQ(desktop->bench().acq.CardNumber, 317);
  rt().SetCtrlAttribute(page, B::RefreshTimer, rt::ATTR_ENABLED, 0);
  auto scan = [&](int field, const QString &text) {
    rt().SetActiveCtrl(page, field);
    desktop->view().flush();
    auto *edit = widget<QLineEdit>(page, field);
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
    QCoreApplication::processEvents();
    desktop->view().flush();
    return rt().GetActiveCtrl(page);
  };
  auto *note =
      desktop->view().panelWidget(page)->findChild<QLabel *>(QStringLiteral("ScanProblem"));
  ASSERT_NE(note, nullptr);
  struct Scan {
    int field;
    QString wrong, wrongSays, right;
    int next;
  };
  const Scan scans[] = {
      {B::DeviceBarcode1.id, "VELTRA318", "read 318", "VELTRA317", B::DeviceBarcode2.id},
      {B::DeviceBarcode2.id, "VELTRA-N31", "read 31", "VELTRA-N317", B::BoardBarcode.id},
      {B::BoardBarcode.id, "BRD-00000000000000317", "expected 20 characters, read 21 characters",
       "BRD-0000000000000317", B::Otr1Barcode.id},
      {B::Otr1Barcode.id, "OTR1-00000001", "expected 14 characters, read 13 characters",
       "OTR1-000000001", B::Otr2Barcode.id},
      {B::Otr2Barcode.id, "OTR2", "read 4 characters", "OTR2-000000002", B::PcbVersion.id},
  };
  bool pictured = false;
  for (const Scan &s : scans) {
    EXPECT_EQ(scan(s.field, s.wrong), s.field) << s.wrong.toStdString();
    if (s.field == B::BoardBarcode.id && !std::exchange(pictured, true))
      shot("2_scan_marked", desktop->view().panelWidget(p.TestCFCPanel));
    EXPECT_TRUE(note->isVisibleTo(note->window()));
    EXPECT_TRUE(note->text().contains(s.wrongSays)) << note->text().toStdString();
    auto *edit = widget<QLineEdit>(page, s.field);
    EXPECT_TRUE(edit->styleSheet().contains("#c00000"));
    QTest::qWait(10);
    EXPECT_EQ(edit->selectedText(), s.wrong);  // the next scan replaces the wrong one
    EXPECT_EQ(scan(s.field, s.right), s.next) << s.right.toStdString();
    EXPECT_EQ(rt().GetCtrlValS(page, s.field), s.right.toStdString());
    EXPECT_FALSE(edit->styleSheet().contains("#c00000"));
  }
  EXPECT_FALSE(note->isVisibleTo(note->window()));
}

// A refused start says every problem in its body and keeps the previous run's log; the banner
// says that the run did not start.
TEST_F(OperatorDay, ARefusedStartSaysEveryReasonAndKeepsTheLog) {
  openTestPanel();
  rt().InsertTextBoxLine(p.TestCFCPanel, ctl::Test::LogBox, -1, "a line of the last run");
  testenv::ScanBarcodes(rt(), p.TabBData);
  rt().SetCtrlVal(p.TabBData, B::BoardBarcode, "BRD-317");
  rt().SetCtrlVal(p.TabBData, B::Otr2Barcode, "");
  rt().SetCtrlVal(p.TabBData, B::EnableTempOtrDac, 1);
  answerNextBox("OK", "3_refused_start");
  widget<QPushButton>(p.TestCFCPanel, ctl::Test::StartBench.id)->click();
  EXPECT_FALSE(sequencerRunning());
  // The dialog's title is the start's message; its body says every problem in full.
  EXPECT_EQ(asked,
            "Board number not correct | "
            "Board number not correct: expected 20 characters, read 7 characters\n"
            "OTR2 number not correct: expected 14 characters, read 0 characters\n\n"
            "Restart the test program after fixing it.");
  EXPECT_EQ(rt().GetTextBoxLine(p.TestCFCPanel, ctl::Test::LogBox, 0), "a line of the last run");
  gui::RunStatusPanel *status = desktop->runStatus();
  status->refresh();
  EXPECT_EQ(status->banner()->text(), "NOT STARTED");
  EXPECT_TRUE(status->progressText()->text().contains("did not start: Board number not correct"))
      << status->progressText()->text().toStdString();
  shot("3_refused_banner_log_kept");
}

// While a run goes the starts are dimmed; Stop asks first, and "Keep testing" keeps the run;
// while the question is open the sequencer goes on.
TEST_F(OperatorDay, StartsAreDimmedAndStopAsksFirst) {
  openTestPanel();
  startRun();
  auto *start = widget<QPushButton>(p.TestCFCPanel, ctl::Test::StartBench.id);
  auto *tunnel = widget<QPushButton>(p.TestCFCPanel, ctl::Test::StartTunnel.id);
  EXPECT_FALSE(start->isEnabled());
  EXPECT_FALSE(tunnel->isEnabled());
  auto *stop = widget<QPushButton>(p.TestCFCPanel, ctl::Test::Stop.id);
  // The sequencer's clock goes on while the question is open.
  const double before = rt().GetCtrlValD(p.TestCFCPanel, ctl::Test::Clock);
  answerNextBox("Keep testing", "6_stop_question", 1300);  // the ticks go on meanwhile
  stop->click();
  EXPECT_TRUE(asked.startsWith("Stop the test?")) << asked.toStdString();
  EXPECT_TRUE(sequencerRunning());
  EXPECT_LT(rt().GetCtrlValD(p.TestCFCPanel, ctl::Test::Clock), before);

  // The long-time check waits for the operator: the panel says so, with the button that ends it.
  gui::RunStatusPanel *status = desktop->runStatus();
  for (int k = 0; k < 50 && status->waitText()->text().isEmpty(); ++k) QTest::qWait(100);
  EXPECT_TRUE(status->waitText()->isVisibleTo(status));
  EXPECT_TRUE(status->waitText()->text().contains("End long-time test"))
      << status->waitText()->text().toStdString();
  EXPECT_EQ(status->waitButton()->text(), "End long-time test");
  EXPECT_TRUE(status->progressText()->text().contains("after your wait"));
  shot("4_5_wait_and_dimmed_starts", desktop->view().panelWidget(p.TestCFCPanel));

  answerNextBox("Stop the test");
  stop->click();
  EXPECT_FALSE(sequencerRunning());
  desktop->view().flush();
  EXPECT_TRUE(start->isEnabled());
  EXPECT_TRUE(tunnel->isEnabled());
  status->refresh();
  EXPECT_TRUE(status->banner()->text().startsWith("STOPPED"));
}

// Closing the main window during a run asks; "Stop and quit" stops the run, which is recorded
// as stopped with a line saying why, and the program quits.
TEST_F(OperatorDay, ClosingDuringARunAsksAndRecordsTheRunStopped) {
  openTestPanel();
  startRun();
  bool quit = false;
  QObject::connect(desktop.get(), &gui::Desktop::quit, [&] { quit = true; });
  QWidget *main = desktop->view().panelWidget(p.MainPanel);
  answerNextBox("Keep testing", "6_quit_question");
  main->close();
  EXPECT_TRUE(asked.startsWith("Quit during the test?")) << asked.toStdString();
  EXPECT_TRUE(sequencerRunning());
  EXPECT_FALSE(quit);
  answerNextBox("Stop and quit");
  main->close();
  EXPECT_TRUE(quit);
  EXPECT_FALSE(sequencerRunning());
  const std::string report = testenv::readFile(desktop->bench().test.report.ReportFileName);
  EXPECT_NE(report.find("\nTHE PROGRAM WAS QUIT DURING THE TEST at "), std::string::npos);
  EXPECT_NE(report.rfind("\nTEST STOPPED BY THE OPERATOR => Stop at "), std::string::npos);
  const std::string record =
      testenv::readFile(functest::RecordPathFor(desktop->bench().test.report.ReportFileName));
  EXPECT_NE(record.find("\"verdict\":\"STOPPED\""), std::string::npos) << record;
  EXPECT_NE(record.find("quit during the run"), std::string::npos);
}

// A run with steps switched off passes as a partial run and says which steps it did not run;
// the log names the report by its full path, and the HTML report opens by an absolute address
// or says that nothing could open it.
TEST_F(OperatorDay, APartialRunSaysSoAndItsReportIsFound) {
  openTestPanel();
  testenv::ScanBarcodes(rt(), p.TabBData);
  rt().SetCtrlVal(p.TabBData, B::EnableTempOtrDac, 1);
  // A prefix without a folder: the reports folder (of the test's own data folder).
  testenv::ScopedEnv data("XDG_DATA_HOME", dir.file("data"));
  rt().SetCtrlVal(p.TabBData, B::BenchReportPrefix, "partial");
  widget<QPushButton>(p.TestCFCPanel, ctl::Test::StartBench.id)->click();
  for (int k = 0; k < 50 && !sequencerRunning(); ++k) QTest::qWait(100);
  for (int k = 0; k < 300 && sequencerRunning(); ++k) QTest::qWait(100);
  ASSERT_FALSE(sequencerRunning());
  gui::RunStatusPanel *status = desktop->runStatus();
  status->refresh();
  EXPECT_EQ(status->banner()->text(), QString::fromUtf8("PASSED \u2013 1 of 15 steps"));
  EXPECT_TRUE(status->progressText()->text().contains(
      "Not run (switched off): MEASURE 10pA, MEASURE 200 COUNTS, TEST CRC AND LOSTF, TEST STATUS "
      "POWER SUPPLIES"))
      << status->progressText()->text().toStdString();
  const std::string report = desktop->bench().test.report.ReportFileName;
  EXPECT_EQ(report.rfind(functest::DefaultReportFolder() + "/partial_DN_317_", 0), 0u) << report;
  EXPECT_EQ(rt().GetTextBoxLine(p.TestCFCPanel, ctl::Test::LogBox, 0), report);
  shot("7_8_partial_passed_full_path", desktop->view().panelWidget(p.TestCFCPanel));

  QString said;
  status->noViewer = [&](const QString &page) { said = page; };
  ASSERT_TRUE(status->reportButton()->isEnabled());
  const QString page = QString::fromStdString(desktop->bench().htmlReport.lastPage());
  EXPECT_TRUE(QFileInfo(page).isAbsolute());
  EXPECT_EQ(status->reportButton()->toolTip(), page);
  if (!status->openReport()) {
    EXPECT_EQ(said, page);  // nothing could open it: said, with where
  }
}

// The main window fits the screen with the functional test in its Test menu; raw data and the
// frame view say how to start the acquisition while they have nothing; the bench check's text
// wraps.
TEST_F(OperatorDay, WhatTheMainWindowAndTheDataWindowsSay) {
  QWidget *main = desktop->view().panelWidget(p.MainPanel);
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    EXPECT_LE(main->frameGeometry().height(),
              QGuiApplication::primaryScreen()->availableGeometry().height());
  }
  auto *menu = main->findChild<QAction *>(QStringLiteral("FunctionalTestAction"));
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu->text(), "&Functional test...");
  shot("1_main_window_test_menu", main);

  rt().SetCtrlAttribute(p.MainPanel, ctl::Main::AcqTimer, rt::ATTR_ENABLED, 0);
  ASSERT_TRUE(desktop->pump().commit(p.MainPanel, ctl::Main::ViewRaw.id));
  QTest::qWait(700);
  for (int h : {p.RawData, p.ShowFramePanel}) {
    auto *hint = desktop->view().panelWidget(h)->findChild<QLabel *>(QStringLiteral("NoDataHint"));
    ASSERT_NE(hint, nullptr);
    EXPECT_TRUE(hint->isVisible());
    EXPECT_TRUE(hint->text().contains("start the acquisition on the main window"));
  }
  shot("9_raw_data_hint", desktop->view().panelWidget(p.RawData));
  rt().KeyPress(p.MainPanel, 0x1800);  // F10: the acquisition starts
  QTest::qWait(700);
  auto *hint =
      desktop->view().panelWidget(p.RawData)->findChild<QLabel *>(QStringLiteral("NoDataHint"));
  EXPECT_FALSE(hint->isVisible());

  QDialog *check = desktop->benchCheck();
  ASSERT_NE(check, nullptr);
  auto *text = check->findChild<QPlainTextEdit *>(QStringLiteral("BenchCheckText"));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  shot("9_bench_check_wraps", check);
  check->close();
}

// A module lost outside a run is said in the main window, by its name, with what to do.
TEST_F(OperatorDay, AModuleLostOutsideARunIsSaid) {
  desktop->shutDown();
  desktop.reset();
  testenv::writeFile(dir.file("unplug.json"),
                     R"({"name": "unplug", "module": {"unplugAfterSeconds": 1}})");
  app::BenchOptions o;
  o.uiDir = testenv::uiDir();
  o.quickusbLib = testenv::simLibrary();
  o.simConfig = dir.file("unplug.json");
  o.settingsPath = dir.file("Corvath.ini");
  o.resultsDb = dir.file("results.sqlite");
  desktop = std::make_unique<gui::Desktop>(o);
  desktop->start();
  p = desktop->bench().panels;
  rt().KeyPress(p.MainPanel, 0x1800);  // F10: the acquisition reads the module
  QLabel *notice = qobject_cast<QLabel *>(desktop->noHardwareNotice());
  ASSERT_NE(notice, nullptr);
  for (int k = 0; k < 60 && !notice->isVisible(); ++k) QTest::qWait(100);
  ASSERT_TRUE(notice->isVisible());
  const QString name = QString::fromLatin1(desktop->bench().usb.NameList);
  EXPECT_TRUE(notice->text().startsWith("QuickUSB module " + name + " stopped answering at "))
      << notice->text().toStdString();
  EXPECT_TRUE(notice->text().contains("Check the module's USB cable and power"));
  shot("10_lost_module", desktop->view().panelWidget(p.MainPanel));
}

// The wheel over a ring scrolls the window; the ring changes by the wheel only once clicked.
TEST_F(OperatorDay, TheWheelOverARingChangesItOnlyWithTheFocus) {
  auto *fibre = widget<QComboBox>(p.MainPanel, ctl::Main::FiberSelect.id);
  const int before = fibre->currentIndex();
  auto wheel = [&] {
    const QPointF at(fibre->width() / 2.0, fibre->height() / 2.0);
    QWheelEvent down(at, fibre->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(fibre, &down);
  };
  fibre->clearFocus();
  wheel();
  EXPECT_EQ(fibre->currentIndex(), before);
  EXPECT_EQ(fibre->focusPolicy(), Qt::StrongFocus);
}

}  // namespace
