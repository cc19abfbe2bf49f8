// The operator's view of a functional-test run on the test panel: a verdict banner (PASSED
// green, FAILED red with the count of failed lines, STOPPED, UNFINISHED or INCOMPLETE), cleared
// when the next run starts; while a run goes, step n of m, the step's and the run's bench time,
// the time left and a progress bar; the failed lines listed beside the banner (choosing one
// scrolls the test log to it); buttons for the results history and the run's HTML report. The
// window titles of the test panel and the main window carry the verdict too.
//
// It reads functest::Progress, which watches the run beside the results store; nothing here
// changes the run.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "functest/html_report.h"
#include "functest/progress.h"
#include "rt/runtime.h"

QT_BEGIN_NAMESPACE
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
QT_END_NAMESPACE

namespace gui {

class RunStatusPanel : public QWidget {
  Q_OBJECT

 public:
  RunStatusPanel(const functest::Progress &progress, const functest::HtmlReportSink &html,
                 QWidget *parent = nullptr);

  // The log the failed lines point into, and the windows whose titles carry the verdict
  // (with their run-time titles, which stay as they are).
  void setLog(QPlainTextEdit *log);
  void setTitled(std::function<void(const QString &suffix)> titles) { titles_ = std::move(titles); }
  std::function<void()> openHistory;
  // Ends the operator wait the run shows (presses its button, or turns its switch on).
  std::function<void(const functest::OperatorWait &)> endWait;
  // Says that no program could open the HTML report (a dialog; tests put another in its place).
  std::function<void(const QString &page)> noViewer;

  // Brings the view up to date with the run (also every quarter second by itself).
  void refresh();
  // Scrolls the log to the failed line at `row` of the list.
  void showFailed(int row);

  QLabel *banner() const { return banner_; }
  QLabel *progressText() const { return progressText_; }
  QProgressBar *bar() const { return bar_; }
  QListWidget *failedList() const { return failed_; }
  QLabel *waitText() const { return waitText_; }
  QPushButton *waitButton() const { return waitButton_; }
  QPushButton *reportButton() const { return report_; }
  // Opens the HTML report of the run that ended last; false (and the operator is told) when
  // nothing could open it.
  bool openReport();

 private:
  const functest::Progress &progress_;
  const functest::HtmlReportSink &html_;
  QLabel *banner_ = nullptr, *progressText_ = nullptr;
  QProgressBar *bar_ = nullptr;
  QListWidget *failed_ = nullptr;
  QPushButton *report_ = nullptr;
  QWidget *waitRow_ = nullptr;
  QLabel *waitText_ = nullptr;
  QPushButton *waitButton_ = nullptr;
  functest::OperatorWait wait_;
  QPointer<QPlainTextEdit> log_;
  std::function<void(const QString &)> titles_;
  QTimer tick_;
  int shownFailed_ = -1;
  QString shownVerdict_;
  std::vector<functest::FailedLine> lines_;
};

}  // namespace gui
