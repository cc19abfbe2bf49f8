// The lab's questions on a large results store, on both backends: every run of a board, the runs
// of a card, the yield by week and a check's values. A generator fills each store once (kept
// between runs of the program): TESSOCK_BENCH_RUNS runs (default 10000) of 160 result lines in
// 10 steps, 8 stations, each board tested three times, starts spread over a year.
//
//   TESSOCK_BENCH_PG=postgresql:///postgres?host=DIR&user=tessock build/bench_store_questions
// (tests/support/pg_server.sh start DIR gives such a server). Without TESSOCK_BENCH_PG only the
// SQLite store is measured.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "history/store.h"
#include "rt/format.h"

namespace {

namespace fs = std::filesystem;

constexpr int kLines = 160, kSteps = 10, kStations = 8;

int runCount() {
  const char *n = std::getenv("TESSOCK_BENCH_RUNS");
  return n && std::atoi(n) > 0 ? std::atoi(n) : 10000;
}

std::string board(int run) { return rt::format("BRD-%016d", run / 3); }

// Fills an empty store; false with a message on an error.
bool generate(const std::string &location, int runs, std::string &error) {
  {
    history::Store store(location);
    std::vector<std::string> said;
    if (!store.setUp(said, error)) return false;
  }
  history::Database db;
  if (!db.open(location, history::Database::Mode::Write, 5000, error)) return false;
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
      for (int line = 0; line < kLines; line += kRows) {
        for (int r = 0; r < kRows; ++r) {
          const int l = line + r, p = r * 14;
          const double value = 10.0 + (k % kStations) * 0.1 + noise(random);
          const bool passed = !(failedRun && l == 17);
          results.bind(p + 1, id).bind(p + 2, id * kSteps + l / (kLines / kSteps));
          results.bind(p + 3, static_cast<long long>(l + 1)).bind(p + 4, 1LL);
          results.bind(p + 5, std::string("STEP"));
          results.bind(p + 6, rt::format("CHECK %d CH%d : %.2f [pA]", l / 8, l % 8, value));
          results.bind(p + 7, rt::format("CHECK %d CH%d : # [pA]", l / 8, l % 8));
          results.bind(p + 8, passed ? 1LL : 0LL).bind(p + 9, 1LL).bind(p + 10, l * 1.0);
          results.bind(p + 11, value).bind(p + 12, std::string("pA")).bind(p + 13, 0.0);
          results.bind(p + 14, 20.0);
        }
        if (!results.run()) return (error = results.error()), false;
      }
    }
    if (!tx.commit()) return (error = tx.error()), false;
  }
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
    location = (dir / rt::format("store_%d.sqlite", runs)).string();
  } else {
    std::string base = std::getenv("TESSOCK_BENCH_PG");
    const std::string name = rt::format("bench_store_%d", runs);
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
  if (error.empty() && !existing.empty()) return location;
  if (backend == "sqlite") fs::remove(location);
  if (!generate(location, runs, error)) {
    std::fprintf(stderr, "%s: %s\n", backend.c_str(), error.c_str());
    std::exit(1);
  }
  return location;
}

void question(benchmark::State &state, const std::string &location, const std::string &what) {
  history::Store store(location);
  const int runs = runCount();
  std::string error;
  int k = 0;
  for (auto _ : state) {
    size_t rows = 0;
    const int some = (k++ * 7919) % runs;
    if (what == "board")
      rows = store.runs({.board = board(some)}, error).size();
    else if (what == "card")
      rows = store.runs({.card = some / 3}, error).size();
    else if (what == "yield_week")
      rows = store.yield({}, history::YieldBy::Week, error).size();
    else
      rows = store.values("CHECK 7 CH3 ", {}, error).size();
    if (!error.empty() || rows == 0) state.SkipWithError(error.empty() ? "no rows" : error.c_str());
    benchmark::DoNotOptimize(rows);
  }
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  const int runs = runCount();
  std::vector<std::string> backends = {"sqlite"};
  if (std::getenv("TESSOCK_BENCH_PG")) backends.push_back("postgresql");
  for (const std::string &backend : backends) {
    const std::string location = prepared(backend, runs);
    for (const char *what : {"board", "card", "yield_week", "values"})
      benchmark::RegisterBenchmark((backend + "/" + what).c_str(), question, location,
                                   std::string(what))
          ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
