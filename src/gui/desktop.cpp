#include "gui/desktop.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImageWriter>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>

#include "app/probe.h"
#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "gui/log_view.h"
#include "gui/window_fit.h"
#include "rt/input_file.h"

namespace gui {

Desktop::Desktop(const app::BenchOptions &options, QObject *parent)
    : QObject(parent),
      bench_(clock_, options),
      pump_(bench_.rt),
      view_(bench_.rt, pump_),
      dialogs_([this] { return view_.panelWidget(view_.mainPanel()); }, [this] { view_.flush(); }),
      capture_([this] { return view_.panelWidget(view_.mainPanel()); }) {
  bench_.rt.setOperator(&dialogs_);
  bench_.acq.captureMonitor = &capture_;
  connect(&view_, &PanelView::quit, this, &Desktop::quit);
}

Desktop::~Desktop() { shutDown(); }

void Desktop::setOperator(rt::Operator *op) {
  bench_.rt.setOperator(op ? op : &dialogs_);
  bench_.acq.captureMonitor = op ? nullptr : &capture_;
}

void Desktop::start() {
  bench_.StartUp();
  started_ = true;
  view_.loadNewPanels();
  attachOperatorView();
  view_.flush();
  if (QWidget *main = view_.panelWidget(view_.mainPanel())) {
    auto *key = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), main);
    key->setContext(Qt::ApplicationShortcut);
    connect(key, &QShortcut::activated, this, [this] { openHistory(); });
    // The main window's Bench menu: the bench check and the history page.
    if (QLayout *layout = main->layout()) {
      auto *bar = new QMenuBar(main);
      QMenu *menu = bar->addMenu(tr("&Bench"));
      QAction *check = menu->addAction(tr("Bench &check..."), this, [this] { benchCheck(); });
      check->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
      check->setObjectName(QStringLiteral("BenchCheckAction"));
      // Ctrl+H is the application-wide key above; the menu only shows it.
      menu->addAction(tr("Results &history...\tCtrl+H"), this, [this] { openHistory(); });
      layout->setMenuBar(bar);
    }
  }
  pump_.schedule();
}

// What the desktop adds to the panels for the operator: windows that scroll on small screens,
// the run's verdict and progress on the test panel, a test log in colour that follows the run,
// and a plain word on the main window when its data are not from a board.
void Desktop::attachOperatorView() {
  const ctl::Panels &p = bench_.panels;
  for (int h : {p.MainPanel, p.OptionsPanel, p.TestCFCPanel})
    scrollPanelContent(view_.panelWidget(h));
  auto *log =
      qobject_cast<QPlainTextEdit *>(view_.controlWidget(p.TestCFCPanel, ctl::Test::LogBox.id));
  // The test log stands beside the scrolled panel at the window's height, so that its newest
  // line is in sight on any screen.
  if (QWidget *test = view_.panelWidget(p.TestCFCPanel); test && log)
    besideScrollArea(test, test->findChild<QWidget *>(QStringLiteral("LogGroup")),
                     log->fontMetrics().horizontalAdvance(QString(72, QLatin1Char('0'))) + 60);
  // Report lines longer than the log is wide wrap rather than hide their ends (verdicts, limits)
  // behind a sideways scroll.
  if (log) log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  colourReportLines(log);
  followNewLines(log);
  followNewLines(
      qobject_cast<QAbstractScrollArea *>(view_.controlWidget(p.MainPanel, ctl::Main::InfoBox.id)));

  QWidget *test = view_.panelWidget(p.TestCFCPanel);
  if (auto *outer = qobject_cast<QBoxLayout *>(test ? test->layout() : nullptr)) {
    runStatus_ = new RunStatusPanel(bench_.progress, bench_.htmlReport, test);
    runStatus_->setLog(log);
    runStatus_->openHistory = [this] { openHistory(); };
    runStatus_->setTitled([this](const QString &suffix) {
      for (int h : {bench_.panels.TestCFCPanel, bench_.panels.MainPanel})
        if (QWidget *w = view_.panelWidget(h))
          w->setWindowTitle(QString::fromStdString(bench_.rt.panel(h).title) + suffix);
    });
    outer->insertWidget(0, runStatus_);
  }
  QWidget *main = view_.panelWidget(p.MainPanel);
  if (auto *outer = qobject_cast<QBoxLayout *>(main ? main->layout() : nullptr)) {
    auto *notice = new QLabel(
        tr("No QuickUSB module: the values shown are pseudo-random demo data, not read from a "
           "board."),
        main);
    notice->setObjectName(QStringLiteral("NoHardwareNotice"));
    notice->setStyleSheet(QStringLiteral(
        "QLabel { background: #fff3cd; color: #6b4e00; font-weight: bold; padding: 4px 8px; "
        "border: 1px solid #e0c36a; }"));
    outer->insertWidget(0, notice);
    noHardware_ = notice;
    auto check = [this] { noHardware_->setVisible(bench_.usb.NbrQuickUSBConnected == 0); };
    check();
    connect(&hardwareCheck_, &QTimer::timeout, this, check);
    hardwareCheck_.start(500);
  }
  for (int h : {p.MainPanel, p.OptionsPanel, p.TestCFCPanel}) fitToScreen(view_.panelWidget(h));
}

HistoryWindow &Desktop::openHistory() {
  if (!history_) history_ = std::make_unique<HistoryWindow>(bench_.results);
  history_->refresh();
  history_->show();
  history_->raise();
  history_->activateWindow();
  return *history_;
}

QDialog *Desktop::benchCheck() {
  QWidget *main = view_.panelWidget(view_.mainPanel());
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const app::ProbeResult result = app::RunProbe(bench_);
  QApplication::restoreOverrideCursor();
  view_.flush();
  auto *dialog = new QDialog(main);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setObjectName(QStringLiteral("BenchCheckDialog"));
  dialog->setWindowTitle(result.usable() ? tr("Bench check: OK") : tr("Bench check: FAULT"));
  auto *layout = new QVBoxLayout(dialog);
  auto *text = new QPlainTextEdit(QString::fromStdString(result.text()), dialog);
  text->setObjectName(QStringLiteral("BenchCheckText"));
  text->setReadOnly(true);
  text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text->setLineWrapMode(QPlainTextEdit::NoWrap);
  text->setMinimumSize(640, 280);
  layout->addWidget(text);
  auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
  layout->addWidget(buttons);
  dialog->show();
  return dialog;
}

void Desktop::shutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (started_) {
    try {
      bench_.ShutDown();
    } catch (const std::exception &) {
    }
  }
  if (history_) history_->close();
  view_.closeAll();
}

bool DesktopScriptHost::runFor(double seconds, const std::function<bool()> &done) {
  rt::Runtime &rt = desktop_.rt();
  auto holds = [&] { return done && done(); };
  if (holds()) return true;
  if (rt.quitRequested()) return false;
  QEventLoop loop;
  QTimer deadline;
  deadline.setSingleShot(true);
  deadline.setTimerType(Qt::PreciseTimer);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  bool met = false;
  // `done` is looked at after every callback, as in the headless program.
  auto conn = QObject::connect(&desktop_.pump(), &EventPump::dispatched, &loop, [&] {
    if (rt.quitRequested() || holds()) {
      met = holds();
      loop.quit();
    }
  });
  auto quitConn = QObject::connect(&desktop_, &Desktop::quit, &loop, &QEventLoop::quit);
  double ms = std::max(0.0, seconds) * 1000.0;
  deadline.start(static_cast<int>(std::min(std::ceil(ms), 2.0e9)));
  desktop_.pump().schedule();
  loop.exec();
  QObject::disconnect(conn);
  QObject::disconnect(quitConn);
  return met || holds();
}

bool DesktopScriptHost::screenshot(int panel, const std::string &path, std::string &error) {
  PanelView &view = desktop_.view();
  view.flush();
  QWidget *w = view.panelWidget(panel);
  if (!w) {
    error = "no window for panel " + std::to_string(panel);
    return false;
  }
  // Let layouts and the charts' scenes settle before the window is drawn.
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  // A tab page that is not the current one has not been laid out in its window yet: it gets
  // the size of the page that is.
  if (!w->isWindow() && !w->isVisible() && w->parentWidget()) w->resize(w->parentWidget()->size());
  if (!w->isVisible()) {
    w->ensurePolished();
    if (w->layout()) w->layout()->activate();
  }
  // A picture replaces only a regular file: opening a named pipe for writing would wait for a
  // reader, and a device is no place for it.
  if (const rt::PathCheck there = rt::checkPath(path); there.exists && !there.problem.empty()) {
    error = "cannot write " + path + ": " + there.problem;
    return false;
  }
  QPixmap shot = w->grab();
  QString file = QString::fromStdString(path);
  QFileInfo info(file);
  if (!info.absoluteDir().exists()) QDir().mkpath(info.absolutePath());
  if (shot.isNull() || !shot.save(file, "PNG")) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace gui
