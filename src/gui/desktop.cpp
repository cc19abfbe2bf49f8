#include "gui/desktop.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
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

namespace {

// The layout, among `layout` and the layouts nested in it, that holds `w` as its own item.
QLayout *layoutHolding(QLayout *layout, QWidget *w) {
  if (!layout) return nullptr;
  for (int k = 0; k < layout->count(); ++k) {
    QLayoutItem *item = layout->itemAt(k);
    if (item->widget() == w) return layout;
    if (QLayout *inner = layoutHolding(item->layout(), w)) return inner;
  }
  return nullptr;
}

}  // namespace

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
  asking_ = op == nullptr;
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
      // The functional test, found without scrolling to the panel's button.
      QMenu *testMenu = bar->addMenu(tr("&Test"));
      QAction *functional = testMenu->addAction(tr("&Functional test..."), this, [this] {
        view_.operatorCommit(bench_.panels.MainPanel, ctl::Main::OpenTest);
      });
      functional->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
      functional->setObjectName(QStringLiteral("FunctionalTestAction"));
      layout->setMenuBar(bar);
    }
  }
  view_.confirmCommit = [this](int panel, int control) { return confirmCommit(panel, control); };
  pump_.schedule();
}

bool Desktop::askingOperator() const { return asking_; }

// Stop and quit end a run that may have taken hours: during a run the operator is asked first.
// The question is asked before the commit, outside any callback, so the sequencer runs on while
// it is open. A script plays the operator itself and is never asked.
bool Desktop::confirmCommit(int panel, int control) {
  const ctl::Panels &p = bench_.panels;
  const bool stop = panel == p.TestCFCPanel && control == ctl::Test::Stop.id;
  const bool quit = panel == p.MainPanel && control == ctl::Main::Quit.id;
  if ((!stop && !quit) || !asking_ || !bench_.test.runOpen()) return true;
  QWidget *parent = view_.panelWidget(panel);
  QMessageBox box(QMessageBox::Warning, quit ? tr("Quit during the test?") : tr("Stop the test?"),
                  quit ? tr("A functional test is running. Quitting stops it: the run is "
                            "recorded as STOPPED and cannot be taken up again.")
                       : tr("A functional test is running. Stopping it ends the run here: it is "
                            "recorded as STOPPED and cannot be taken up again."),
                  QMessageBox::NoButton, parent);
  box.setObjectName(QStringLiteral("StopQuestion"));
  QPushButton *end =
      box.addButton(quit ? tr("Stop and quit") : tr("Stop the test"), QMessageBox::DestructiveRole);
  QPushButton *keep = box.addButton(tr("Keep testing"), QMessageBox::RejectRole);
  box.setDefaultButton(keep);
  box.setEscapeButton(keep);
  box.exec();
  return box.clickedButton() == end;
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
    // The run's buttons, verdict and progress stand above the scrolled panel: always in view.
    auto *top = new QWidget(test);
    top->setObjectName(QStringLiteral("RunBar"));
    auto *topLayout = new QHBoxLayout(top);
    topLayout->setContentsMargins(9, 6, 0, 0);
    if (auto *run = test->findChild<QWidget *>(QStringLiteral("RunGroup"))) {
      if (QWidget *parent = run->parentWidget())
        if (QLayout *l = layoutHolding(parent->layout(), run)) l->removeWidget(run);
      run->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum);
      topLayout->addWidget(run, 0, Qt::AlignTop);
    }
    runStatus_ = new RunStatusPanel(bench_.progress, bench_.htmlReport, top);
    topLayout->addWidget(runStatus_, 1);
    runStatus_->setLog(log);
    runStatus_->openHistory = [this] { openHistory(); };
    runStatus_->endWait = [this](const functest::OperatorWait &w) {
      // The wait's own control, as the operator would press it on its page.
      if (bench_.rt.busy()) return;
      if (w.control.kind == rt::Kind::Switch) {
        bench_.rt.SetCtrlVal(w.panel, w.control, 1);
        view_.flush();
      } else {
        pump_.commit(w.panel, w.control.id);
      }
    };
    runStatus_->setTitled([this](const QString &suffix) {
      for (int h : {bench_.panels.TestCFCPanel, bench_.panels.MainPanel})
        if (QWidget *w = view_.panelWidget(h))
          w->setWindowTitle(QString::fromStdString(bench_.rt.panel(h).title) + suffix);
    });
    outer->insertWidget(0, top);
  }
  markScans();
  hintWhileNoData(p.RawData);
  hintWhileNoData(p.ShowFramePanel);
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
    auto check = [this] {
      // A module lost outside a run is said as well: the acquisition has stopped and F10
      // cannot start it again.
      if (bench_.usb.ModuleLost && bench_.usb.moduleOpened) {
        noHardware_->setText(
            tr("QuickUSB module %1 stopped answering at %2 s: the acquisition has stopped and "
               "cannot start again. Check the module's USB cable and power, then restart the "
               "program.")
                .arg(QString::fromLatin1(bench_.usb.NameList))
                .arg(bench_.usb.ModuleLostAt, 0, 'f', 1));
        noHardware_->setStyleSheet(QStringLiteral(
            "QLabel { background: #f8d7da; color: #842029; font-weight: bold; padding: 4px 8px; "
            "border: 1px solid #e3a1a8; }"));
      }
      noHardware_->setVisible(bench_.usb.NbrQuickUSBConnected == 0);
    };
    check();
    connect(&hardwareCheck_, &QTimer::timeout, this, check);
    hardwareCheck_.start(500);
  }
  for (int h : {p.MainPanel, p.OptionsPanel, p.TestCFCPanel}) fitToScreen(view_.panelWidget(h));
}

// A label that was scanned with Enter and would refuse the start is marked: red, with what
// was expected and what was read under the labels; its text is selected, so the next scan
// replaces it rather than being appended. Typing into the field takes the mark away.
void Desktop::markScans() {
  const int page = bench_.panels.TabBData;
  QWidget *ident = view_.panelWidget(page)
                       ? view_.panelWidget(page)->findChild<QWidget *>(QStringLiteral("IdentGroup"))
                       : nullptr;
  auto *form = ident ? qobject_cast<QFormLayout *>(ident->layout()) : nullptr;
  if (!form) return;
  scanNote_ = new QLabel(ident);
  scanNote_->setObjectName(QStringLiteral("ScanProblem"));
  scanNote_->setWordWrap(true);
  scanNote_->setStyleSheet(QStringLiteral("QLabel { color: #b00000; font-weight: bold; }"));
  scanNote_->hide();
  // Right under the labels, where the operator looks while scanning.
  int row = -1;
  QFormLayout::ItemRole role{};
  if (QWidget *last = view_.controlWidget(page, ctl::TabBData::Otr2Barcode.id))
    form->getWidgetPosition(last, &row, &role);
  if (row >= 0)
    form->insertRow(row + 1, scanNote_);
  else
    form->addRow(scanNote_);
  for (rt::Ctl c :
       {ctl::TabBData::DeviceBarcode1, ctl::TabBData::DeviceBarcode2, ctl::TabBData::BoardBarcode,
        ctl::TabBData::Otr1Barcode, ctl::TabBData::Otr2Barcode})
    if (auto *field = qobject_cast<QLineEdit *>(view_.controlWidget(page, c.id)))
      connect(field, &QLineEdit::textEdited, this, [this, id = c.id] { markScan(id, {}); });
  bench_.shell.onScanChecked = [this](int field, const std::string &problem) {
    markScan(field, problem);
  };
}

void Desktop::markScan(int field, const std::string &problem) {
  auto *edit = qobject_cast<QLineEdit *>(view_.controlWidget(bench_.panels.TabBData, field));
  if (!edit || !scanNote_) return;
  const bool bad = !problem.empty();
  edit->setStyleSheet(bad ? QStringLiteral("QLineEdit { border: 2px solid #c00000; background: "
                                           "#fde8e8; }")
                          : QString());
  edit->setToolTip(bad ? QString::fromStdString(problem) : QString());
  if (bad) {
    scanProblems_[field] = QString::fromStdString(problem);
    // The scanner's Enter has been handled once the callback returns: the text is then ready
    // to be replaced.
    QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
  } else {
    scanProblems_.erase(field);
  }
  QStringList lines;
  for (const auto &[id, text] : scanProblems_) lines << text;
  scanNote_->setText(lines.join(QLatin1Char('\n')));
  scanNote_->setVisible(!lines.isEmpty());
}

// Raw data and frame view show nothing until the acquisition reads: they say how to start it.
void Desktop::hintWhileNoData(int panel) {
  QWidget *w = view_.panelWidget(panel);
  auto *outer = qobject_cast<QBoxLayout *>(w ? w->layout() : nullptr);
  if (!outer) return;
  auto *hint = new QLabel(
      tr("No data yet: start the acquisition on the main window (\u201cStart / Stop\u201d, or "
         "F10). This window then shows every block read."),
      w);
  hint->setObjectName(QStringLiteral("NoDataHint"));
  hint->setWordWrap(true);
  hint->setStyleSheet(QStringLiteral(
      "QLabel { background: #e7f1fb; color: #0b3d66; padding: 4px 8px; border: 1px solid "
      "#9cc3e6; }"));
  outer->insertWidget(0, hint);
  auto check = [this, hint] {
    hint->setVisible(bench_.rt.GetCtrlAttribute(bench_.panels.MainPanel, ctl::Main::AcqTimer,
                                                rt::ATTR_ENABLED) == 0);
  };
  check();
  connect(&hardwareCheck_, &QTimer::timeout, hint, check);
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
  // Long lines (the module's name and its list) wrap rather than hide their ends.
  text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
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
