#include "gui/widgets.h"

#include <QHeaderView>
#include <QPainter>
#include <QRadialGradient>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

// ---------------------------------------------------------------- TsLed

TsLed::TsLed(QWidget *parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void TsLed::setOn(bool on) {
  if (on == on_) return;
  on_ = on;
  update();
}

void TsLed::setOnColor(const QColor &c) {
  onColor_ = c;
  update();
}

void TsLed::setOffColor(const QColor &c) {
  offColor_ = c;
  update();
}

void TsLed::setText(const QString &t) {
  text_ = t;
  updateGeometry();
  update();
}

QSize TsLed::sizeHint() const {
  int d = fontMetrics().height() + 2;
  int w = d;
  if (!text_.isEmpty()) w += 4 + fontMetrics().horizontalAdvance(text_);
  return {w, d};
}

QSize TsLed::minimumSizeHint() const {
  int d = fontMetrics().height();
  return {d, d};
}

void TsLed::paintEvent(QPaintEvent *) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, true);
  int d = std::min(height(), text_.isEmpty() ? width() : height()) - 2;
  if (d < 4) d = std::max(1, std::min(width(), height()));
  QRectF lamp(1, (height() - d) / 2.0, d, d);
  if (text_.isEmpty()) lamp.moveLeft((width() - d) / 2.0);

  QColor body = on_ ? onColor_ : offColor();
  QRadialGradient g(lamp.center() - QPointF(d * 0.18, d * 0.18), d * 0.7);
  g.setColorAt(0.0, on_ ? body.lighter(170) : body.lighter(130));
  g.setColorAt(1.0, on_ ? body : body.darker(130));
  p.setPen(QPen(QColor(60, 60, 60), 1.0));
  p.setBrush(g);
  p.drawEllipse(lamp);

  if (!text_.isEmpty()) {
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    QRect r(int(lamp.right()) + 4, 0, width() - int(lamp.right()) - 4, height());
    p.drawText(r, Qt::AlignVCenter | Qt::AlignLeft, text_);
  }
}

// ---------------------------------------------------------------- TsGraph

namespace {

// A round step for about `ticks` intervals over `range`.
double niceStep(double range, int ticks) {
  double raw = range / ticks;
  double mag = std::pow(10.0, std::floor(std::log10(raw)));
  double f = raw / mag;
  double nice = f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10;
  return nice * mag;
}

// Widens [lo, hi] to round tick marks; returns the number of ticks.
int niceRange(double &lo, double &hi, int ticks) {
  if (!(hi > lo)) {
    double pad = std::max(1.0, std::fabs(lo) * 0.05);
    lo -= pad;
    hi += pad;
  }
  double step = niceStep(hi - lo, ticks);
  if (!(step > 0) || !std::isfinite(step)) return 5;
  lo = std::floor(lo / step) * step;
  hi = std::ceil(hi / step) * step;
  int n = static_cast<int>(std::lround((hi - lo) / step)) + 1;
  return std::clamp(n, 2, 21);
}

QColor rgb(uint32_t c) { return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF); }

}  // namespace

TsGraph::TsGraph(QWidget *parent) : QChartView(parent) {
  chart_ = new QChart();
  chart_->legend()->hide();
  chart_->setAnimationOptions(QChart::NoAnimation);
  chart_->setBackgroundRoundness(0);
  chart_->setMargins(QMargins(2, 2, 2, 2));
  chart_->setBackgroundBrush(palette().color(QPalette::Window));
  chart_->setPlotAreaBackgroundBrush(QColor(12, 12, 12));
  chart_->setPlotAreaBackgroundVisible(true);
  xAxis_ = new QValueAxis();
  yAxis_ = new QValueAxis();
  for (QValueAxis *a : {xAxis_, yAxis_}) {
    a->setLabelFormat("%g");
    a->setGridLineColor(QColor(75, 75, 75));
    a->setMinorGridLineVisible(false);
    QFont f = a->labelsFont();
    f.setPointSizeF(std::max(6.0, f.pointSizeF() - 1));
    a->setLabelsFont(f);
  }
  xAxis_->setRange(0, 1);
  yAxis_->setRange(0, 1);
  chart_->addAxis(xAxis_, Qt::AlignBottom);
  chart_->addAxis(yAxis_, Qt::AlignLeft);
  setChart(chart_);
  setRenderHint(QPainter::Antialiasing, false);
  setFrameShape(QFrame::StyledPanel);
  setMinimumSize(120, 80);
}

QString TsGraph::title() const { return chart_->title(); }
void TsGraph::setTitle(const QString &t) { chart_->setTitle(t); }
QString TsGraph::xLabel() const { return xAxis_->titleText(); }
void TsGraph::setXLabel(const QString &t) { xAxis_->setTitleText(t); }
QString TsGraph::yLabel() const { return yAxis_->titleText(); }
void TsGraph::setYLabel(const QString &t) { yAxis_->setTitleText(t); }

QLineSeries *TsGraph::seriesAt(int i) {
  while (static_cast<int>(series_.size()) <= i) {
    auto *s = new QLineSeries();
    chart_->addSeries(s);
    s->attachAxis(xAxis_);
    s->attachAxis(yAxis_);
    series_.push_back(s);
  }
  return series_[i];
}

void TsGraph::showPlots(const std::vector<rt::Plot> &plots, bool autoscale, double yMin,
                        double yMax) {
  double xlo = std::numeric_limits<double>::infinity(), xhi = -xlo;
  double ylo = xlo, yhi = -xlo;
  int n = static_cast<int>(plots.size());
  for (int i = 0; i < n; ++i) {
    const rt::Plot &pl = plots[i];
    QLineSeries *s = seriesAt(i);
    size_t count = pl.x.empty() ? pl.y.size() : std::min(pl.x.size(), pl.y.size());
    points_.resize(static_cast<qsizetype>(count));
    for (size_t k = 0; k < count; ++k) {
      double x = pl.x.empty() ? double(k) : pl.x[k];
      double y = pl.y[k];
      points_[static_cast<qsizetype>(k)] = QPointF(x, y);
      if (std::isfinite(x)) xlo = std::min(xlo, x), xhi = std::max(xhi, x);
      if (std::isfinite(y)) ylo = std::min(ylo, y), yhi = std::max(yhi, y);
    }
    QColor col = rgb(pl.color);
    if (s->color() != col) {
      QPen pen(col);
      pen.setWidth(pl.plotStyle == 3 || pl.plotStyle == 4 ? 2 : 1);
      pen.setCosmetic(true);
      s->setPen(pen);
    }
    s->replace(points_);
    if (!s->isVisible()) s->setVisible(true);
  }
  for (int i = n; i < shown_; ++i) {
    series_[i]->clear();
    series_[i]->setVisible(false);
  }
  shown_ = n;

  if (xlo <= xhi) {
    int ticks = niceRange(xlo, xhi, 8);
    if (xlo != xLo_ || xhi != xHi_) {
      xLo_ = xlo, xHi_ = xhi;
      xAxis_->setRange(xlo, xhi);
      xAxis_->setTickCount(ticks);
    }
  }
  if (!autoscale) {
    ylo = yMin, yhi = yMax;
    if (!(yhi > ylo)) yhi = ylo + 1;
    if (ylo != yLo_ || yhi != yHi_) {
      yLo_ = ylo, yHi_ = yhi;
      yAxis_->setRange(ylo, yhi);
      yAxis_->setTickCount(6);
    }
  } else if (ylo <= yhi) {
    int ticks = niceRange(ylo, yhi, 5);
    if (ylo != yLo_ || yhi != yHi_) {
      yLo_ = ylo, yHi_ = yhi;
      yAxis_->setRange(ylo, yhi);
      yAxis_->setTickCount(ticks);
    }
  }
}

// ---------------------------------------------------------------- TsTable

TsTable::TsTable(QWidget *parent) : QTableWidget(parent) {
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::NoSelection);
  setFocusPolicy(Qt::NoFocus);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  horizontalHeader()->setHighlightSections(false);
  verticalHeader()->setHighlightSections(false);
}

void TsTable::setRows(int n) {
  setRowCount(std::max(0, n));
  applyLabels();
}

void TsTable::setColumns(int n) {
  setColumnCount(std::max(0, n));
  applyLabels();
}

void TsTable::setColumnLabels(const QString &s) {
  columnLabels_ = s;
  applyLabels();
}

void TsTable::setRowLabels(const QString &s) {
  rowLabels_ = s;
  applyLabels();
}

void TsTable::setHiddenColumns(const QString &s) {
  hiddenColumns_ = s;
  applyLabels();
}

void TsTable::setHiddenRows(const QString &s) {
  hiddenRows_ = s;
  applyLabels();
}

QSize TsTable::sizeHint() const {
  int rowH = verticalHeader()->defaultSectionSize();
  int shown = 0;
  for (int r = 0; r < rowCount(); ++r) shown += !isRowHidden(r);
  int rows = std::min(shown, 24);
  int h = horizontalHeader()->sizeHint().height() + rows * rowH + 2 * frameWidth();
  int w = verticalHeader()->sizeHint().width() + 2 * frameWidth();
  for (int c = 0; c < columnCount(); ++c)
    if (!isColumnHidden(c)) w += std::max(64, horizontalHeader()->sectionSizeHint(c));
  return {w, h};
}

QSize TsTable::minimumSizeHint() const {
  QSize s = sizeHint();
  int rowH = verticalHeader()->defaultSectionSize();
  int rows = std::min(rowCount(), 4);
  return {std::min(s.width(), 160),
          horizontalHeader()->sizeHint().height() + rows * rowH + 2 * frameWidth()};
}

void TsTable::applyLabels() {
  if (!columnLabels_.isEmpty()) {
    QStringList l = columnLabels_.split(';');
    for (int i = l.size(); i < columnCount(); ++i) l << QString::number(i + 1);
    setHorizontalHeaderLabels(l);
  }
  if (!rowLabels_.isEmpty()) {
    QStringList l = rowLabels_.split(';');
    for (int i = l.size(); i < rowCount(); ++i) l << QString::number(i + 1);
    setVerticalHeaderLabels(l);
  }
  // A short table keeps to its rows; a long one takes the room there is.
  setSizePolicy(QSizePolicy::Preferred,
                rowCount() > 16 ? QSizePolicy::Expanding : QSizePolicy::Preferred);
  QStringList hidden = hiddenColumns_.split(';', Qt::SkipEmptyParts);
  for (int c = 0; c < columnCount(); ++c)
    setColumnHidden(c, hidden.contains(QString::number(c + 1)));
  hidden = hiddenRows_.split(';', Qt::SkipEmptyParts);
  for (int r = 0; r < rowCount(); ++r) setRowHidden(r, hidden.contains(QString::number(r + 1)));
  updateGeometry();
}

QString TsTable::formatValue(double v) const {
  if (std::isnan(v)) return QStringLiteral("NaN");
  if (std::isinf(v)) return v > 0 ? QStringLiteral("Inf") : QStringLiteral("-Inf");
  if (decimals_ >= 0) return QString::number(v, 'f', decimals_);
  if (v == std::trunc(v) && std::fabs(v) < 1e15) return QString::number(v, 'f', 0);
  return QString::number(v, 'g', 6);
}

void TsTable::showCells(int rows, int cols, const std::vector<double> &cells) {
  if (rows != rowCount() || cols != columnCount()) {
    setRowCount(rows);
    setColumnCount(cols);
    applyLabels();
  }
  if (rows != shownRows_ || cols != shownCols_) {
    shownRows_ = rows, shownCols_ = cols;
    shown_.assign(static_cast<size_t>(rows) * cols, 0.0);
    fresh_.assign(shown_.size(), true);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        auto *it = new QTableWidgetItem();
        it->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        setItem(r, c, it);
      }
  }
  size_t n = std::min(cells.size(), shown_.size());
  for (size_t k = 0; k < n; ++k) {
    double v = cells[k];
    // Bitwise comparison: a NaN that stays NaN is not redrawn either.
    if (!fresh_[k] && std::bit_cast<uint64_t>(v) == std::bit_cast<uint64_t>(shown_[k])) continue;
    fresh_[k] = false;
    shown_[k] = v;
    item(int(k / cols), int(k % cols))->setText(formatValue(v));
  }
}

QString TsTable::cellText(int row, int col) const {
  const QTableWidgetItem *it = item(row, col);
  return it ? it->text() : QString();
}

// ---------------------------------------------------------------- TsTimer

TsTimer::TsTimer(QWidget *parent) : QWidget(parent) {
  QWidget::setVisible(false);
  setAttribute(Qt::WA_TransparentForMouseEvents);
}
