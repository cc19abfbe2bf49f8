#include "gui/history_window.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPen>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
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
    : QWidget(parent, Qt::Window), store_(store) {
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
  filters->addWidget(new QLabel(tr("Check")));
  filters->addWidget(checkText_, 1);
  filters->addWidget(reload);
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
  // The axes stay; each chosen check brings its own series.
  xAxis_ = new QValueAxis();
  xAxis_->setTitleText(tr("run (row of the table)"));
  xAxis_->setLabelFormat("%.0f");
  xAxis_->setTickType(QValueAxis::TicksDynamic);
  xAxis_->setTickAnchor(1);
  yAxis_ = new QValueAxis();
  yAxis_->setLabelFormat("%g");
  chart_->addAxis(xAxis_, Qt::AlignBottom);
  chart_->addAxis(yAxis_, Qt::AlignLeft);
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

  auto *split = new QSplitter(Qt::Vertical);
  split->addWidget(table_);
  split->addWidget(lower);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 1);
  auto *layout = new QVBoxLayout(this);
  layout->addLayout(filters);
  layout->addWidget(status_);
  layout->addWidget(split, 1);
  resize(820, 680);

  connect(card_, &QLineEdit::editingFinished, this, &HistoryWindow::refresh);
  connect(checkText_, &QLineEdit::editingFinished, this, &HistoryWindow::refresh);
  connect(station_, &QLineEdit::editingFinished, this, &HistoryWindow::refresh);
  connect(board_, &QLineEdit::editingFinished, this, &HistoryWindow::refresh);
  connect(verdict_, &QComboBox::currentIndexChanged, this, &HistoryWindow::refresh);
  connect(reload, &QPushButton::clicked, this, &HistoryWindow::refresh);
  // A double click, or Enter on the current row.
  connect(table_, &QAbstractItemView::activated, this,
          [this](const QModelIndex &index) { openReport(index.row()); });
  connect(checks_, &QComboBox::currentIndexChanged, this, &HistoryWindow::showChart);
}

QString HistoryWindow::status() const { return status_->text(); }

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
  if (error.empty()) history::ValidFilter(filter, error);

  std::vector<history::RunRow> runs;
  std::vector<history::ValueRow> values;
  if (error.empty()) runs = store_.runs(filter, error);
  if (error.empty()) values = store_.values("", filter, error);
  if (!error.empty()) {
    runs.clear();
    values.clear();
  }
  filter_ = filter;
  runs_ = std::move(runs);

  table_->setRowCount(static_cast<int>(runs_.size()));
  for (int row = 0; row < static_cast<int>(runs_.size()); ++row) {
    const history::RunRow &r = runs_[row];
    table_->setItem(row, CardColumn, cell(QString::number(r.card), Qt::AlignRight));
    table_->setItem(row, StartColumn, cell(startText(r.start)));
    table_->setItem(row, StationColumn, cell(QString::fromStdString(r.station)));
    table_->setItem(row, VariantColumn, cell(QString::fromStdString(r.variant)));
    QTableWidgetItem *verdict = cell(QString::fromStdString(r.verdict));
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
  table_->resizeColumnsToContents();

  // The checks with measured values in these runs, by the name the store compares them under.
  std::set<std::string> names;
  for (const history::ValueRow &v : values) names.insert(v.result.name);
  const QString chosen = checks_->currentText();
  {
    const QSignalBlocker quiet(checks_);
    checks_->clear();
    for (const std::string &n : names) checks_->addItem(QString::fromStdString(n));
    checks_->setCurrentIndex(std::max(0, checks_->findText(chosen)));
  }
  showChart();

  if (!error.empty())
    status_->setText(QString::fromStdString(error));
  else
    status_->setText(runs_.size() == 1 ? tr("1 run") : tr("%1 runs").arg(runs_.size()));
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
  chart_->removeAllSeries();
  values_ = low_ = high_ = nullptr;
  const std::string name = checks_->currentText().toStdString();
  chart_->setTitle(QString::fromStdString(name));
  const double n = std::max<double>(1, static_cast<double>(runs_.size()));
  xAxis_->setRange(0.5, n + 0.5);
  xAxis_->setTickInterval(std::max(1.0, std::ceil(n / 12)));
  if (name.empty()) {
    yAxis_->setTitleText({});
    return;
  }

  std::string error;
  std::vector<history::ValueRow> rows = store_.values(name, filter_, error);
  // The store answers every name that contains the chosen one: keep the chosen one.
  std::erase_if(rows, [&](const history::ValueRow &v) { return v.result.name != name; });
  if (!error.empty()) {
    chart_->setTitle(QString::fromStdString(error));
    return;
  }

  // x is the run's row in the table (runs in the order of their starts), so the chart and the
  // table name the same run by the same number.
  auto rowOf = [&](long long runId) {
    for (size_t k = 0; k < runs_.size(); ++k)
      if (runs_[k].id == runId) return static_cast<double>(k + 1);
    return 0.0;
  };
  auto *values = new QLineSeries();
  values->setName(tr("value"));
  values->setPointsVisible(true);
  values->setMarkerSize(8);
  QLineSeries *low = limitSeries(tr("low limit"), QColor(30, 90, 200));
  QLineSeries *high = limitSeries(tr("high limit"), QColor(200, 40, 40));
  double yMin = INFINITY, yMax = -INFINITY;
  std::string unit;
  for (const history::ValueRow &v : rows) {
    const double x = rowOf(v.run.id);
    if (x == 0 || !v.result.value || !std::isfinite(*v.result.value)) continue;
    values->append(x, *v.result.value);
    yMin = std::min(yMin, *v.result.value);
    yMax = std::max(yMax, *v.result.value);
    if (unit.empty()) unit = v.result.unit;
    // A limit is a short level across the run's place, so that a limit all runs share is one
    // line across the chart.
    for (auto [limit, series] : {std::pair{v.result.low, low}, std::pair{v.result.high, high}}) {
      if (!limit || !std::isfinite(*limit)) continue;
      series->append(x - 0.45, *limit);
      series->append(x + 0.45, *limit);
      yMin = std::min(yMin, *limit);
      yMax = std::max(yMax, *limit);
    }
  }
  yAxis_->setTitleText(QString::fromStdString(unit));
  if (yMin > yMax) yMin = yMax = 0;
  const double margin = yMax > yMin ? (yMax - yMin) * 0.08 : std::max(1.0, std::fabs(yMax) * 0.1);
  yAxis_->setRange(yMin - margin, yMax + margin);
  values_ = values;
  low_ = low->count() ? low : nullptr;
  high_ = high->count() ? high : nullptr;
  for (QLineSeries *s : {low, high, values}) {
    if (s != values && s->count() == 0) {
      delete s;
      continue;
    }
    chart_->addSeries(s);
    s->attachAxis(xAxis_);
    s->attachAxis(yAxis_);
  }
}

}  // namespace gui
