#include "gui/run_status.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QUrl>
#include <QVBoxLayout>

namespace gui {

namespace {

// Banner colours: text on background.
struct Look {
  const char *background, *text;
};

Look lookOf(const QString &verdict) {
  if (verdict == QLatin1String("PASSED")) return {"#1a7f1a", "#ffffff"};
  if (verdict == QLatin1String("FAILED")) return {"#c00000", "#ffffff"};
  if (verdict == QLatin1String("STOPPED")) return {"#b36b00", "#ffffff"};
  if (verdict.isEmpty()) return {"#d8dde3", "#202020"};
  return {"#606060", "#ffffff"};  // UNFINISHED, INCOMPLETE
}

QString clockText(double seconds) { return QString::fromStdString(functest::ClockText(seconds)); }

}  // namespace

RunStatusPanel::RunStatusPanel(const functest::Progress &progress,
                               const functest::HtmlReportSink &html, QWidget *parent)
    : QWidget(parent), progress_(progress), html_(html) {
  setObjectName(QStringLiteral("RunStatus"));
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
  auto *layout = new QHBoxLayout(this);
  layout->setContentsMargins(9, 6, 9, 0);

  auto *left = new QVBoxLayout;
  banner_ = new QLabel(this);
  banner_->setObjectName(QStringLiteral("VerdictBanner"));
  banner_->setAlignment(Qt::AlignCenter);
  banner_->setMinimumSize(300, 44);
  banner_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  QFont big = banner_->font();
  big.setPointSize(big.pointSize() + 9);
  big.setBold(true);
  banner_->setFont(big);
  left->addWidget(banner_);
  progressText_ = new QLabel(this);
  progressText_->setObjectName(QStringLiteral("ProgressText"));
  progressText_->setTextFormat(Qt::PlainText);
  progressText_->setWordWrap(true);
  // The progress text with the two buttons beside it, then the bar: the panel keeps its
  // height for the test itself (the whole test panel fits a 1920x1080 screen).
  auto *buttons = new QHBoxLayout;
  buttons->addWidget(progressText_, 1);
  auto *history = new QPushButton(tr("Results history..."), this);
  history->setObjectName(QStringLiteral("HistoryButton"));
  connect(history, &QPushButton::clicked, this, [this] {
    if (openHistory) openHistory();
  });
  report_ = new QPushButton(tr("HTML report"), this);
  report_->setObjectName(QStringLiteral("HtmlReportButton"));
  report_->setToolTip(tr("Open the HTML report of the run that ended last"));
  connect(report_, &QPushButton::clicked, this, [this] { openReport(); });
  buttons->addWidget(history, 0, Qt::AlignBottom);
  buttons->addWidget(report_, 0, Qt::AlignBottom);
  left->addLayout(buttons);
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("ProgressBar"));
  bar_->setRange(0, 1000);
  bar_->setTextVisible(false);
  bar_->setMaximumHeight(14);
  left->addWidget(bar_);
  // A wait on the operator, in words, with the button that ends it.
  waitRow_ = new QWidget(this);
  waitRow_->setObjectName(QStringLiteral("OperatorWait"));
  waitRow_->setStyleSheet(QStringLiteral(
      "#OperatorWait { background: #fff3cd; border: 1px solid #e0c36a; border-radius: 4px; }"));
  auto *waitLayout = new QHBoxLayout(waitRow_);
  waitLayout->setContentsMargins(8, 4, 4, 4);
  waitText_ = new QLabel(waitRow_);
  waitText_->setObjectName(QStringLiteral("OperatorWaitText"));
  waitText_->setWordWrap(true);
  waitText_->setStyleSheet(QStringLiteral("QLabel { color: #6b4e00; font-weight: bold; }"));
  waitLayout->addWidget(waitText_, 1);
  waitButton_ = new QPushButton(waitRow_);
  waitButton_->setObjectName(QStringLiteral("OperatorWaitButton"));
  connect(waitButton_, &QPushButton::clicked, this, [this] {
    if (endWait && !wait_.text.empty()) endWait(wait_);
  });
  waitLayout->addWidget(waitButton_, 0, Qt::AlignVCenter);
  waitRow_->hide();
  left->addWidget(waitRow_);
  layout->addLayout(left, 3);

  failed_ = new QListWidget(this);
  failed_->setObjectName(QStringLiteral("FailedLines"));
  failed_->setToolTip(tr("Failed lines of the run: choose one to find it in the test log"));
  failed_->setMaximumHeight(110);
  failed_->hide();  // shown once a line has failed
  failed_->setStyleSheet(QStringLiteral("QListWidget { color: #b00000; }"));
  connect(failed_, &QListWidget::currentRowChanged, this, &RunStatusPanel::showFailed);
  layout->addWidget(failed_, 4);

  connect(&tick_, &QTimer::timeout, this, &RunStatusPanel::refresh);
  tick_.start(250);
  refresh();
}

void RunStatusPanel::refresh() {
  const functest::ProgressSnapshot p = progress_.snapshot();
  QString verdict, banner;
  const QString failedLines =
      p.failedCount == 1 ? tr("1 failed line") : tr("%1 failed lines").arg(p.failedCount);
  if (p.ended) {
    verdict = QString::fromStdString(p.verdict.empty() ? "UNFINISHED" : p.verdict);
    banner = p.verdict.empty() ? verdict : QString::fromStdString(p.shownVerdict);
    if (p.failedCount > 0) banner += QStringLiteral(" \u2013 ") + failedLines;
  } else if (p.active) {
    banner = tr("RUNNING");
    if (p.failedCount > 0) banner += QStringLiteral(" \u2013 ") + failedLines + tr(" so far");
  } else if (!p.refused.empty()) {
    verdict = tr("NOT STARTED");
    banner = verdict;
  } else {
    banner = tr("No run yet");
  }
  const Look look = lookOf(p.active ? QString() : verdict);
  banner_->setText(banner);
  banner_->setStyleSheet(QStringLiteral("QLabel { background: %1; color: %2; border-radius: 4px; "
                                        "padding: 4px 12px; }")
                             .arg(QLatin1String(look.background), QLatin1String(look.text)));

  if (p.active || p.ended) {
    QString text =
        p.step > 0
            ? tr("Step %1 of %2: %3").arg(p.step).arg(p.steps).arg(QString::fromStdString(p.title))
            : tr("Starting (%1 steps switched on)").arg(p.steps);
    text += tr("\nstep %1   run %2").arg(clockText(p.stepElapsed), clockText(p.runElapsed));
    if (p.active && !p.wait.text.empty())
      // The estimates cannot know when the operator acts: the wait is counted apart.
      text += tr("   left ~%1 after your wait (waiting %2)")
                  .arg(clockText(p.left), clockText(p.wait.seconds));
    else if (p.active)
      text += tr("   left ~%1 (%2)")
                  .arg(clockText(p.left),
                       p.leftFromHistory ? tr("from earlier runs") : tr("typical durations"));
    if (!p.stepsNotRun.empty()) {
      QStringList off;
      for (const std::string &t : p.stepsNotRun) off << QString::fromStdString(t);
      text += tr("\nNot run (switched off): %1").arg(off.join(QStringLiteral(", ")));
    }
    progressText_->setText(text);
  } else if (!p.refused.empty()) {
    progressText_->setText(tr("The run did not start: %1\nFix what the message said, then press "
                              "the start again.")
                               .arg(QString::fromStdString(p.refused)));
  } else {
    progressText_->setText(tr("Step -\n"));
  }
  bar_->setValue(static_cast<int>(p.fraction * 1000 + 0.5));
  wait_ = p.wait;
  waitRow_->setVisible(!wait_.text.empty());
  if (!wait_.text.empty()) {
    waitText_->setText(QString::fromStdString(wait_.text));
    waitButton_->setText(QString::fromStdString(wait_.button));
  }
  report_->setEnabled(!html_.lastPage().empty() && !p.active);
  report_->setToolTip(html_.lastPage().empty()
                          ? tr("Open the HTML report of the run that ended last")
                          : QFileInfo(QString::fromStdString(html_.lastPage())).absoluteFilePath());

  // The failed list changes only when a line is added or a run starts.
  if (static_cast<int>(p.failed.size()) != shownFailed_) {
    QSignalBlocker block(failed_);
    if (static_cast<int>(p.failed.size()) < shownFailed_ || shownFailed_ < 0) failed_->clear();
    for (size_t k = static_cast<size_t>(failed_->count()); k < p.failed.size(); ++k) {
      const QString line = QString::fromStdString(p.failed[k].step + ": " + p.failed[k].text);
      failed_->addItem(line);
      failed_->item(failed_->count() - 1)->setToolTip(line);  // the whole line when cut short
    }
    shownFailed_ = static_cast<int>(p.failed.size());
    lines_ = p.failed;
    failed_->setVisible(!lines_.empty());
  }
  const QString title = p.active ? tr("RUNNING %1/%2").arg(p.step).arg(p.steps) : verdict;
  if (title != shownVerdict_) {
    shownVerdict_ = title;
    if (titles_) titles_(title.isEmpty() ? QString() : QStringLiteral(" - ") + title);
  }
}

void RunStatusPanel::setLog(QPlainTextEdit *log) { log_ = log; }

bool RunStatusPanel::openReport() {
  const QString page = QString::fromStdString(html_.lastPage());
  if (page.isEmpty()) return false;
  // An absolute file URL: a relative one opens nothing, or the wrong file.
  const QString whole = QFileInfo(page).absoluteFilePath();
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(whole))) return true;
  if (noViewer)
    noViewer(whole);
  else
    QMessageBox::information(
        this, tr("HTML report"),
        tr("No program could open the HTML report. Open it in a web browser:\n\n%1").arg(whole));
  return false;
}

void RunStatusPanel::showFailed(int row) {
  if (!log_ || row < 0 || row >= static_cast<int>(lines_.size())) return;
  const functest::FailedLine &failed = lines_[static_cast<size_t>(row)];
  QTextBlock block = log_->document()->findBlockByNumber(failed.logLine);
  if (!block.isValid()) return;
  // A line of the log that holds a line break (the report's date ends with one) is two blocks
  // of the box: the failed line is at its number or after it, where its text is.
  const QString text = QString::fromStdString(failed.text);
  for (QTextBlock b = block; b.isValid(); b = b.next())
    if (b.text() == text) {
      block = b;
      break;
    }
  QTextCursor cursor(block);
  cursor.select(QTextCursor::LineUnderCursor);
  log_->setTextCursor(cursor);
  log_->centerCursor();
}

}  // namespace gui
