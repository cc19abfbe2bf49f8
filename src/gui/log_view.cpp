#include "gui/log_view.h"

#include <QAbstractScrollArea>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSyntaxHighlighter>
#include <QTextCharFormat>

namespace gui {

namespace {

class ReportHighlighter : public QSyntaxHighlighter {
 public:
  explicit ReportHighlighter(QTextDocument *doc) : QSyntaxHighlighter(doc) {
    failed_.setForeground(QColor(0xc0, 0, 0));
    failed_.setFontWeight(QFont::Bold);
    heading_.setFontWeight(QFont::Bold);
    stopped_.setFontWeight(QFont::Bold);
    stopped_.setForeground(QColor(0xb3, 0x6b, 0));
  }

 protected:
  void highlightBlock(const QString &text) override {
    if (text.startsWith(QLatin1String("***FAILED : ")))
      setFormat(0, static_cast<int>(text.size()), failed_);
    else if (text.startsWith(QLatin1String("TEST STOPPED BY THE OPERATOR")))
      setFormat(0, static_cast<int>(text.size()), stopped_);
    else if (text.contains(QLatin1String(" => Start at ")))
      setFormat(0, static_cast<int>(text.size()), heading_);
  }

 private:
  QTextCharFormat failed_, heading_, stopped_;
};

}  // namespace

void colourReportLines(QPlainTextEdit *log) {
  if (log && !log->document()->findChild<ReportHighlighter *>())
    new ReportHighlighter(log->document());
}

void followNewLines(QAbstractScrollArea *box) {
  if (!box) return;
  QScrollBar *bar = box->verticalScrollBar();
  // Whether the box follows: true at the start, then wherever the operator left it.
  auto *follow = new bool(true);
  QObject::connect(bar, &QObject::destroyed, [follow] { delete follow; });
  QObject::connect(bar, &QScrollBar::valueChanged, bar,
                   [bar, follow](int value) { *follow = value >= bar->maximum(); });
  QObject::connect(bar, &QScrollBar::rangeChanged, bar, [bar, follow](int, int max) {
    if (*follow) bar->setValue(max);
  });
}

}  // namespace gui
