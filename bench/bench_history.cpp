// Results store benchmarks: what the live store adds to a run, per result line (one committed
// row each) and per whole run of 60 lines with its steps and end.
//
//   build/bench/bench_history [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "functest/report.h"
#include "history/store.h"

namespace {

namespace fs = std::filesystem;

fs::path freshFolder() {
  const fs::path dir = fs::temp_directory_path() / "tessock_bench_history";
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

functest::RunInfo boardInfo() {
  functest::RunInfo info;
  info.variant = "bench";
  info.cardNumber = 317;
  info.pcbVersion = 7;
  return info;
}

// One result line with its measured value and limits, committed on its own.
void BM_StoreResultLine(benchmark::State &state) {
  const fs::path dir = freshFolder();
  history::Store store((dir / "results.sqlite").string());
  const functest::RunInfo info = boardInfo();
  store.runBegun({info, "2026-12-07T10:00:00+01:00", (dir / "r_DN_317_0.txt").string(), "bench"});
  store.stepBegun(3, "MEASURE 10pA", 0.0);
  const std::string step = "MEASURE 10pA", check = "Offset current calc CH1 : 10.05 [pA]";
  const functest::Measurement m{10.05, "pA", -50.0, 50.0};
  for (auto _ : state) {
    const std::string problem = store.resultWritten({3, step, check, true, 1, 12.5, &m});
    if (!problem.empty()) state.SkipWithError(problem.c_str());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreResultLine)->Unit(benchmark::kMicrosecond);

// A whole run as the bench makes it: run row, 3 steps, 60 result lines, end.
void BM_StoreWholeRun(benchmark::State &state) {
  const fs::path dir = freshFolder();
  history::Store store((dir / "results.sqlite").string());
  const functest::RunInfo info = boardInfo();
  const std::string step = "TEST STATUS", check = "TEST STATUS TEMP_1 OK STATE";
  const functest::Measurement m{1.0, "bit", 1.0, 1.0};
  long long n = 0;
  for (auto _ : state) {
    const std::string report = (dir / ("r_DN_317_" + std::to_string(n++) + ".txt")).string();
    store.runBegun({info, "2026-12-07T10:00:00+01:00", report, "bench"});
    for (int s = 0; s < 3; ++s) {
      store.stepBegun(s, step, s * 10.0);
      for (int k = 0; k < 20; ++k) store.resultWritten({s, step, check, true, 1, s * 10.0, &m});
    }
    store.runEnded({0.0, false, "", 30.0});
  }
}
BENCHMARK(BM_StoreWholeRun)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
