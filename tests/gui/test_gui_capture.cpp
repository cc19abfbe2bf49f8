// The raw capture in the desktop program: a modal progress dialog while the capture runs, whose
// Stop button ends it as a failed read would (parts kept, conversion and plots done).
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "ctl/main_panel.h"
#include "gui/desktop.h"
#include "support/test_env.h"
#include "test_popups.h"

namespace {

namespace M = ctl::Main;

TEST(DesktopCapture, ProgressDialogShowsTheCaptureAndItsStopEndsIt) {
  ASSERT_TRUE(std::filesystem::exists(testenv::simLibrary())) << testenv::simLibrary();
  testenv::TempDir dir;
  app::BenchOptions o;
  o.uiDir = testenv::uiDir();
  o.quickusbLib = testenv::simLibrary();
  o.settingsPath = dir.file("Corvath.ini");
  o.conversionFile = dir.file("conv/tempIO.txt");
  gui::Desktop desktop(o);
  desktop.start();
  acqtest::Popups popups;  // no message box may wait for a click in this test
  desktop.setOperator(&popups);
  app::Bench &bench = desktop.bench();
  bench.acq.captureMonitor = &desktop.captureDialog();
  const int m = bench.panels.MainPanel;
  bench.acq.FileNameForFast = dir.file("cap");
  bench.rt.SetCtrlVal(m, M::RawCaptureSeconds, 60.0);

  // Once the dialog shows bytes written, the operator looks and presses Stop.
  QString shown;
  bool modal = false, commitRefused = false;
  QTimer poll;
  poll.setInterval(50);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QDialog *d = desktop.captureDialog().dialog();
    if (!d) return;
    shown = desktop.captureDialog().text();
    const QString written = shown.section('\n', 1).section(' ', 0, 0);
    if (written.toULongLong() == 0) return;
    poll.stop();
    modal = d->isVisible() && d->isModal();
    // Nothing else runs while the capture holds the program.
    commitRefused = !desktop.pump().commit(m, M::StartStop);
    QTest::mouseClick(d->findChild<QPushButton *>(), Qt::LeftButton);
  });
  poll.start();
  ASSERT_TRUE(desktop.pump().commit(m, M::RawCapture));

  EXPECT_TRUE(modal);
  EXPECT_TRUE(commitRefused);
  EXPECT_TRUE(shown.contains("Elapsed") && shown.contains("remaining") &&
              shown.contains("bytes written") && shown.contains("MB/s"))
      << shown.toStdString();
  EXPECT_EQ(desktop.captureDialog().dialog(), nullptr);
  const acq::CaptureResult &r = bench.acq.lastCapture;
  EXPECT_EQ(r.end, acq::CaptureEnd::Stopped);
  EXPECT_LT(r.elapsed, 30.0);
  EXPECT_GT(r.bytes, 0u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("cap_1.dat")), r.bytes);
  EXPECT_TRUE(std::filesystem::exists(dir.file("conv/tempIO.txt")));
  EXPECT_EQ(bench.rt.control(m, M::DataGraph1).plots.size(), 1u);
  EXPECT_TRUE(popups.messages.empty());
  EXPECT_EQ(bench.rt.GetCtrlAttribute(m, M::AcqTimer, rt::ATTR_ENABLED), 0);
  desktop.shutDown();
}

}  // namespace
