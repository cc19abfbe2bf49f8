#include "gui/history_window.h"

#include <QBoxLayout>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QDesktopServices>
#include <QEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPen>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <set>

#include "functest/html_report.h"
#include "functest/report.h"

namespace gui {

namespace {

enum Column {
  CardColumn,
  StartColumn,
  StationColumn,
  VariantColumn,
  VerdictColumn,
  FailedColumn,
  Columns
};

QTableWidgetItem *cell(const QString &text, Qt::Alignment align = Qt::AlignLeft) {
  auto *item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  item->setTextAlignment(align | Qt::AlignVCenter);
  return item;
}

// "2026-12-07T10:13:53.120+01:00" as "2026-12-07 10:13:53": the run's local start to the second.
QString startText(const std::string &start) {
  QString s = QString::fromStdString(start.substr(0, 19));
  if (s.size() > 10 && s[10] == 'T') s[10] = ' ';
  return s;
}

// A date filter: a calendar pop-up, and "any" at its lowest date, which stands for no bound.
QDateEdit *dateFilter(QObject *calendarWatcher) {
  auto *d = new QDateEdit();
  d->setCalendarPopup(true);
  d->setDisplayFormat("yyyy-MM-dd");
  d->setMinimumDate(QDate(2000, 1, 1));
  d->setSpecialValueText(QObject::tr("any"));
  d->setDate(d->minimumDate());
  d->calendarWidget()->installEventFilter(calendarWatcher);
  return d;
}

std::string dateText(const QDateEdit *d) {
  return d->date() == d->minimumDate() ? std::string()
                                       : d->date().toString("yyyy-MM-dd").toStdString();
}

QScatterSeries *verdictSeries(const QString &name, const QColor &color) {
  auto *s = new QScatterSeries();
  s->setName(name);
  s->setColor(color);
  s->setBorderColor(color.darker(140));
  s->setMarkerSize(9);
  return s;
}

QLineSeries *limitSeries(const QString &name, const QColor &color) {
  auto *s = new QLineSeries();
  s->setName(name);
  QPen pen(color);
  pen.setStyle(Qt::DashLine);
  pen.setWidthF(1.5);
  s->setPen(pen);
  return s;
}

}  // namespace

HistoryWindow::HistoryWindow(history::Store &store, QWidget *parent)
    : QWidget(parent, Qt::Window), worker_(std::make_unique<StoreWorker>(store.location(), this)) {
  setWindowTitle(tr("Tessock - results history"));
  openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
  tell = [this](const QString &title, const QString &text) {
    QMessageBox::warning(this, title, text);
  };

  card_ = new QLineEdit();
  card_->setPlaceholderText(tr("any"));
  card_->setMaximumWidth(90);
  verdict_ = new QComboBox();
  verdict_->addItems({tr("any"), "PASSED", "FAILED", "STOPPED", "INCOMPLETE", "UNFINISHED"});
  checkText_ = new QLineEdit();
  checkText_->setPlaceholderText(tr("text of a result line"));
  station_ = new QLineEdit();
  station_->setPlaceholderText(tr("any"));
  station_->setMaximumWidth(120);
  board_ = new QLineEdit();
  board_->setPlaceholderText(tr("board barcode"));
  board_->setMaximumWidth(190);
  from_ = dateFilter(this);
  to_ = dateFilter(this);
  from_->setToolTip(tr("Runs started on this day or later"));
  to_->setToolTip(tr("Runs started on this day or earlier"));
  auto *reload = new QPushButton(tr("Refresh"));
  auto *filters = new QHBoxLayout();
  filters->addWidget(new QLabel(tr("Card")));
  filters->addWidget(card_);
  filters->addWidget(new QLabel(tr("Verdict")));
  filters->addWidget(verdict_);
  filters->addWidget(new QLabel(tr("Station")));
  filters->addWidget(station_);
  filters->addWidget(new QLabel(tr("Board")));
  filters->addWidget(board_);
  filters->addStretch(1);
  filters->addWidget(reload);
  // The second row: the dates of the runs and the text of a line they hold.
  auto *moreFilters = new QHBoxLayout();
  moreFilters->addWidget(new QLabel(tr("Started from")));
  moreFilters->addWidget(from_);
  moreFilters->addWidget(new QLabel(tr("to")));
  moreFilters->addWidget(to_);
  moreFilters->addWidget(new QLabel(tr("Check")));
  moreFilters->addWidget(checkText_, 1);
  status_ = new QLabel();

  table_ = new QTableWidget(0, Columns);
  table_->setHorizontalHeaderLabels({tr("Card"), tr("Start"), tr("Station"), tr("Bench/tunnel"),
                                     tr("Verdict"), tr("Failed lines")});
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setToolTip(tr("Double click or Enter opens the run's report"));

  checks_ = new QComboBox();
  checks_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  checks_->setMinimumContentsLength(40);
  chart_ = new QChart();
  chart_->setAnimationOptions(QChart::NoAnimation);
  chart_->legend()->setAlignment(Qt::AlignBottom);
  // The axes stay; each chosen check brings its own series. Runs are placed by their starts;
  // a check of a status bit is read on the pass/fail axis, any other on the value axis.
  xAxis_ = new QDateTimeAxis();
  xAxis_->setTitleText(tr("run start"));
  xAxis_->setTickCount(6);
  yAxis_ = new QValueAxis();
  yAxis_->setLabelFormat("%g");
  passAxis_ = new QCategoryAxis();
  passAxis_->setStartValue(-0.5);
  passAxis_->append(QStringLiteral("FAILED"), 0.5);
  passAxis_->append(QStringLiteral("PASSED"), 1.5);
  passAxis_->setLabelsPosition(QCategoryAxis::AxisLabelsPositionCenter);
  passAxis_->setRange(-0.5, 1.5);
  passAxis_->setVisible(false);
  chart_->addAxis(xAxis_, Qt::AlignBottom);
  chart_->addAxis(yAxis_, Qt::AlignLeft);
  chart_->addAxis(passAxis_, Qt::AlignLeft);
  chartView_ = new QChartView(chart_);
  chartView_->setRenderHint(QPainter::Antialiasing);
  chartView_->setMinimumHeight(240);
  auto *chartRow = new QHBoxLayout();
  chartRow->addWidget(new QLabel(tr("Values of")));
  chartRow->addWidget(checks_, 1);
  auto *lower = new QWidget();
  auto *lowerLayout = new QVBoxLayout(lower);
  lowerLayout->setContentsMargins(0, 0, 0, 0);
  lowerLayout->addLayout(chartRow);
  lowerLayout->addWidget(chartView_, 1);

  // First-pass yield of the runs the filters select, as bars per group.
  yieldBy_ = new QComboBox();
  yieldBy_->addItems({tr("week"), tr("day"), tr("station")});
  yieldNote_ = new QLabel();
  yieldChart_ = new QChart();
  yieldChart_->setAnimationOptions(QChart::NoAnimation);
  yieldChart_->setTitle(tr("First-pass yield: boards that passed their first run in the group"));
  yieldChart_->legend()->hide();
  yieldGroupsAxis_ = new QBarCategoryAxis();
  yieldAxis_ = new QValueAxis();
  yieldAxis_->setRange(0, 100);
  yieldAxis_->setTitleText(tr("first-pass yield [%]"));
  yieldAxis_->setLabelFormat("%.0f");
  yieldChart_->addAxis(yieldGroupsAxis_, Qt::AlignBottom);
  yieldChart_->addAxis(yieldAxis_, Qt::AlignLeft);
  auto *yieldView = new QChartView(yieldChart_);
  yieldView->setRenderHint(QPainter::Antialiasing);
  auto *yieldRow = new QHBoxLayout();
  yieldRow->addWidget(new QLabel(tr("By")));
  yieldRow->addWidget(yieldBy_);
  // Whole runs only, unless asked: a run with steps switched off has not shown its board good.
  yieldPartial_ = new QCheckBox(tr("Count partial runs"));
  yieldPartial_->setToolTip(tr("Count the runs that had some of their steps switched off"));
  yieldRow->addWidget(yieldPartial_);
  yieldRow->addWidget(yieldNote_, 1);
  auto *yieldPage = new QWidget();
  auto *yieldLayout = new QVBoxLayout(yieldPage);
  yieldLayout->setContentsMargins(0, 0, 0, 0);
  yieldLayout->addLayout(yieldRow);
  yieldLayout->addWidget(yieldView, 1);

  charts_ = new QTabWidget();
  charts_->addTab(lower, tr("Check across runs"));
  charts_->addTab(yieldPage, tr("First-pass yield"));

  auto *split = new QSplitter(Qt::Vertical);
  split->addWidget(table_);
  split->addWidget(charts_);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 1);
  auto *layout = new QVBoxLayout(this);
  layout->addLayout(filters);
  layout->addLayout(moreFilters);
  layout->addWidget(status_);
  layout->addWidget(split, 1);
  resize(1000, 680);

  connect(card_, &QLineEdit::editingFinished, this, &HistoryWindow::refresh);
  connect(checkText_, &QLineEdit::editingFinished, this, &HistoryWindow::refresh);
  connect(station_, &QLineEdit::editingFinished, this, &HistoryWindow::refresh);
  connect(board_, &QLineEdit::editingFinished, this, &HistoryWindow::refresh);
  connect(verdict_, &QComboBox::currentIndexChanged, this, &HistoryWindow::refresh);
  connect(from_, &QDateEdit::dateChanged, this, &HistoryWindow::refresh);
  connect(to_, &QDateEdit::dateChanged, this, &HistoryWindow::refresh);
  connect(reload, &QPushButton::clicked, this, &HistoryWindow::refresh);
  // A double click, or Enter on the current row.
  connect(table_, &QAbstractItemView::activated, this,
          [this](const QModelIndex &index) { openReport(index.row()); });
  connect(checks_, &QComboBox::currentIndexChanged, this, &HistoryWindow::showChart);
  // The next page when the table is scrolled to its end.
  connect(table_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
    if (value == table_->verticalScrollBar()->maximum()) loadMore();
  });
  connect(yieldBy_, &QComboBox::currentIndexChanged, this, &HistoryWindow::showYield);
  connect(yieldPartial_, &QCheckBox::toggled, this, &HistoryWindow::showYield);
}

HistoryWindow::~HistoryWindow() {
  // Destroying the window hides it, which ends the editing of a filter that has the focus: its
  // signal must not reach this page, whose members are gone by then.
  for (QObject *child : findChildren<QObject *>()) disconnect(child, nullptr, this, nullptr);
}

QString HistoryWindow::status() const { return status_->text(); }

template <class Answer>
void HistoryWindow::ask(Slot slot, std::function<Answer(history::Store &)> question,
                        std::function<void(Answer &)> apply) {
  const long long asked = ++asked_[slot];
  waiting_.insert(slot);
  worker_->post(slot,
                [this, slot, asked, question = std::move(question),
                 apply = std::move(apply)](history::Store &store) -> StoreWorker::Apply {
                  // On the worker: only the store and the question's own copies are touched here.
                  auto answer = std::make_shared<Answer>(question(store));
                  return [this, slot, asked, answer, apply] {
                    if (asked_[slot] != asked) return;  // a newer question of the slot is out
                    waiting_.erase(slot);
                    apply(*answer);
                  };
                });
}

bool HistoryWindow::eventFilter(QObject *watched, QEvent *event) {
  // A date filter at "any" opens its calendar on this month rather than on its lowest date.
  if (event->type() == QEvent::Show)
    for (QDateEdit *d : {from_, to_})
      if (d && watched == d->calendarWidget() && d->date() == d->minimumDate()) {
        const QDate today = QDate::currentDate();
        d->calendarWidget()->setCurrentPage(today.year(), today.month());
      }
  return QWidget::eventFilter(watched, event);
}

qint64 HistoryWindow::chartTime(const std::string &start) {
  const QString text = QString::fromStdString(start);
  QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
  if (!t.isValid()) t = QDateTime::fromString(text.left(19), Qt::ISODate);
  return t.isValid() ? t.toMSecsSinceEpoch() : 0;
}

void HistoryWindow::refresh() {
  history::Filter filter;
  const QString card = card_->text().trimmed();
  std::string error;
  if (!card.isEmpty()) {
    bool ok = false;
    const long long n = card.toLongLong(&ok);
    if (ok && n >= 0)
      filter.card = n;
    else
      error = "card number is no whole number: " + card.toStdString();
  }
  if (verdict_->currentIndex() > 0) filter.verdict = verdict_->currentText().toStdString();
  filter.check = checkText_->text().trimmed().toStdString();
  filter.station = station_->text().trimmed().toStdString();
  filter.board = board_->text().trimmed().toStdString();
  filter.from = dateText(from_);
  filter.to = dateText(to_);
  if (error.empty()) history::ValidFilter(filter, error);

  filter_ = filter;
  runs_.clear();
  table_->setRowCount(0);
  total_ = 0;
  error_ = error;
  if (!error.empty()) {
    // Nothing is asked; an answer still out is not shown.
    for (long long &a : asked_) ++a;
    waiting_.clear();
    showStatus();
    drawChart({}, {}, {});
    drawYield({}, error);
    return;
  }
  struct Page {
    long long total = 0;
    std::vector<history::RunRow> runs;
    std::string error;
  };
  ask<Page>(
      RunsSlot,
      [filter](history::Store &store) {
        Page p;
        p.total = store.countRuns(filter, p.error);
        if (p.error.empty()) p.runs = store.runs(filter, 0, kPageRows, p.error);
        return p;
      },
      [this](Page &p) {
        ++asked_[MoreSlot];  // a page of the filter before is not appended
        waiting_.erase(MoreSlot);
        error_ = p.error;
        total_ = p.error.empty() ? p.total : 0;
        runs_.clear();
        table_->setRowCount(0);
        appendRuns(p.error.empty() ? std::move(p.runs) : std::vector<history::RunRow>{});
      });
  struct Names {
    std::vector<std::string> names;
    std::string error;
  };
  ask<Names>(
      NamesSlot,
      [](history::Store &store) {
        Names n;
        n.names = store.checkNames(n.error);
        return n;
      },
      [this](Names &n) {
        // The chosen check stays chosen while the store has it.
        const QString chosen = checks_->currentText();
        {
          const QSignalBlocker quiet(checks_);
          checks_->clear();
          for (const std::string &name : n.names) checks_->addItem(QString::fromStdString(name));
          checks_->setCurrentIndex(std::max(0, checks_->findText(chosen)));
        }
        if (checks_->currentText() != chosen) showChart();
        showStatus();
      });
  showStatus();
  showChart();
  showYield();
}

void HistoryWindow::loadMore() {
  if (!error_.empty() || waiting_.count(RunsSlot) || waiting_.count(MoreSlot) ||
      static_cast<long long>(runs_.size()) >= total_)
    return;
  const history::Filter filter = filter_;
  const size_t offset = runs_.size();
  struct Page {
    std::vector<history::RunRow> runs;
    std::string error;
  };
  ask<Page>(
      MoreSlot,
      [filter, offset](history::Store &store) {
        Page p;
        p.runs = store.runs(filter, offset, kPageRows, p.error);
        return p;
      },
      [this](Page &p) {
        if (!p.error.empty()) error_ = p.error;
        appendRuns(p.error.empty() ? std::move(p.runs) : std::vector<history::RunRow>{});
      });
  showStatus();
}

void HistoryWindow::showStatus() {
  QString text;
  if (!error_.empty())
    text = QString::fromStdString(error_);
  else if (waiting_.count(RunsSlot))
    text = tr("loading…");
  else
    text = total_ == 1 ? tr("1 run") : tr("%1 runs").arg(total_);
  if (error_.empty() && !waiting_.count(RunsSlot) && static_cast<long long>(runs_.size()) < total_)
    text += tr(" (the first %1 shown; scroll down for more)").arg(runs_.size());
  if (error_.empty() && !waiting_.count(RunsSlot) && waiting_.count(MoreSlot))
    text += tr(" loading…");
  status_->setText(text);
}

void HistoryWindow::appendRuns(std::vector<history::RunRow> rows) {
  const int first = static_cast<int>(runs_.size());
  for (history::RunRow &r : rows) runs_.push_back(std::move(r));
  table_->setRowCount(static_cast<int>(runs_.size()));
  for (int row = first; row < static_cast<int>(runs_.size()); ++row) {
    const history::RunRow &r = runs_[row];
    table_->setItem(row, CardColumn, cell(QString::number(r.card), Qt::AlignRight));
    QTableWidgetItem *start = cell(startText(r.start));
    // The start by the bench's clock, beside the store's receipt of it (UTC); a bench whose
    // clock was off is marked in amber with how far.
    QString received =
        r.storeStart.empty()
            ? tr("Received by the store: not known")
            : tr("Received by the store: %1 (UTC), ended %2")
                  .arg(QString::fromStdString(r.storeStart),
                       r.storeEnd.empty() ? tr("-") : QString::fromStdString(r.storeEnd));
    if (const std::optional<long long> d = history::ClockDifference(r); history::ClockDiffers(d)) {
      start->setText(start->text() + " !");
      start->setForeground(QColor(170, 110, 0));
      received += "\n" + QString::fromStdString(history::ClockDifferenceText(*d));
    }
    start->setToolTip(received);
    table_->setItem(row, StartColumn, start);
    table_->setItem(row, StationColumn, cell(QString::fromStdString(r.station)));
    table_->setItem(row, VariantColumn, cell(QString::fromStdString(r.variant)));
    QTableWidgetItem *verdict = cell(QString::fromStdString(r.shownVerdict()));
    // Green and red both ways; a run without its verdict in grey, a stopped one in amber.
    verdict->setForeground(r.verdict == "PASSED"    ? QColor(0, 120, 0)
                           : r.verdict == "FAILED"  ? QColor(190, 0, 0)
                           : r.verdict == "STOPPED" ? QColor(170, 110, 0)
                                                    : QColor(100, 100, 100));
    QFont bold = verdict->font();
    bold.setBold(true);
    verdict->setFont(bold);
    table_->setItem(row, VerdictColumn, verdict);
    table_->setItem(row, FailedColumn, cell(QString::number(r.failedLines), Qt::AlignRight));
    table_->item(row, CardColumn)->setToolTip(QString::fromStdString(r.report));
  }
  if (first == 0) table_->resizeColumnsToContents();
  showStatus();
}

void HistoryWindow::chooseCheck(const QString &name) {
  const int at = checks_->findText(name);
  if (at >= 0) checks_->setCurrentIndex(at);
}

bool HistoryWindow::openReport(int row) {
  if (row < 0 || row >= static_cast<int>(runs_.size())) return false;
  const QString path = QString::fromStdString(runs_[row].report);
  const QFileInfo info(path);
  if (path.isEmpty() || !info.isFile()) {
    tell(tr("Report not found"), tr("The report of this run is not there any more:\n%1").arg(path));
    return false;
  }
  // The HTML page of the run when its record is there (made now for a run before the pages).
  QString shown = info.absoluteFilePath();
  const std::string record = functest::RecordPathFor(path.toStdString());
  if (QFileInfo(QString::fromStdString(record)).isFile()) {
    std::string page;
    const std::string html = functest::HtmlReportPathFor(record);
    if (QFileInfo(QString::fromStdString(html)).isFile() ||
        functest::WriteHtmlReport(record, page).empty())
      shown = QFileInfo(QString::fromStdString(html)).absoluteFilePath();
  }
  if (!openUrl(QUrl::fromLocalFile(shown))) {
    tell(tr("Report not opened"), tr("No program could open %1").arg(path));
    return false;
  }
  return true;
}

void HistoryWindow::showChart() {
  const std::string name = checks_->currentText().toStdString();
  if (name.empty() || !error_.empty()) {
    ++asked_[ChartSlot];
    waiting_.erase(ChartSlot);
    drawChart({}, {}, {});
    return;
  }
  chart_->setTitle(tr("%1 (loading…)").arg(QString::fromStdString(name)));
  struct Values {
    std::vector<history::ValueRow> rows;
    std::string error;
  };
  const history::Filter filter = filter_;
  ask<Values>(
      ChartSlot,
      [name, filter](history::Store &store) {
        Values v;
        v.rows = store.newestValues(name, filter, kChartValues, v.error);
        return v;
      },
      [this, name](Values &v) {
        drawChart(name, v.rows, v.error);
        if (v.rows.size() >= static_cast<size_t>(kChartValues))
          chart_->setTitle(
              tr("%1 (the newest %2 values)").arg(QString::fromStdString(name)).arg(kChartValues));
      });
}

void HistoryWindow::drawChart(const std::string &name, const std::vector<history::ValueRow> &rows,
                              const std::string &error) {
  chart_->removeAllSeries();
  values_ = low_ = high_ = passed_ = failed_ = nullptr;
  passFail_ = false;
  chart_->setTitle(QString::fromStdString(name));
  if (name.empty()) {
    yAxis_->setTitleText({});
    return;
  }
  if (!error.empty()) {
    chart_->setTitle(QString::fromStdString(error));
    return;
  }
  // By the instant each run started (runs of stations in other time zones fall into place).
  struct Point {
    qint64 t;
    const history::ResultRow *result;
  };
  std::vector<Point> points;
  for (const history::ValueRow &v : rows)
    if (v.result.value && std::isfinite(*v.result.value))
      if (const qint64 t = chartTime(v.run.start); t != 0)  // a start that is no date: no place
        points.push_back({t, &v.result});
  std::stable_sort(points.begin(), points.end(),
                   [](const Point &a, const Point &b) { return a.t < b.t; });
  if (points.empty()) {
    chart_->setTitle(tr("%1 (no value in these runs)").arg(QString::fromStdString(name)));
    return;
  }

  // A status bit reads as passed or failed, not as a number; so does any line whose only value
  // is its bit.
  passFail_ = !points.empty() && std::all_of(points.begin(), points.end(), [](const Point &p) {
    return p.result->unit == "bit";
  });
  auto *passed = verdictSeries(tr("passed"), QColor(30, 150, 50));
  auto *failed = verdictSeries(tr("failed"), QColor(210, 30, 30));
  QLineSeries *values = nullptr, *low = nullptr, *high = nullptr;
  double yMin = INFINITY, yMax = -INFINITY;
  std::string unit;
  if (!passFail_) {
    values = new QLineSeries();
    values->setName(tr("value"));
    values->setColor(QColor(40, 90, 170));
    low = limitSeries(tr("low limit"), QColor(30, 90, 200));
    high = limitSeries(tr("high limit"), QColor(200, 40, 40));
  }
  for (const Point &p : points) {
    const double x = static_cast<double>(p.t);
    const history::ResultRow &r = *p.result;
    if (passFail_) {
      (r.passed ? passed : failed)->append(x, r.passed ? 1 : 0);
      continue;
    }
    const double y = *r.value;
    values->append(x, y);
    (r.passed ? passed : failed)->append(x, y);
    yMin = std::min(yMin, y);
    yMax = std::max(yMax, y);
    if (unit.empty()) unit = r.unit;
    for (auto [limit, series] : {std::pair{r.low, low}, std::pair{r.high, high}}) {
      if (!limit || !std::isfinite(*limit)) continue;
      series->append(x, *limit);
      yMin = std::min(yMin, *limit);
      yMax = std::max(yMax, *limit);
    }
  }

  // The time axis spans the runs, with a margin so that the first and last are not on the
  // frame; its labels carry the time of day when the runs are all within two days.
  qint64 first = points.empty() ? QDateTime::currentMSecsSinceEpoch() : points.front().t;
  qint64 last = points.empty() ? first : points.back().t;
  const qint64 pad = std::max<qint64>((last - first) / 20, 30LL * 60 * 1000);
  xAxis_->setRange(QDateTime::fromMSecsSinceEpoch(first - pad),
                   QDateTime::fromMSecsSinceEpoch(last + pad));
  xAxis_->setFormat(last - first < 2LL * 24 * 3600 * 1000 ? "MM-dd hh:mm" : "yyyy-MM-dd");
  yAxis_->setVisible(!passFail_);
  passAxis_->setVisible(passFail_);
  QAbstractAxis *y = passFail_ ? static_cast<QAbstractAxis *>(passAxis_) : yAxis_;
  if (!passFail_) {
    yAxis_->setTitleText(QString::fromStdString(unit));
    if (yMin > yMax) yMin = yMax = 0;
    const double margin = yMax > yMin ? (yMax - yMin) * 0.08 : std::max(1.0, std::fabs(yMax) * 0.1);
    yAxis_->setRange(yMin - margin, yMax + margin);
  }
  values_ = values;
  low_ = low && low->count() ? low : nullptr;
  high_ = high && high->count() ? high : nullptr;
  passed_ = passed;
  failed_ = failed;
  for (QXYSeries *s : std::initializer_list<QXYSeries *>{low, high, values, passed, failed}) {
    if (!s) continue;
    if (s->count() == 0 && (s == low || s == high)) {
      delete s;
      continue;
    }
    chart_->addSeries(s);
    s->attachAxis(xAxis_);
    s->attachAxis(y);
  }
}

QStringList HistoryWindow::yieldGroups() const { return yieldGroupsAxis_->categories(); }

void HistoryWindow::showYield() {
  static constexpr history::YieldBy kBy[] = {history::YieldBy::Week, history::YieldBy::Day,
                                             history::YieldBy::Station};
  if (!error_.empty()) {
    ++asked_[YieldSlot];
    waiting_.erase(YieldSlot);
    drawYield({}, error_);
    return;
  }
  yieldNote_->setText(tr("loading…"));
  struct Groups {
    std::vector<history::YieldRow> rows;
    std::string error;
  };
  const history::Filter filter = filter_;
  const history::YieldBy by = kBy[std::clamp(yieldBy_->currentIndex(), 0, 2)];
  const bool partialRuns = yieldPartial_->isChecked();
  ask<Groups>(
      YieldSlot,
      [filter, by, partialRuns](history::Store &store) {
        Groups g;
        g.rows = store.yield(filter, by, g.error, partialRuns);
        return g;
      },
      [this](Groups &g) { drawYield(g.rows, g.error); });
}

void HistoryWindow::drawYield(const std::vector<history::YieldRow> &rows,
                              const std::string &error) {
  yieldChart_->removeAllSeries();
  yieldBars_ = nullptr;
  yieldGroupsAxis_->clear();
  if (!error.empty()) {
    yieldNote_->setText(QString::fromStdString(error));
    return;
  }
  auto *set = new QBarSet(tr("first-pass yield"));
  set->setColor(QColor(40, 140, 70));
  QStringList groups;
  int boards = 0, firstPassed = 0, retests = 0;
  for (const history::YieldRow &r : rows) {
    // The group's name with its boards, so that 100 % of one board reads as what it is.
    groups << QStringLiteral("%1 (%2)").arg(QString::fromStdString(r.group)).arg(r.boards);
    set->append(r.boards > 0 ? 100.0 * r.firstPassed / r.boards : 0.0);
    boards += r.boards;
    firstPassed += r.firstPassed;
    retests += r.retests;
  }
  yieldBars_ = new QBarSeries();
  yieldBars_->append(set);
  yieldBars_->setLabelsVisible(true);
  yieldBars_->setLabelsFormat(QStringLiteral("@value %"));
  yieldBars_->setLabelsPrecision(3);
  yieldChart_->addSeries(yieldBars_);
  yieldGroupsAxis_->append(groups);
  yieldBars_->attachAxis(yieldGroupsAxis_);
  yieldBars_->attachAxis(yieldAxis_);
  yieldNote_->setText(rows.empty() ? tr("no runs")
                                   : tr("%1 of %2 boards passed their first run; %3 retests")
                                         .arg(firstPassed)
                                         .arg(boards)
                                         .arg(retests));
}

}  // namespace gui
