// The desktop's history page on a large results store: how long each of its answers takes to
// arrive, how late the window's own events run meanwhile (a timer probe on the window's thread,
// every 5 ms), and the program's memory with the page open.
//
//   TESSOCK_BENCH_STORE=/tmp/tessock_bench_store/store2_10000.sqlite build/bench_history_page
// (a store made by bench_store_questions; a postgresql:// URI is asked the same way). Runs on
// the offscreen platform unless QT_QPA_PLATFORM says otherwise. Counters: probe_max_ms (the
// latest a probe tick ran while the answer was awaited), probe_ticks, rss_mb and peak_rss_mb
// (VmRSS and VmHWM of the program after the answer).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTableWidget>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "gui/history_window.h"

namespace {

// A field of /proc/self/status in MB ("VmRSS", "VmHWM").
double statusMb(const std::string &field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::atof(line.c_str() + field.size() + 1) / 1024;
  return 0;
}

struct Page {
  history::Store store;
  std::unique_ptr<gui::HistoryWindow> window;
  explicit Page(const std::string &location) : store(location) {
    window = std::make_unique<gui::HistoryWindow>(store);
    window->show();
  }
};

Page *page = nullptr;

// Does `act` and runs the window's events until every answer is there, probing them.
void measure(benchmark::State &state, const std::function<void(gui::HistoryWindow &)> &act) {
  double worst = 0;
  long long ticks = 0;
  for (auto _ : state) {
    QElapsedTimer clock;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
      const double late = clock.nsecsElapsed() / 1e6 - 5;
      worst = std::max(worst, late);
      ++ticks;
      clock.restart();
    });
    clock.start();
    probe.start();
    act(*page->window);
    // Until the answers are there: at most 5 minutes.
    QElapsedTimer total;
    total.start();
    while ((page->window->loading() || total.elapsed() < 10) && total.elapsed() < 300000)
      QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    probe.stop();
    if (page->window->loading()) state.SkipWithError("no answer within 5 minutes");
  }
  state.counters["probe_max_ms"] = worst;
  state.counters["probe_ticks"] = static_cast<double>(ticks);
  state.counters["rss_mb"] = statusMb("VmRSS");
  state.counters["peak_rss_mb"] = statusMb("VmHWM");
  state.counters["runs"] = static_cast<double>(page->window->runCount());
}

void clearFilters(gui::HistoryWindow &w) {
  for (QLineEdit *e : {w.cardFilter(), w.checkFilter(), w.stationFilter(), w.boardFilter()})
    e->clear();
  w.verdictFilter()->setCurrentIndex(0);
  w.fromFilter()->setDate(w.fromFilter()->minimumDate());
  w.toFilter()->setDate(w.toFilter()->minimumDate());
}

void registerAll() {
  using W = gui::HistoryWindow;
  const std::vector<std::pair<const char *, std::function<void(W &)>>> steps = {
      {"page_open", [](W &w) { w.refresh(); }},
      {"chart_of_a_check",
       [](W &w) {
         const int k = w.checkBox()->findText("CHECK_7 CH3", Qt::MatchContains);
         w.chooseCheck(w.checkBox()->itemText(std::max(0, k)));
       }},
      {"next_page", [](W &w) { w.loadMore(); }},
      {"filter_card",
       [](W &w) {
         w.cardFilter()->setText("1234");
         w.refresh();
       }},
      {"filter_board",
       [](W &w) {
         clearFilters(w);
         w.boardFilter()->setText("BRD-0000000000001234");
         w.refresh();
       }},
      {"filter_dates",
       [](W &w) {
         clearFilters(w);
         w.fromFilter()->setDate(QDate(2026, 6, 1));
         w.toFilter()->setDate(QDate(2026, 6, 7));
       }},
      {"filter_check",
       [](W &w) {
         clearFilters(w);
         w.checkFilter()->setText("CHECK_19 CH7");
         w.refresh();
       }},
      {"filter_verdict",
       [](W &w) {
         clearFilters(w);
         w.verdictFilter()->setCurrentText("FAILED");
       }},
      {"filters_cleared", [](W &w) { clearFilters(w); }},
  };
  for (const auto &[name, act] : steps)
    benchmark::RegisterBenchmark(name, [act](benchmark::State &s) { measure(s, act); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1);
}

}  // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  const char *location = std::getenv("TESSOCK_BENCH_STORE");
  Page p(location ? location : "/tmp/tessock_bench_store/store2_10000.sqlite");
  page = &p;
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  page = nullptr;
  return 0;
}
