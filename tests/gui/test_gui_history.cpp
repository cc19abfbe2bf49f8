// The history page of the desktop program: bench runs of the good board and three defect boards
// fill a results store; Ctrl+H opens the page, whose table lists the runs with their verdicts
// and failed lines, whose filters (dates too) narrow it, whose rows open their reports, and whose
// chart places each run by its start: a check's value with its limits, or a status bit as passed
// or failed. The page is saved as a PNG (into $TESSOCK_SHOT_DIR as well when it is set, to be
// looked at).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QDir>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "gui/desktop.h"
#include "history/store.h"
#include "rt/format.h"
#include "support/functest_rig.h"
#include "support/pg_cluster.h"
#include "test_popups.h"

namespace {

namespace B = ctl::TabBData;
namespace fs = std::filesystem;
using testenv::FunctionalRig;

// Waits for the store's answers (asked on the page's worker), never longer than 10 s.
void settle(gui::HistoryWindow *page) {
  for (int k = 0; k < 1000 && page->loading(); ++k) QTest::qWait(10);
  EXPECT_FALSE(page->loading());
}

// One finished bench run of the status steps and the HV levels; the path of its report.
std::string statusRun(FunctionalRig &r) {
  r.scanBarcodes();
  r.enableOnly({B::EnableTempOtrDac, B::EnablePowerSupplies, B::EnableHvLevels});
  r.startBench();
  EXPECT_TRUE(r.runToEnd(400.0));
  return r.test().report.ReportFileName;
}

TEST(DesktopHistory, PageListsTheRunsOpensTheirReportsAndChartsACheck) {
  ASSERT_TRUE(fs::exists(testenv::simLibrary())) << testenv::simLibrary();
  testenv::TempDir dir;
  const std::string db = dir.file("results.sqlite");
  // The rigs stay, and with them the folders their reports are in.
  std::vector<std::unique_ptr<FunctionalRig>> rigs;
  std::vector<std::string> reports;
  std::vector<int> failedLines;
  for (const char *board : {"good", "temp1_down", "otr2_down", "m5v_monitor_stuck"}) {
    rigs.push_back(std::make_unique<FunctionalRig>(board, 60.0, db));
    rigs.back()->test().report.setStation(rigs.size() == 1 ? "bench-1" : "bench-2");
    reports.push_back(statusRun(*rigs.back()));
    failedLines.push_back(static_cast<int>(rigs.back()->failedChecks().size()));
  }
  EXPECT_EQ(failedLines[0], 0);

  app::BenchOptions o;
  o.uiDir = testenv::uiDir();
  o.quickusbLib = testenv::simLibrary();
  o.settingsPath = dir.file("Corvath.ini");
  o.conversionFile = dir.file("conv/tempIO.txt");
  o.resultsDb = db;
  gui::Desktop desktop(o);
  desktop.start();
  acqtest::Popups popups;
  desktop.setOperator(&popups);

  // Ctrl+H in the main window opens the page.
  QWidget *main = desktop.view().panelWidget(desktop.view().mainPanel());
  ASSERT_NE(main, nullptr);
  main->show();
  main->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(main));
  QTest::keyClick(main, Qt::Key_H, Qt::ControlModifier);
  gui::HistoryWindow *page = desktop.historyWindow();
  ASSERT_NE(page, nullptr);
  settle(page);
  EXPECT_TRUE(page->isVisible());

  // The runs in the order of their starts (the rigs' virtual clocks all start at the same
  // time: the order of their ids then).
  QTableWidget *table = page->table();
  ASSERT_EQ(table->rowCount(), 4) << page->status().toStdString();
  EXPECT_EQ(page->status(), "4 runs");
  for (int row = 0; row < 4; ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(table->item(row, 0)->text(), "317");
    EXPECT_EQ(table->item(row, 2)->text(), row == 0 ? "bench-1" : "bench-2");
    EXPECT_EQ(table->item(row, 3)->text(), "bench");
    // The status steps alone: a partial run, its PASSED says of how many steps.
    EXPECT_EQ(table->item(row, 4)->text(), row == 0 ? "PASSED – 3 of 15 steps" : "FAILED");
    EXPECT_EQ(table->item(row, 5)->text(), QString::number(failedLines[row]));
    EXPECT_EQ(failedLines[row] > 0, row > 0);
    EXPECT_EQ(table->item(row, 1)->text().size(), 19);
  }

  // The station and the board filter the runs.
  page->stationFilter()->setText("bench-2");
  page->boardFilter()->setText("BRD-0000000000000317");
  page->refresh();
  // The store answers on the page's worker: until its answer is handled here, the page says so.
  EXPECT_EQ(page->status(), "loading…");
  settle(page);
  EXPECT_EQ(table->rowCount(), 3);
  page->boardFilter()->setText("BRD-0000000000000316");
  page->refresh();
  settle(page);
  EXPECT_EQ(table->rowCount(), 0);
  page->stationFilter()->clear();
  page->boardFilter()->clear();
  page->refresh();
  settle(page);
  ASSERT_EQ(table->rowCount(), 4);

  // A row opens its report; a report that has gone is said with its path.
  std::vector<QUrl> opened;
  std::vector<QString> told;
  page->openUrl = [&](const QUrl &url) {
    opened.push_back(url);
    return true;
  };
  page->tell = [&](const QString &title, const QString &text) { told.push_back(title + text); };
  table->setCurrentCell(1, 0);
  table->setFocus();
  QTest::keyClick(table, Qt::Key_Return);
  ASSERT_EQ(opened.size(), 1u);
  // The run's HTML page, made from its record.
  EXPECT_EQ(fs::path(opened[0].toLocalFile().toStdString()),
            fs::absolute(fs::path(reports[1]).replace_extension(".html")));
  fs::remove(reports[2]);
  EXPECT_FALSE(page->openReport(2));
  ASSERT_EQ(told.size(), 1u);
  EXPECT_TRUE(told[0].contains(QString::fromStdString(reports[2]))) << told[0].toStdString();
  EXPECT_EQ(opened.size(), 1u);

  // The chart of the first temperature's status bit: each run passed or failed, placed at its
  // start; only the defect board of that temperature failed it.
  QComboBox *checks = page->checkBox();
  const int temp1 = checks->findText("TEMP_1", Qt::MatchContains);
  ASSERT_GE(temp1, 0);
  page->chooseCheck(checks->itemText(temp1));
  settle(page);
  EXPECT_TRUE(page->chartIsPassFail());
  EXPECT_EQ(page->valueSeries(), nullptr);
  ASSERT_NE(page->passedSeries(), nullptr);
  ASSERT_NE(page->failedSeries(), nullptr);
  ASSERT_EQ(page->passedSeries()->count(), 3);
  ASSERT_EQ(page->failedSeries()->count(), 1);
  EXPECT_EQ(page->failedSeries()->at(0).y(), 0);
  for (const QPointF &p : page->passedSeries()->points()) EXPECT_EQ(p.y(), 1);
  const QDateTime started = QDateTime::fromString(table->item(1, 1)->text(), "yyyy-MM-dd hh:mm:ss");
  ASSERT_TRUE(started.isValid());
  EXPECT_EQ(static_cast<qint64>(page->failedSeries()->at(0).x()) / 1000,
            started.toSecsSinceEpoch());

  // A measured check: its value in each run, with a high limit that is one level across.
  const int hv = checks->findText("HVPresentUp", Qt::MatchContains);
  ASSERT_GE(hv, 0) << "no HV level among the checks";
  page->chooseCheck(checks->itemText(hv));
  settle(page);
  EXPECT_FALSE(page->chartIsPassFail());
  ASSERT_NE(page->valueSeries(), nullptr);
  EXPECT_EQ(page->valueSeries()->count(), 4);
  EXPECT_EQ(page->passedSeries()->count() + page->failedSeries()->count(), 4);
  EXPECT_EQ(page->lowSeries(), nullptr);
  ASSERT_NE(page->highSeries(), nullptr);
  const double high = page->highSeries()->at(0).y();
  for (const QPointF &p : page->highSeries()->points()) EXPECT_EQ(p.y(), high);
  for (const QPointF &p : page->valueSeries()->points()) EXPECT_LE(p.y(), high);
  page->chooseCheck(checks->itemText(temp1));
  settle(page);

  // The first-pass yield by station: the one board passed its first run on bench-1, failed its
  // first of three on bench-2.
  page->yieldGrouping()->setCurrentText("station");
  settle(page);
  // The runs had a few of their steps on: counted only once asked for.
  EXPECT_TRUE(page->yieldGroups().isEmpty());
  page->yieldPartialRuns()->setChecked(true);
  settle(page);
  EXPECT_EQ(page->yieldGroups(), QStringList({"bench-1 (1)", "bench-2 (1)"}));
  ASSERT_NE(page->yieldSeries(), nullptr);
  QBarSet *yield = page->yieldSeries()->barSets().at(0);
  ASSERT_EQ(yield->count(), 2);
  EXPECT_EQ(yield->at(0), 100);
  EXPECT_EQ(yield->at(1), 0);

  // The page as the operator sees it.
  QCoreApplication::processEvents();
  const QString png = QString::fromStdString(dir.file("history.png"));
  ASSERT_TRUE(page->grab().save(png, "PNG"));
  EXPECT_GT(fs::file_size(png.toStdString()), 10000u);
  if (const char *shots = std::getenv("TESSOCK_SHOT_DIR")) {
    QDir().mkpath(shots);
    page->grab().save(QString(shots) + "/history.png", "PNG");
    page->charts()->setCurrentIndex(1);
    page->grab().save(QString(shots) + "/history_yield.png", "PNG");
    page->charts()->setCurrentIndex(0);
  }

  // The filters: the chosen check stays chosen while its runs are shown.
  page->verdictFilter()->setCurrentText("FAILED");
  settle(page);
  EXPECT_EQ(table->rowCount(), 3);
  EXPECT_EQ(page->checkBox()->currentIndex(), temp1);
  EXPECT_EQ(page->passedSeries()->count(), 2);
  EXPECT_EQ(page->failedSeries()->count(), 1);
  page->verdictFilter()->setCurrentIndex(0);
  settle(page);
  page->checkFilter()->setText("TEMP_1");
  page->refresh();
  settle(page);
  EXPECT_EQ(table->rowCount(), 4);
  page->cardFilter()->setText("316");
  page->refresh();
  settle(page);
  EXPECT_EQ(table->rowCount(), 0);
  EXPECT_EQ(page->valueSeries(), nullptr);
  page->cardFilter()->setText("31x");
  page->refresh();
  settle(page);
  EXPECT_EQ(table->rowCount(), 0);
  EXPECT_TRUE(page->status().contains("31x")) << page->status().toStdString();
  page->cardFilter()->setText("317");
  page->refresh();
  settle(page);
  EXPECT_EQ(table->rowCount(), 4);

  // The dates: the day of the runs holds them all, the day after and the day before none; the
  // lowest date is no bound.
  const QDate day = started.date();
  page->fromFilter()->setDate(day);
  settle(page);
  page->toFilter()->setDate(day);
  settle(page);
  EXPECT_EQ(table->rowCount(), 4);
  page->fromFilter()->setDate(day.addDays(1));
  settle(page);
  EXPECT_EQ(table->rowCount(), 0);
  page->fromFilter()->setDate(page->fromFilter()->minimumDate());
  settle(page);
  EXPECT_EQ(page->fromFilter()->text(), "any");
  page->toFilter()->setDate(day.addDays(-1));
  settle(page);
  EXPECT_EQ(table->rowCount(), 0);
  page->toFilter()->setDate(page->toFilter()->minimumDate());
  settle(page);
  EXPECT_EQ(table->rowCount(), 4);

  EXPECT_TRUE(popups.messages.empty());
  desktop.shutDown();
}

// A server that takes the connection and never answers: the page says "loading…" and its window
// goes on handling its events (a timer ticks) for as long as the question is out; the answer,
// the server's silence given up on, arrives as the store's error. The window closes with
// questions still out, without waiting for its worker, and while a filter has the focus. (How late
// the window's events run while a large store answers is measured by bench/bench_history_page.)
TEST(DesktopHistory, WindowKeepsHandlingEventsWhileTheStoreDoesNotAnswer) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(listener, 16), 0);  // the kernel takes the connections; nobody answers
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&at), &size), 0);
  history::Store store(rt::format("postgresql://tessock@127.0.0.1:%d/results?connect_timeout=2",
                                  ntohs(at.sin_port)));
  {
    gui::HistoryWindow page(store);
    page.show();
    page.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
    int ticks = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] { ++ticks; });
    probe.start(10);
    page.refresh();
    EXPECT_EQ(page.status(), "loading…");
    QTest::qWait(200);
    EXPECT_TRUE(page.loading());
    EXPECT_GT(ticks, 0);
    // The runs' answer first: the server given up on (its other questions are still out).
    for (int k = 0; k < 1000 && page.status() == "loading…"; ++k) QTest::qWait(10);
    EXPECT_TRUE(page.status().contains("127.0.0.1")) << page.status().toStdString();
    // The check filter, changed, keeps the focus until the window goes: its end of editing then
    // reaches no page being destroyed.
    page.checkFilter()->setFocus();
    page.checkFilter()->setText("TEMP_1");
    page.refresh();
    EXPECT_TRUE(page.loading());
    page.checkFilter()->setText("TEMP_2");
    EXPECT_TRUE(page.checkFilter()->hasFocus());
  }
  ::close(listener);
}

// A lab's server restarted while the page is open (every connection ended): the page says the
// store cannot be reached while the server is down, and answers again once it is back, without
// a restart of the program.
TEST(DesktopHistory, PageAnswersAgainAfterItsServerRestarted) {
  ASSERT_TRUE(fs::exists(testenv::simLibrary())) << testenv::simLibrary();
  testenv::PgCluster server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(server.createDatabase("lab")) << server.error();
  const std::string db = server.location("lab");
  {
    // Set up as a lab's administrator does: a bench does not make a server's store.
    std::vector<std::string> said;
    std::string error;
    history::Store admin(db);
    ASSERT_TRUE(admin.setUp(said, error)) << error;
  }
  testenv::TempDir dir;
  FunctionalRig rig("good", 60.0, db);
  statusRun(rig);

  app::BenchOptions o;
  o.uiDir = testenv::uiDir();
  o.quickusbLib = testenv::simLibrary();
  o.settingsPath = dir.file("Corvath.ini");
  o.conversionFile = dir.file("conv/tempIO.txt");
  o.resultsDb = db;
  gui::Desktop desktop(o);
  desktop.start();
  acqtest::Popups popups;
  desktop.setOperator(&popups);
  gui::HistoryWindow &page = desktop.openHistory();
  settle(&page);
  ASSERT_EQ(page.table()->rowCount(), 1) << page.status().toStdString();
  EXPECT_EQ(page.status(), "1 run");

  // The server goes: the page says that its store cannot be reached (and names it).
  ASSERT_TRUE(server.halt()) << server.error();
  page.refresh();
  settle(&page);
  EXPECT_EQ(page.table()->rowCount(), 0);
  EXPECT_TRUE(page.status().contains("lab?host=")) << page.status().toStdString();
  // Back: the next question is answered.
  ASSERT_TRUE(server.restart()) << server.error();
  page.refresh();
  settle(&page);
  EXPECT_EQ(page.status(), "1 run");
  ASSERT_EQ(page.table()->rowCount(), 1);
  EXPECT_TRUE(page.table()->item(0, 4)->text().startsWith("PASSED"));
  // Restarted between two questions (every connection of the program ended): answered too.
  ASSERT_TRUE(server.halt() && server.restart()) << server.error();
  page.refresh();
  settle(&page);
  EXPECT_EQ(page.status(), "1 run");
  desktop.shutDown();
}

}  // namespace
