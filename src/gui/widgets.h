// The instrument widgets the panel files use beside the stock Qt widgets: a status light, a
// graph of plots on Qt Charts, a numeric table and an invisible timer placeholder.
//
// Designer properties (set in the .ui files, dynamic properties with stdset="0" work too):
//   TsLed    on (bool), onColor, offColor (colours), text (label drawn right of the lamp)
//   TsGraph  title, xLabel, yLabel (strings)
//   TsTable  rows, columns (int), columnLabels, rowLabels (';'-separated), decimals (int, -1:
//            integers plain, other numbers with up to 6 significant digits), hiddenColumns,
//            hiddenRows (';'-separated numbers from 1: cells the program keeps but nobody reads),
//            blankCells (';'-separated "row,column" or "firstRow-lastRow,column", from 1: cells
//            the program never writes, left empty rather than showing a 0)
//   TsTimer  interval (seconds), timerEnabled (bool); never shown
//
// Every QDoubleSpinBox of a panel file is created as a TsDoubleSpinBox, which adds
// displayIntegerBase (as on QSpinBox) for whole numbers beyond the range of an int.
#pragma once

#include <QColor>
#include <QDoubleSpinBox>
#include <QList>
#include <QPointF>
#include <QString>
#include <QTableWidget>
#include <QWidget>
#include <QtCharts/QChartView>
#include <string>
#include <vector>

#include "rt/runtime.h"

QT_BEGIN_NAMESPACE
class QChart;
class QLineSeries;
class QValueAxis;
QT_END_NAMESPACE

class TsLed : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool on READ isOn WRITE setOn)
  Q_PROPERTY(QColor onColor READ onColor WRITE setOnColor)
  Q_PROPERTY(QColor offColor READ offColor WRITE setOffColor)
  Q_PROPERTY(QString text READ text WRITE setText)

 public:
  explicit TsLed(QWidget *parent = nullptr);

  bool isOn() const { return on_; }
  void setOn(bool on);
  QColor onColor() const { return onColor_; }
  void setOnColor(const QColor &c);
  // The off colour defaults to a dark shade of the on colour.
  QColor offColor() const { return offColor_.isValid() ? offColor_ : onColor_.darker(400); }
  void setOffColor(const QColor &c);
  QString text() const { return text_; }
  void setText(const QString &t);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent *) override;

 private:
  bool on_ = false;
  QColor onColor_{40, 220, 70};
  QColor offColor_;
  QString text_;
};

class TsGraph : public QChartView {
  Q_OBJECT
  Q_PROPERTY(QString title READ title WRITE setTitle)
  Q_PROPERTY(QString xLabel READ xLabel WRITE setXLabel)
  Q_PROPERTY(QString yLabel READ yLabel WRITE setYLabel)

 public:
  explicit TsGraph(QWidget *parent = nullptr);

  QString title() const;
  void setTitle(const QString &t);
  QString xLabel() const;
  void setXLabel(const QString &t);
  QString yLabel() const;
  void setYLabel(const QString &t);

  // Shows the plots: series are reused and their data replaced, never rebuilt. With
  // `autoscale` the y axis follows the data, else it is locked to [yMin, yMax].
  void showPlots(const std::vector<rt::Plot> &plots, bool autoscale, double yMin, double yMax);
  int shownPlots() const { return shown_; }
  int seriesCount() const { return static_cast<int>(series_.size()); }

 protected:
  void resizeEvent(QResizeEvent *event) override;

 private:
  QLineSeries *seriesAt(int i);
  void updateLegend();
  // Sets the y axis to the last data range with as many ticks as its height has room for.
  void applyYRange();
  int yIntervalsRoom() const;

  QChart *chart_ = nullptr;
  QValueAxis *xAxis_ = nullptr;
  QValueAxis *yAxis_ = nullptr;
  std::vector<QLineSeries *> series_;
  std::vector<std::string> legends_;  // the legend text of each series, as last shown
  QList<QPointF> points_;             // reused buffer
  int shown_ = 0;
  double xLo_ = 0, xHi_ = 1, yLo_ = 0, yHi_ = 1;
  int yTicks_ = 0;
  double labelLine_ = 12;             // the height of a line of the axis labels' font
  double dataYLo_ = 1, dataYHi_ = 0;  // the y range asked for by the last plots (none: lo > hi)
  bool lockedY_ = false;
};

class TsTable : public QTableWidget {
  Q_OBJECT
  Q_PROPERTY(int rows READ rows WRITE setRows)
  Q_PROPERTY(int columns READ columns WRITE setColumns)
  Q_PROPERTY(QString columnLabels READ columnLabels WRITE setColumnLabels)
  Q_PROPERTY(QString rowLabels READ rowLabels WRITE setRowLabels)
  Q_PROPERTY(int decimals READ decimals WRITE setDecimals)
  Q_PROPERTY(QString hiddenColumns READ hiddenColumns WRITE setHiddenColumns)
  Q_PROPERTY(QString hiddenRows READ hiddenRows WRITE setHiddenRows)
  Q_PROPERTY(QString blankCells READ blankCells WRITE setBlankCells)

 public:
  explicit TsTable(QWidget *parent = nullptr);

  int rows() const { return rowCount(); }
  void setRows(int n);
  int columns() const { return columnCount(); }
  void setColumns(int n);
  QString columnLabels() const { return columnLabels_; }
  void setColumnLabels(const QString &s);
  QString rowLabels() const { return rowLabels_; }
  void setRowLabels(const QString &s);
  int decimals() const { return decimals_; }
  void setDecimals(int d) { decimals_ = d; }
  QString hiddenColumns() const { return hiddenColumns_; }
  void setHiddenColumns(const QString &s);
  QString hiddenRows() const { return hiddenRows_; }
  void setHiddenRows(const QString &s);
  QString blankCells() const { return blankCells_; }
  void setBlankCells(const QString &s);

  // Tall enough for all rows shown, wide enough for labels and numbers. The width grows with
  // the widest number shown, so that no number is ever cut short.
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // Shows row-major cells; only the cells whose value changed are redrawn.
  void showCells(int rows, int cols, const std::vector<double> &cells);
  QString cellText(int row, int col) const;  // from 0
  QString formatValue(double v) const;

 private:
  void applyLabels();
  bool isBlank(int row, int col) const;
  int columnWidthNeeded() const;
  QString columnLabels_, rowLabels_, hiddenColumns_, hiddenRows_, blankCells_;
  int decimals_ = -1;
  std::vector<double> shown_;
  std::vector<bool> fresh_;
  int shownRows_ = -1, shownCols_ = -1;
  int textWidth_ = 0;  // widest cell text shown so far
  struct CellRange {
    int firstRow, lastRow, column;  // from 0
  };
  std::vector<CellRange> blankRanges_;
};

class TsDoubleSpinBox : public QDoubleSpinBox {
  Q_OBJECT
  Q_PROPERTY(int displayIntegerBase READ displayIntegerBase WRITE setDisplayIntegerBase)

 public:
  explicit TsDoubleSpinBox(QWidget *parent = nullptr) : QDoubleSpinBox(parent) {}
  int displayIntegerBase() const { return base_; }
  // 2..36; another base than 10 shows whole numbers with as many digits as the maximum has.
  void setDisplayIntegerBase(int base);

 protected:
  QString textFromValue(double value) const override;
  double valueFromText(const QString &text) const override;
  QValidator::State validate(QString &input, int &pos) const override;

 private:
  bool parse(const QString &input, double &value) const;
  int base_ = 10;
};

// Stands in the panel for a timer control; the run-time does the timing.
class TsTimer : public QWidget {
  Q_OBJECT
  Q_PROPERTY(double interval READ interval WRITE setInterval)
  Q_PROPERTY(bool timerEnabled READ timerEnabled WRITE setTimerEnabled)

 public:
  explicit TsTimer(QWidget *parent = nullptr);
  double interval() const { return interval_; }
  void setInterval(double s) { interval_ = s; }
  bool timerEnabled() const { return enabled_; }
  void setTimerEnabled(bool e) { enabled_ = e; }
  void setVisible(bool) override { QWidget::setVisible(false); }

 private:
  double interval_ = 1.0;
  bool enabled_ = false;
};
