// The test panel as the operator sees a run, in the desktop program on the simulated dead_channel
// board in real time: the banner says RUNNING, then FAILED with the count of failed lines in red,
// and so does the window title; the failed line is listed, and choosing it brings that very line
// of the log into sight; the log stands beside the scrolled panel, not inside it.
#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTest>
#include <QTextBlock>
#include <filesystem>
#include <memory>

#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "gui/desktop.h"
#include "gui/run_status.h"
#include "support/functest_rig.h"
#include "support/test_env.h"

namespace {

namespace B = ctl::TabBData;

TEST(DesktopOperatorView, BannerFailedListAndLogOfARunOnTheDeadChannel) {
  ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << testenv::simLibrary();
  testenv::TempDir dir;
  app::BenchOptions o;
  o.uiDir = testenv::uiDir();
  o.quickusbLib = testenv::simLibrary();
  o.simConfig = testenv::sourceDir() + "/data/sim/dead_channel.json";
  o.settingsPath = dir.file("Corvath.ini");
  o.resultsDb = dir.file("results.sqlite");
  gui::Desktop desktop(o);
  desktop.start();
  testenv::QueuedOperator popups;  // no modal dialog may wait for a person here
  desktop.setOperator(&popups);
  rt::Runtime &rt = desktop.rt();
  const ctl::Panels &p = desktop.bench().panels;

  rt.SetCtrlVal(p.TabBData, B::LinearityFile, testenv::sourceDir() + "/data/Card_3_linearity.txt");
  rt.SetCtrlVal(p.TabBData, B::BenchReportPrefix, dir.file("run"));
  testenv::ScanBarcodes(rt, p.TabBData);
  for (rt::Ctl s : testenv::AllStepSwitches()) rt.SetCtrlVal(p.TabBData, s, 0);
  for (rt::Ctl s : {B::EnableTempOtrDac, B::EnableIntegratorLevel}) rt.SetCtrlVal(p.TabBData, s, 1);
  ASSERT_TRUE(rt.Commit(desktop.bench().panels.MainPanel, ctl::Main::OpenTest));
  desktop.view().flush();

  QWidget *window = desktop.view().panelWidget(p.TestCFCPanel);
  ASSERT_NE(window, nullptr);
  gui::RunStatusPanel *status = desktop.runStatus();
  ASSERT_NE(status, nullptr);
  auto *log = qobject_cast<QPlainTextEdit *>(
      desktop.view().controlWidget(p.TestCFCPanel, ctl::Test::LogBox.id));
  ASSERT_NE(log, nullptr);
  // The log is beside the panel's scroll area, in a splitter, not scrolled with the panel.
  auto *scroll = window->findChild<QScrollArea *>();
  ASSERT_NE(scroll, nullptr);
  EXPECT_FALSE(scroll->widget()->isAncestorOf(log));
  ASSERT_NE(qobject_cast<QSplitter *>(scroll->parentWidget()), nullptr);
  EXPECT_TRUE(scroll->parentWidget()->isAncestorOf(log));

  ASSERT_TRUE(rt.Commit(p.TestCFCPanel, ctl::Test::StartBench));
  QTest::qWait(600);
  EXPECT_TRUE(status->banner()->text().startsWith("RUNNING"))
      << status->banner()->text().toStdString();
  // A step begins after the start's own checks: "Step n of 2: TITLE" within seconds.
  for (int k = 0; k < 100 && !status->progressText()->text().contains(" of 2: "); ++k)
    QTest::qWait(100);
  EXPECT_TRUE(status->progressText()->text().contains(" of 2: "))
      << status->progressText()->text().toStdString();

  // The run ends within a minute of bench time; the banner polls four times a second.
  auto ended = [&] {
    return rt.GetCtrlAttribute(p.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_ENABLED) == 0;
  };
  for (int k = 0; k < 600 && !ended(); ++k) QTest::qWait(100);
  ASSERT_TRUE(ended()) << status->banner()->text().toStdString();
  QTest::qWait(400);
  EXPECT_EQ(status->banner()->text(), QString::fromUtf8("FAILED \u2013 1 failed line"));
  EXPECT_TRUE(status->banner()->styleSheet().contains("#c00000"))
      << status->banner()->styleSheet().toStdString();
  EXPECT_TRUE(window->windowTitle().contains("FAILED")) << window->windowTitle().toStdString();
  EXPECT_EQ(status->bar()->value(), status->bar()->maximum());

  // The failed line is listed; choosing it brings that line of the log into sight.
  QListWidget *failed = status->failedList();
  ASSERT_EQ(failed->count(), 1);
  EXPECT_TRUE(failed->item(0)->text().contains("INTEGRATOR LEVEL CHANNEL 4"))
      << failed->item(0)->text().toStdString();
  log->moveCursor(QTextCursor::Start);
  log->ensureCursorVisible();
  failed->setCurrentRow(0);
  QCoreApplication::processEvents();
  const QTextBlock shown = log->textCursor().block();
  EXPECT_TRUE(shown.text().startsWith("***FAILED : STATUS INTEGRATOR LEVEL CHANNEL 4"))
      << shown.text().toStdString();
  EXPECT_TRUE(log->viewport()->rect().intersects(log->cursorRect()));

  // The next start clears the verdict (the labels are scanned again: the end clears them).
  testenv::ScanBarcodes(rt, p.TabBData);
  ASSERT_TRUE(rt.Commit(p.TestCFCPanel, ctl::Test::StartBench));
  QTest::qWait(600);
  EXPECT_TRUE(status->banner()->text().startsWith("RUNNING"))
      << status->banner()->text().toStdString();
  EXPECT_FALSE(window->windowTitle().contains("FAILED"));
  rt.Commit(p.TestCFCPanel, ctl::Test::Stop);
  for (const std::string &popup : popups.popups) ADD_FAILURE() << "pop-up: " << popup;
  desktop.shutDown();
}

}  // namespace
