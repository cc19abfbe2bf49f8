// The history page of the desktop program: the runs of the results store in a table (card,
// start, bench or tunnel, verdict, failed lines) under a filter row (dates included), the report
// of a run opened by a double click or Enter, and below a chart of one check across the runs,
// placed by their start dates: a measured value with its limits, or, for a check of a status
// bit, whether it passed. A second tab charts the first-pass yield of the filtered runs by day,
// week or station. Everything is read through the store's questions; the page holds no SQL.
//
// The page reads what it shows, whatever the size of the store: the runs a page at a time (the
// next page when the table is scrolled to its end), the names of the checks from the store's
// name index, the values of the chosen check only (of its newest lines, kChartValues at most).
// Every question goes to a worker with a connection of its own (store_worker.h); the page says
// "loading…" until the answer is there and stays responsive meanwhile.
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "gui/store_worker.h"
#include "history/store.h"

QT_BEGIN_NAMESPACE
class QBarSeries;
class QBarCategoryAxis;
class QCategoryAxis;
class QChart;
class QChartView;
class QCheckBox;
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
  // Asks `store`'s location on a connection of its own.
  explicit HistoryWindow(history::Store &store, QWidget *parent = nullptr);
  ~HistoryWindow() override;

  // Runs in the table's first page, and in each further one.
  static constexpr int kPageRows = 500;
  // Values in the chart of a check at most: those of its newest lines in the filter's runs.
  static constexpr int kChartValues = 1000;

  // Reads the runs of the filter and the names of the checks with values again; the chosen
  // check stays chosen while the store still has it.
  void refresh();
  // Whether an answer of the store is still awaited.
  bool loading() const { return !waiting_.empty(); }
  // Asks for the table's next page when there is one.
  void loadMore();
  // How many runs the filter selects (the table holds the first pages of them).
  long long runCount() const { return total_; }
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
  QCheckBox *yieldPartialRuns() const { return yieldPartial_; }
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
  enum Slot { RunsSlot, MoreSlot, NamesSlot, ChartSlot, YieldSlot, Slots };
  // Asks on the worker; `apply` runs here with the answer unless a newer question of the slot
  // was asked meanwhile.
  template <class Answer>
  void ask(Slot slot, std::function<Answer(history::Store &)> question,
           std::function<void(Answer &)> apply);
  void appendRuns(std::vector<history::RunRow> rows);
  void showStatus();
  void showChart();
  void drawChart(const std::string &name, const std::vector<history::ValueRow> &rows,
                 const std::string &error);
  void showYield();
  void drawYield(const std::vector<history::YieldRow> &rows, const std::string &error);

  std::unique_ptr<StoreWorker> worker_;
  std::array<long long, Slots> asked_ = {};
  std::set<int> waiting_;
  long long total_ = 0;
  std::string error_;
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
  QCheckBox *yieldPartial_ = nullptr;
  QChart *yieldChart_ = nullptr;
  QBarSeries *yieldBars_ = nullptr;
  QBarCategoryAxis *yieldGroupsAxis_ = nullptr;
  QValueAxis *yieldAxis_ = nullptr;
  QLabel *yieldNote_ = nullptr;
  history::Filter filter_;
  std::vector<history::RunRow> runs_;
};

}  // namespace gui
