#include "gui/widgets.h"

#include <QFontMetricsF>
#include <QHeaderView>
#include <QPainter>
#include <QRadialGradient>
#include <QResizeEvent>
#include <QScrollBar>
#include <QtCharts/QChart>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
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

// Widens [lo, hi] to round tick marks; returns the number of ticks. With `clear`, data that
// ends exactly on a round mark gets one step more, so that a plot never runs along the frame.
int niceRange(double &lo, double &hi, int ticks, bool clear = false) {
  if (!(hi > lo)) {
    double pad = std::max(1.0, std::fabs(lo) * 0.05);
    lo -= pad;
    hi += pad;
    clear = false;
  }
  double step = niceStep(hi - lo, ticks);
  if (!(step > 0) || !std::isfinite(step)) return 5;
  double dataLo = lo, dataHi = hi;
  lo = std::floor(lo / step) * step;
  hi = std::ceil(hi / step) * step;
  if (clear && dataHi >= hi) hi += step;
  if (clear && dataLo <= lo) lo -= step;
  int n = static_cast<int>(std::lround((hi - lo) / step)) + 1;
  return std::clamp(n, 2, 21);
}

QColor rgb(uint32_t c) { return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF); }

}  // namespace

// The view is made with its chart: a view made without one makes a chart of its own, which a later
// setChart() would leave behind.
TsGraph::TsGraph(QWidget *parent) : QChartView(new QChart(), parent) {
  chart_ = chart();
  chart_->legend()->hide();
  chart_->legend()->setAlignment(Qt::AlignTop);
  {
    QFont f = chart_->legend()->font();
    f.setPointSizeF(std::max(6.0, f.pointSizeF() - 1));
    chart_->legend()->setFont(f);
  }
  chart_->setAnimationOptions(QChart::NoAnimation);
  chart_->setBackgroundRoundness(0);
  chart_->setMargins(QMargins(2, 2, 2, 2));
  chart_->setBackgroundBrush(palette().color(QPalette::Window));
  chart_->setPlotAreaBackgroundBrush(QColor(12, 12, 12));
  chart_->setPlotAreaBackgroundVisible(true);
  xAxis_ = new QValueAxis();
  yAxis_ = new QValueAxis();
  // The x axis spans exactly the samples plotted, with round tick marks inside it, so that
  // a plot reaches both edges of the plot area.
  xAxis_->setTickAnchor(0);
  xAxis_->setTickInterval(0.25);
  xAxis_->setTickType(QValueAxis::TicksDynamic);
  for (QValueAxis *a : {xAxis_, yAxis_}) {
    a->setLabelFormat("%g");
    a->setGridLineColor(QColor(75, 75, 75));
    a->setMinorGridLineVisible(false);
    QFont f = a->labelsFont();
    f.setPointSizeF(std::max(6.0, f.pointSizeF() - 1));
    a->setLabelsFont(f);
  }
  labelLine_ = QFontMetricsF(yAxis_->labelsFont()).height();
  xAxis_->setRange(0, 1);
  yAxis_->setRange(0, 1);
  chart_->addAxis(xAxis_, Qt::AlignBottom);
  chart_->addAxis(yAxis_, Qt::AlignLeft);
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
    legends_.emplace_back();
  }
  return series_[i];
}

void TsGraph::updateLegend() {
  // Only the named plots shown have a marker; a graph without one shows no legend at all. The
  // legend is shown first: a marker cannot be shown inside a hidden legend.
  bool any = false;
  for (int i = 0; i < shown_ && i < static_cast<int>(series_.size()); ++i)
    any = any || !legends_[i].empty();
  chart_->legend()->setVisible(any);
  for (int i = 0; i < static_cast<int>(series_.size()); ++i) {
    const bool named = i < shown_ && !legends_[i].empty();
    for (QLegendMarker *m : chart_->legend()->markers(series_[i])) m->setVisible(named);
  }
}

void TsGraph::showPlots(const std::vector<rt::Plot> &plots, bool autoscale, double yMin,
                        double yMax) {
  double xlo = std::numeric_limits<double>::infinity(), xhi = -xlo;
  double ylo = xlo, yhi = -xlo;
  int n = static_cast<int>(plots.size());
  bool legendChanged = false;
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
    if (legends_[i] != pl.legend) {
      legends_[i] = pl.legend;
      s->setName(QString::fromStdString(pl.legend));
      legendChanged = true;
    }
  }
  for (int i = n; i < shown_; ++i) {
    series_[i]->clear();
    series_[i]->setVisible(false);
  }
  if (n != shown_) legendChanged = true;
  shown_ = n;
  if (legendChanged) updateLegend();

  if (xlo <= xhi && (xlo != xLo_ || xhi != xHi_)) {
    xLo_ = xlo, xHi_ = xhi;
    if (!(xhi > xlo)) {
      double pad = std::max(1.0, std::fabs(xlo) * 0.05);
      xlo -= pad;
      xhi += pad;
    }
    double step = niceStep(xhi - xlo, 8);
    // Qt Charts counts round ticks off one step at a time, at once when the range changes: the
    // ticks are plain while the range and the step change together, and a step lost in the
    // precision of the values (it would never reach the end of the axis) keeps them plain.
    double scale = std::max(std::fabs(xlo), std::fabs(xhi));
    bool round = step > 0 && std::isfinite(step) && step > scale * 1e-9;
    xAxis_->setTickType(QValueAxis::TicksFixed);
    xAxis_->setTickCount(5);
    if (std::isfinite(xhi - xlo)) xAxis_->setRange(xlo, xhi);
    if (round) {
      xAxis_->setTickAnchor(std::ceil(xlo / step) * step);
      xAxis_->setTickInterval(step);
      xAxis_->setTickType(QValueAxis::TicksDynamic);
    }
  }
  if (!autoscale) {
    ylo = yMin, yhi = yMax;
    if (!(yhi > ylo)) yhi = ylo + 1;
  }
  if (ylo <= yhi) {
    dataYLo_ = ylo, dataYHi_ = yhi, lockedY_ = !autoscale;
    applyYRange();
  }
}

int TsGraph::yIntervalsRoom() const {
  // Each tick label needs about one and a half lines of its font, or Qt Charts elides them all
  // to "..."; before the first layout the plot area is guessed from the widget's height.
  const double plot =
      chart_->plotArea().height() > 0 ? chart_->plotArea().height() : std::max(0, height() - 70);
  return std::clamp(static_cast<int>(plot / (labelLine_ * 1.6)) - 1, 1, 5);
}

void TsGraph::applyYRange() {
  double ylo = dataYLo_, yhi = dataYHi_;
  const int room = yIntervalsRoom();
  int ticks = room + 1;
  if (!lockedY_) {
    // Round steps give up to twice the intervals asked for (and one more at each end to keep
    // the data off the frame): ask for fewer until they fit, else span the data plainly.
    bool fits = false;
    for (int want = room; want >= 1 && !fits; --want) {
      ylo = dataYLo_, yhi = dataYHi_;
      ticks = niceRange(ylo, yhi, want, true);
      fits = ticks - 1 <= room;
    }
    if (!fits) {
      ylo = dataYLo_, yhi = dataYHi_;
      niceRange(ylo, yhi, 1, true);
      ticks = 2;
    }
  }
  if (ylo != yLo_ || yhi != yHi_ || ticks != yTicks_) {
    yLo_ = ylo, yHi_ = yhi, yTicks_ = ticks;
    yAxis_->setRange(ylo, yhi);
    yAxis_->setTickCount(ticks);
  }
}

void TsGraph::resizeEvent(QResizeEvent *event) {
  QChartView::resizeEvent(event);
  // A wide, low graph keeps its height for the plot: its legend goes beside it.
  const Qt::Alignment side = width() > 2 * height() ? Qt::AlignRight : Qt::AlignTop;
  if (chart_->legend()->alignment() != side) chart_->legend()->setAlignment(side);
  if (dataYHi_ >= dataYLo_) applyYRange();
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

void TsTable::setBlankCells(const QString &s) {
  blankCells_ = s;
  blankRanges_.clear();
  for (const QString &entry : s.split(';', Qt::SkipEmptyParts)) {
    QStringList rc = entry.split(',');
    if (rc.size() != 2) continue;
    QStringList rows = rc[0].split('-');
    bool ok1 = false, ok2 = false, ok3 = false;
    int first = rows[0].trimmed().toInt(&ok1);
    int last = rows.size() > 1 ? rows[1].trimmed().toInt(&ok2) : (ok2 = true, first);
    int col = rc[1].trimmed().toInt(&ok3);
    if (ok1 && ok2 && ok3 && rows.size() <= 2 && first >= 1 && last >= first && col >= 1)
      blankRanges_.push_back({first - 1, last - 1, col - 1});
  }
  for (int r = 0; r < rowCount(); ++r)
    for (int c = 0; c < columnCount(); ++c)
      if (QTableWidgetItem *it = item(r, c); it && isBlank(r, c)) it->setText(QString());
}

bool TsTable::isBlank(int row, int col) const {
  for (const CellRange &b : blankRanges_)
    if (col == b.column && row >= b.firstRow && row <= b.lastRow) return true;
  return false;
}

// Columns stretch to equal widths: each must hold the widest header and the widest number.
int TsTable::columnWidthNeeded() const {
  int w = std::max(64, textWidth_ > 0 ? textWidth_ + 12 : 0);
  for (int c = 0; c < columnCount(); ++c)
    if (!isColumnHidden(c)) w = std::max(w, horizontalHeader()->sectionSizeHint(c));
  return w;
}

QSize TsTable::sizeHint() const {
  int rowH = verticalHeader()->defaultSectionSize();
  int shown = 0;
  for (int r = 0; r < rowCount(); ++r) shown += !isRowHidden(r);
  int rows = std::min(shown, 64);
  int h = horizontalHeader()->sizeHint().height() + rows * rowH + 2 * frameWidth();
  return {minimumSizeHint().width(), h};
}

QSize TsTable::minimumSizeHint() const {
  int columns = 0;
  for (int c = 0; c < columnCount(); ++c) columns += !isColumnHidden(c);
  int w = verticalHeader()->sizeHint().width() + 2 * frameWidth() + columns * columnWidthNeeded();
  // A long table may need its scroll bar: room for it is kept so that it never covers numbers.
  if (rowCount() > 16) w += verticalScrollBar()->sizeHint().width();
  // A short table shows all its rows; a long one may be cut to a few and scroll.
  int rowH = verticalHeader()->defaultSectionSize();
  int shown = 0;
  for (int r = 0; r < rowCount(); ++r) shown += !isRowHidden(r);
  int rows = rowCount() > 16 ? std::min(shown, 4) : shown;
  return {w, horizontalHeader()->sizeHint().height() + rows * rowH + 2 * frameWidth()};
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
  // The table keeps to its rows: the room left goes to its neighbours, not to an empty
  // stretch of grid. Where the rows do not fit, it scrolls.
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
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
  int widest = textWidth_;
  for (size_t k = 0; k < n; ++k) {
    double v = cells[k];
    // Bitwise comparison: a NaN that stays NaN is not redrawn either.
    if (!fresh_[k] && std::bit_cast<uint64_t>(v) == std::bit_cast<uint64_t>(shown_[k])) continue;
    fresh_[k] = false;
    shown_[k] = v;
    int r = int(k / cols), c = int(k % cols);
    if (isBlank(r, c)) continue;
    QString text = formatValue(v);
    if (!isRowHidden(r) && !isColumnHidden(c))
      widest = std::max(widest, fontMetrics().horizontalAdvance(text));
    item(r, c)->setText(text);
  }
  if (widest > textWidth_) {
    // A longer number than before: the layout makes room rather than cutting it short.
    textWidth_ = widest;
    updateGeometry();
  }
}

QString TsTable::cellText(int row, int col) const {
  const QTableWidgetItem *it = item(row, col);
  return it ? it->text() : QString();
}

// ---------------------------------------------------------------- TsDoubleSpinBox

void TsDoubleSpinBox::setDisplayIntegerBase(int base) {
  base_ = base >= 2 && base <= 36 ? base : 10;
  setPrefix(prefix());  // redraws the text
}

QString TsDoubleSpinBox::textFromValue(double value) const {
  constexpr double kLimit = 9007199254740992.0;  // whole numbers exact in a double
  if (base_ == 10 || !(value >= 0 && value <= kLimit)) return QDoubleSpinBox::textFromValue(value);
  int digits = 1;
  if (maximum() >= 0 && maximum() <= kLimit)
    digits = static_cast<int>(QString::number(static_cast<qulonglong>(maximum()), base_).size());
  return QString::number(static_cast<qulonglong>(std::llround(value)), base_)
      .toUpper()
      .rightJustified(digits, QLatin1Char('0'));
}

bool TsDoubleSpinBox::parse(const QString &input, double &value) const {
  QString t = input;
  if (!prefix().isEmpty() && t.startsWith(prefix())) t.remove(0, prefix().size());
  if (!suffix().isEmpty() && t.endsWith(suffix())) t.chop(suffix().size());
  bool ok = false;
  qulonglong v = t.trimmed().toULongLong(&ok, base_);
  value = static_cast<double>(v);
  return ok;
}

double TsDoubleSpinBox::valueFromText(const QString &text) const {
  if (base_ == 10) return QDoubleSpinBox::valueFromText(text);
  double v = 0;
  return parse(text, v) ? v : minimum();
}

QValidator::State TsDoubleSpinBox::validate(QString &input, int &pos) const {
  if (base_ == 10) return QDoubleSpinBox::validate(input, pos);
  QString t = input;
  if (!prefix().isEmpty() && t.startsWith(prefix())) t.remove(0, prefix().size());
  if (t.trimmed().isEmpty()) return QValidator::Intermediate;
  double v = 0;
  if (!parse(input, v)) return QValidator::Invalid;
  return v >= minimum() && v <= maximum() ? QValidator::Acceptable : QValidator::Invalid;
}

// ---------------------------------------------------------------- TsTimer

TsTimer::TsTimer(QWidget *parent) : QWidget(parent) {
  QWidget::setVisible(false);
  setAttribute(Qt::WA_TransparentForMouseEvents);
}
