// The history page of the desktop program: the runs of the results store in a table (card,
// start, bench or tunnel, verdict, failed lines) under a filter row (dates included), the report
// of a run opened by a double click or Enter, and below a chart of one check across the runs,
// placed by their start dates: a measured value with its limits, or, for a check of a status
// bit, whether it passed. A second tab charts the first-pass yield of the filtered runs by day,
// week or station. Everything is read through the store's questions; the page holds no SQL.
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <vector>

#include "history/store.h"

QT_BEGIN_NAMESPACE
class QBarSeries;
class QBarCategoryAxis;
class QCategoryAxis;
class QChart;
class QChartView;
class QComboBox;
class QDate;
class QDateEdit;
class QDateTimeAxis;
class QLabel;
class QLineEdit;
class QTabWidget;
class QTableWidget;
class QValueAxis;
class QXYSeries;
QT_END_NAMESPACE

namespace gui {

class HistoryWindow : public QWidget {
  Q_OBJECT

 public:
  explicit HistoryWindow(history::Store &store, QWidget *parent = nullptr);

  // Reads the runs of the filter and the names of the checks with values again; the chosen
  // check stays chosen while the store still has it.
  void refresh();
  // Opens the report of the table's row in the desktop's viewer; a report no longer on disk
  // is said in a message box naming its path. False when nothing was opened.
  bool openReport(int row);
  // Shows the chart of the check with this name (one of checkBox()'s entries).
  void chooseCheck(const QString &name);

  QLineEdit *cardFilter() const { return card_; }
  QComboBox *verdictFilter() const { return verdict_; }
  QLineEdit *checkFilter() const { return checkText_; }
  QLineEdit *stationFilter() const { return station_; }
  QLineEdit *boardFilter() const { return board_; }
  // The first and last start dates shown; at their lowest date they say "any" (no bound).
  QDateEdit *fromFilter() const { return from_; }
  QDateEdit *toFilter() const { return to_; }
  QTableWidget *table() const { return table_; }
  QComboBox *checkBox() const { return checks_; }
  QChartView *chartView() const { return chartView_; }
  // The series of the chart, x being the run's start in milliseconds since 1970 (UTC). The
  // measured values, and the low and high limits (null for a check of a status bit, before a
  // check is chosen or for a limit the store does not know); the runs whose line passed and
  // those whose line failed (at their value, or at 1 and 0 for a status bit).
  QXYSeries *valueSeries() const { return values_; }
  QXYSeries *lowSeries() const { return low_; }
  QXYSeries *highSeries() const { return high_; }
  QXYSeries *passedSeries() const { return passed_; }
  QXYSeries *failedSeries() const { return failed_; }
  // The first-pass yield chart: how its groups are made (day, week, station), its bars (the
  // percentage of boards that passed their first run in the group) and their groups.
  QComboBox *yieldGrouping() const { return yieldBy_; }
  QBarSeries *yieldSeries() const { return yieldBars_; }
  QStringList yieldGroups() const;
  QTabWidget *charts() const { return charts_; }
  // Whether the chosen check is shown as passed/failed rather than by value.
  bool chartIsPassFail() const { return passFail_; }
  // A run's start ("2026-12-07T10:13:53.120+01:00") as the chart places it.
  static qint64 chartTime(const std::string &start);
  // What the status line under the filters says (a filter that cannot be used, a store error,
  // the number of runs).
  QString status() const;

  // How a report is opened and how a problem is told; tests put their own in.
  std::function<bool(const QUrl &)> openUrl;
  std::function<void(const QString &title, const QString &text)> tell;

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  void showChart();
  void showYield();

  history::Store &store_;
  QLineEdit *card_ = nullptr, *checkText_ = nullptr;
  QLineEdit *station_ = nullptr, *board_ = nullptr;
  QDateEdit *from_ = nullptr, *to_ = nullptr;
  QComboBox *verdict_ = nullptr, *checks_ = nullptr;
  QLabel *status_ = nullptr;
  QTableWidget *table_ = nullptr;
  QChartView *chartView_ = nullptr;
  QChart *chart_ = nullptr;
  QDateTimeAxis *xAxis_ = nullptr;
  QValueAxis *yAxis_ = nullptr;
  QCategoryAxis *passAxis_ = nullptr;
  QXYSeries *values_ = nullptr, *low_ = nullptr, *high_ = nullptr;
  QXYSeries *passed_ = nullptr, *failed_ = nullptr;
  bool passFail_ = false;
  QTabWidget *charts_ = nullptr;
  QComboBox *yieldBy_ = nullptr;
  QChart *yieldChart_ = nullptr;
  QBarSeries *yieldBars_ = nullptr;
  QBarCategoryAxis *yieldGroupsAxis_ = nullptr;
  QValueAxis *yieldAxis_ = nullptr;
  QLabel *yieldNote_ = nullptr;
  history::Filter filter_;
  std::vector<history::RunRow> runs_;
};

}  // namespace gui
