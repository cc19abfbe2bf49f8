// The lab's questions and the operator's daily paths on large results stores, on both backends.
// A generator fills each store once (kept between runs of the program): runs of 160 result lines
// in 10 steps, 8 stations, each board tested three times, starts spread over a year; each line
// has the check name the store would give its text (CheckName).
//
//   export TESSOCK_BENCH_RUNS=1000,10000,100000
//   export TESSOCK_BENCH_PG='postgresql:///postgres?host=DIR&user=tessock'
//   build/bench_store_questions
// (tests/support/pg_server.sh start DIR gives such a server). TESSOCK_BENCH_RUNS is a list of
// store sizes (default 10000); without TESSOCK_BENCH_PG only the SQLite stores are measured.
// The 100,000-run stores take a long while to generate: that is done once, by hand, not in CI.
//
// The paths: the run start's step-time estimate (a connection of its own, as the bench asks
// it), the run end's final write, the history page opened (count, first page of runs, check
// names, first-pass yield, the chart's newest values of one check) and each of its filters (card,
// board, dates, check text, verdict), one board's history, yield by week and by station, failures,
// values of one check, and the JUnit export of one month.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "functest/report.h"
#include "history/questions.h"
#include "history/store.h"
#include "rt/format.h"

namespace {

namespace fs = std::filesystem;

constexpr int kLines = 160, kSteps = 10, kStations = 8;

std::vector<int> runCounts() {
  std::vector<int> out;
  const char *n = std::getenv("TESSOCK_BENCH_RUNS");
  for (const char *p = n ? n : ""; *p;) {
    char *end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (end == p) break;
    if (v > 0) out.push_back(static_cast<int>(v));
    p = *end == ',' ? end + 1 : end;
  }
  if (out.empty()) out.push_back(10000);
  return out;
}

std::string board(int run) { return rt::format("BRD-%016d", run / 3); }

// The lines of the runs with ids ?1 to ?2, made on a server: as the generator makes them below.
constexpr const char *kServerLines =
    "INSERT INTO results(run_id, step_id, line, state, step, check_text, check_name, passed, "
    "weight, clock, value, unit, low, high) SELECT id, id * 10 + l / 16, l + 1, 1, 'STEP', "
    "'CHECK_' || (l / 8) || ' CH' || (l % 8) || ' : ' || to_char(value, 'FM990.00') || ' [pA]', "
    "'CHECK_' || (l / 8) || ' CH' || (l % 8) || ' : # [pA]', CASE WHEN verdict = 'FAILED' AND l = "
    "17 THEN 0 ELSE 1 END, 1, l * 1.0, value, 'pA', 0.0, 20.0 FROM (SELECT runs.id, "
    "runs.verdict, l, 10.0 + ((runs.id - 1) % 8) * 0.1 + (random() * 2 - 1) AS value FROM runs "
    "CROSS JOIN generate_series(0, 159) AS l WHERE runs.id BETWEEN ?1 AND ?2) AS made";

// Fills an empty store; false with a message on an error.
bool generate(const std::string &location, int runs, std::string &error) {
  {
    history::Store store(location);
    std::vector<std::string> said;
    if (!store.setUp(said, error)) return false;
  }
  history::Database db;
  if (!db.open(location, history::Database::Mode::Write, 5000, error)) return false;
  // A store half made is made again from the start: nothing of it need reach the disk early.
  if (!db.isServer()) db.exec("PRAGMA synchronous = OFF", error);
  error.clear();
  std::mt19937 random(317);
  std::uniform_real_distribution<double> noise(-1.0, 1.0);
  constexpr int kRows = 40;  // result rows per INSERT
  std::string resultSql =
      "INSERT INTO results(run_id, step_id, line, state, step, check_text, "
      "check_name, passed, weight, clock, value, unit, low, high) VALUES";
  for (int r = 0; r < kRows; ++r) {
    resultSql += r ? ", (" : " (";
    for (int c = 1; c <= 14; ++c) resultSql += rt::format("%s?%d", c > 1 ? ", " : "", r * 14 + c);
    resultSql += ")";
  }
  const auto t0 = std::chrono::steady_clock::now();
  for (int first = 0; first < runs; first += 200) {
    history::Transaction tx(db);
    if (!tx.ok()) return (error = tx.error()), false;
    history::Statement run = db.prepare(
        "INSERT INTO runs(id, variant, start, card, board_barcode, pcb_version, report, program, "
        "origin, finished, verdict, error_counts, how, station) VALUES(?1, 'bench', ?2, ?3, ?4, 7, "
        "?5, 'tessock 0.1.0', 'live', 1, ?6, ?7, 'ended', ?8)",
        error);
    history::Statement step = db.prepare(
        "INSERT INTO steps(id, run_id, state, title, clock) VALUES(?1, ?2, ?3, ?4, ?5)", error);
    history::Statement results = db.prepare(resultSql, error);
    if (!run || !step || !results) return false;
    for (int k = first; k < std::min(runs, first + 200); ++k) {
      const long long id = k + 1;
      const int day = k * 365 / runs;
      const std::string start = rt::format("2026-%02d-%02dT%02d:%02d:00+01:00", 1 + day / 31 % 12,
                                           1 + day % 28, 8 + k % 10, k % 60);
      const bool failedRun = random() % 10 == 0;
      run.bind(1, id).bind(2, start).bind(3, static_cast<long long>(k / 3)).bind(4, board(k));
      run.bind(5, rt::format("/bench/r_DN_%d_%d.txt", k / 3, k % 3));
      run.bind(6, std::string(failedRun ? "FAILED" : "PASSED")).bind(7, failedRun ? 1.0 : 0.0);
      run.bind(8, rt::format("bench-%d", k % kStations));
      if (!run.run()) return (error = run.error()), false;
      for (int s = 0; s < kSteps; ++s) {
        step.bind(1, id * kSteps + s).bind(2, id).bind(3, static_cast<long long>(s));
        step.bind(4, rt::format("STEP %d", s)).bind(5, s * 100.0);
        if (!step.run()) return (error = step.error()), false;
      }
      for (int line = 0; line < kLines && !db.isServer(); line += kRows) {
        for (int r = 0; r < kRows; ++r) {
          const int l = line + r, p = r * 14;
          const double value = 10.0 + (k % kStations) * 0.1 + noise(random);
          const bool passed = !(failedRun && l == 17);
          results.bind(p + 1, id).bind(p + 2, id * kSteps + l / (kLines / kSteps));
          results.bind(p + 3, static_cast<long long>(l + 1)).bind(p + 4, 1LL);
          results.bind(p + 5, std::string("STEP"));
          const std::string text = rt::format("CHECK_%d CH%d : %.2f [pA]", l / 8, l % 8, value);
          results.bind(p + 6, text).bind(p + 7, history::CheckName(text));
          results.bind(p + 8, passed ? 1LL : 0LL).bind(p + 9, 1LL).bind(p + 10, l * 1.0);
          results.bind(p + 11, value).bind(p + 12, std::string("pA")).bind(p + 13, 0.0);
          results.bind(p + 14, 20.0);
        }
        if (!results.run()) return (error = results.error()), false;
      }
    }
    // A server makes the lines of the batch's runs itself (the same lines, its own noise):
    // sent one by one they took the most time.
    if (db.isServer()) {
      history::Statement lines = db.prepare(kServerLines, error);
      if (!lines) return false;
      lines.bind(1, static_cast<long long>(first + 1));
      lines.bind(2, static_cast<long long>(std::min(runs, first + 200)));
      if (!lines.run()) return (error = lines.error()), false;
    }
    if (!tx.commit()) return (error = tx.error()), false;
  }
  // As the server's autovacuum would soon: the counts of a run's lines read the index alone
  // only once the table's pages are marked all-visible.
  if (db.isServer() && !db.exec("VACUUM ANALYZE", error)) return false;
  std::printf("generated %d runs (%d result lines) in %s in %.1f s\n", runs, runs * kLines,
              history::ShownLocation(location).c_str(),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  return true;
}

// The store of `runs` runs on a backend, generated when it is not there whole.
std::string prepared(const std::string &backend, int runs) {
  std::string location;
  if (backend == "sqlite") {
    const fs::path dir = fs::temp_directory_path() / "tessock_bench_store";
    fs::create_directories(dir);
    location = (dir / rt::format("store2_%d.sqlite", runs)).string();
  } else {
    std::string base = std::getenv("TESSOCK_BENCH_PG");
    const std::string name = rt::format("bench_store2_%d", runs);
    history::Database admin;
    std::string error;
    if (admin.open(base, history::Database::Mode::Write, 5000, error))
      admin.exec("CREATE DATABASE " + name, error);  // fails harmlessly when it is there
    location = base.replace(base.find("/postgres?"), 10, "/" + name + "?");
  }
  history::Store store(location);
  std::string error;
  const auto existing = store.runs({.board = board(runs - 1)}, error);
  store.close();
  if (error.empty() && !existing.empty()) {
    // A store of before the step-time index gets it (as the bench's next writable open would).
    std::string ignored;
    store.open(ignored);
    store.close();
    // The generator gives the ids itself: the server's identities are moved past them, so that
    // the runs the bench stores live get ids of their own.
    history::Database db;
    if (backend != "sqlite" && db.open(location, history::Database::Mode::Write, 5000, ignored))
      for (const char *table : {"runs", "steps", "results"})
        db.exec(rt::format("SELECT setval(pg_get_serial_sequence('%s', 'id'), (SELECT MAX(id) "
                           "FROM %s))",
                           table, table),
                ignored);
    return location;
  }
  // A store half made (a generator stopped midway) is made again from the start.
  if (backend == "sqlite") {
    fs::remove(location);
  } else {
    std::string base = std::getenv("TESSOCK_BENCH_PG");
    const std::string name = rt::format("bench_store2_%d", runs);
    history::Database admin;
    // Each on its own: neither may run inside a transaction.
    if (admin.open(base, history::Database::Mode::Write, 5000, error) &&
        !(admin.exec("DROP DATABASE IF EXISTS " + name, error) &&
          admin.exec("CREATE DATABASE " + name, error))) {
      std::fprintf(stderr, "postgresql: %s\n", error.c_str());
      std::exit(1);
    }
  }
  if (!generate(location, runs, error)) {
    std::fprintf(stderr, "%s: %s\n", backend.c_str(), error.c_str());
    std::exit(1);
  }
  return prepared(backend, runs);  // found whole now, and made ready as such
}

// The month the JUnit export takes: March, with about a twelfth of the runs.
constexpr const char *kMonthFrom = "2026-03-01", *kMonthTo = "2026-03-31";
constexpr const char *kCheck = "CHECK_7 CH3 : # [pA]";
constexpr size_t kChartValues = 1000;  // as the history page's chart asks them

void question(benchmark::State &state, const std::string &location, int runs,
              const std::string &what) {
  history::Store store(location);
  std::string error;
  int k = 0;
  for (auto _ : state) {
    size_t rows = 0;
    const int some = (k++ * 7919) % runs;
    if (what == "estimate") {
      // As the bench asks it: a connection of its own, opened and closed.
      history::Store own(location);
      rows = own.stepSeconds(error).size();
    } else if (what == "page_open") {
      // What the history page asks when it opens: the count, its first page, the check names,
      // the yield by week and the values of the chosen check.
      rows = static_cast<size_t>(store.countRuns({}, error));
      rows += store.runs({}, 0, 500, error).size();
      rows += store.checkNames(error).size();
      rows += store.yield({}, history::YieldBy::Week, error).size();
      rows += store.newestValues(kCheck, {}, kChartValues, error).size();
    } else if (what.rfind("filter_", 0) == 0) {
      history::Filter f;
      if (what == "filter_card") f.card = some / 3;
      if (what == "filter_board") f.board = board(some);
      if (what == "filter_dates") f = {.from = "2026-06-01", .to = "2026-06-07"};
      if (what == "filter_check") f.check = "CHECK_19 CH7";   // the lines' texts read
      if (what == "filter_check_word") f.check = "CHECK_19";  // the names decide
      if (what == "filter_verdict") f.verdict = "FAILED";
      rows = static_cast<size_t>(store.countRuns(f, error));
      rows += store.runs(f, 0, 500, error).size();
      store.yield(f, history::YieldBy::Week, error);
      store.newestValues(kCheck, f, kChartValues, error);
    } else if (what == "board") {
      rows = store.runs({.board = board(some)}, error).size();
    } else if (what == "card") {
      rows = store.runs({.card = some / 3}, error).size();
    } else if (what == "yield_week") {
      rows = store.yield({}, history::YieldBy::Week, error).size();
    } else if (what == "yield_station") {
      rows = store.yield({}, history::YieldBy::Station, error).size();
    } else if (what == "failures") {
      rows = store.failures({}, error).size();
    } else if (what == "values") {
      rows = store.values("CHECK_7 CH3 ", {}, error).size();
    } else if (what == "junit_month") {
      const auto month = store.runs({.from = kMonthFrom, .to = kMonthTo}, error);
      if (error.empty()) rows = history::JUnitXml(store, month, error).size();
    }
    if (!error.empty() || rows == 0) state.SkipWithError(error.empty() ? "no rows" : error.c_str());
    benchmark::DoNotOptimize(rows);
  }
}

// The run's end as the bench's writer stores it: a run of one step and one line is begun (not
// timed), then its end is written.
void runEnd(benchmark::State &state, const std::string &location) {
  history::Store store(location);
  std::string error;
  if (!store.open(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  functest::RunInfo info;
  info.variant = "bench";
  info.cardNumber = 999999;
  const std::string step = "STEP 0", check = "CHECK 0 CH0 : 1.00 [pA]";
  const long long stamp = std::chrono::system_clock::now().time_since_epoch().count();
  int k = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string report = rt::format("/bench/end_%lld_%d.txt", stamp, k++);
    std::string r = store.runBegun({info, "2027-01-01T08:00:00+01:00", report, "bench", "bench-x"});
    if (r.empty()) r = store.stepBegun(99, step, 0);
    if (r.empty()) r = store.resultWritten({99, step, check, true, 1, 1.0, nullptr});
    state.ResumeTiming();
    if (r.empty()) r = store.runEnded({0, false, "", 2.0, "PASSED"});
    if (!r.empty()) {
      state.SkipWithError(r.c_str());
      break;
    }
  }
  // The runs of the measure leave again, so that the store stays what the generator made: their
  // lines and steps first, by run (the foreign keys' own checks would scan every line for each
  // step, the results having no index on step_id; on the server they are set aside for this).
  history::Database db;
  const std::string mine = "(SELECT id FROM runs WHERE card = 999999)";
  if (db.open(location, history::Database::Mode::Write, 5000, error))
    db.exec(std::string(db.isServer() ? "SET session_replication_role = replica; " : "") +
                "DELETE FROM results WHERE run_id IN " + mine +
                "; DELETE FROM steps WHERE run_id IN " + mine +
                "; DELETE FROM runs WHERE card = 999999;",
            error);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::string> backends = {"sqlite"};
  if (std::getenv("TESSOCK_BENCH_PG")) backends.push_back("postgresql");
  for (const int runs : runCounts())
    for (const std::string &backend : backends) {
      const std::string location = prepared(backend, runs);
      const std::string prefix = backend + "/" + std::to_string(runs) + "/";
      for (const char *what :
           {"estimate", "page_open", "filter_card", "filter_board", "filter_dates", "filter_check",
            "filter_check_word", "filter_verdict", "board", "card", "yield_week", "yield_station",
            "failures", "values", "junit_month"})
        benchmark::RegisterBenchmark((prefix + what).c_str(), question, location, runs,
                                     std::string(what))
            ->Unit(benchmark::kMillisecond);
      // A fixed number of ends: each leaves a run behind until the measure is over.
      benchmark::RegisterBenchmark((prefix + "run_end").c_str(), runEnd, location)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(50);
    }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
