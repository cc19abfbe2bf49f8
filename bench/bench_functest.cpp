// Functional-test benchmarks: whole bench runs of the program's own test on the simulated good
// board in virtual time, from the start button to END OF TEST. Each reports the virtual bench
// time of one run ("bench_s") beside its wall time. The full run has every step switched on and
// the operator's answers of the demo (10 pA stopped once every period is in, the long-time check
// ended after a minute); only its run from the start button to the end is timed, and
// "x_real_time" says how many times faster than the bench it ran.
//
//   build/bench/bench_functest [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "support/functest_rig.h"

namespace {

namespace B = ctl::TabBData;
namespace fs = std::filesystem;

// One bench run with only `steps` switched on; returns the virtual seconds it took, or -1 when
// it did not reach the end.
double benchRun(std::initializer_list<rt::Ctl> steps) {
  const fs::path dir = fs::temp_directory_path() / "tessock_bench_functest";
  fs::remove_all(dir);
  fs::create_directories(dir);
  rt::VirtualClock clock;
  app::BenchOptions options;
  options.uiDir = std::string(TESSOCK_SOURCE_DIR) + "/ui";
  options.settingsPath = (dir / "settings.ini").string();
  options.quickusbLib = std::string(TESSOCK_BINARY_DIR) + "/libquickusb_sim.so";
  options.simConfig = std::string(TESSOCK_SOURCE_DIR) + "/data/sim/good.json";
  options.resultsDb = (dir / "results.sqlite").string();
  app::Bench bench(clock, options);
  bench.StartUp();
  rt::Runtime &rt = bench.rt;
  const ctl::Panels &p = bench.panels;
  rt.SetCtrlVal(p.TabBData, B::LinearityFile,
                std::string(TESSOCK_SOURCE_DIR) + "/data/Card_3_linearity.txt");
  rt.SetCtrlVal(p.TabBData, B::BenchReportPrefix, (dir / "bench").string());
  rt.Commit(p.MainPanel, ctl::Main::OpenTest);
  rt.RunUntil(clock.now() + 60.0);
  rt.SetCtrlVal(p.TabBData, B::DeviceBarcode1, "VELTRA317");
  rt.SetCtrlVal(p.TabBData, B::DeviceBarcode2, "VELTRA-N317");
  rt.SetCtrlVal(p.TabBData, B::BoardBarcode, "BRD-0000000000000317");
  rt.SetCtrlVal(p.TabBData, B::Otr1Barcode, "OTR1-000000001");
  rt.SetCtrlVal(p.TabBData, B::Otr2Barcode, "OTR2-000000002");
  rt.SetCtrlVal(p.TabBData, B::PcbVersion, 7);
  for (rt::Ctl s :
       {B::Enable10pA, B::Enable200Counts, B::EnableCrcLostFrame, B::EnableTempOtrDac,
        B::EnablePowerSupplies, B::EnableHvLevels, B::EnableCalibrate, B::EnableSaveDacValues,
        B::EnableLinearity, B::EnableIntegratorLevel, B::EnableCfcError, B::EnableCfcTestMode,
        B::EnableOtrReset, B::EnableDacCounters, B::EnableLongTimeCrc})
    rt.SetCtrlVal(p.TabBData, s, 0);
  for (rt::Ctl s : steps) rt.SetCtrlVal(p.TabBData, s, 1);
  const double start = clock.now();
  rt.Commit(p.TestCFCPanel, ctl::Test::StartBench);
  const bool ended = rt.RunUntil(start + 20000.0, [&] {
    return rt.GetCtrlAttribute(p.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_ENABLED) == 0;
  });
  const double seconds = clock.now() - start;
  bench.ShutDown();
  fs::remove_all(dir);
  return ended ? seconds : -1.0;
}

void runSteps(benchmark::State &state, std::initializer_list<rt::Ctl> steps) {
  if (!fs::exists(std::string(TESSOCK_BINARY_DIR) + "/libquickusb_sim.so")) {
    state.SkipWithError("no simulated bench");
    return;
  }
  double seconds = 0;
  for (auto _ : state) seconds = benchRun(steps);
  if (seconds < 0) state.SkipWithError("the run did not reach END OF TEST");
  state.counters["bench_s"] = seconds;
}

// HV levels, CFC test mode, OTR reset and the DAC counter climb: most of a full run's time.
void BM_ThresholdAndModeSteps(benchmark::State &state) {
  runSteps(state,
           {B::EnableHvLevels, B::EnableCfcTestMode, B::EnableOtrReset, B::EnableDacCounters});
}
BENCHMARK(BM_ThresholdAndModeSteps)->Unit(benchmark::kMillisecond);

void BM_DacCounterClimb(benchmark::State &state) { runSteps(state, {B::EnableDacCounters}); }
BENCHMARK(BM_DacCounterClimb)->Unit(benchmark::kMillisecond);

// The whole test: every step, about 6,600 s of bench time.
void BM_FullBenchRunGoodBoard(benchmark::State &state) {
  if (!std::filesystem::exists(testenv::simLibrary())) {
    state.SkipWithError("no simulated bench: build quickusb_sim");
    return;
  }
  double benchSeconds = 0, wallSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = std::make_unique<testenv::FunctionalRig>("good");
    rig->scanBarcodes();
    for (rt::Ctl s : testenv::AllStepSwitches()) rig->set(rig->p.TabBData, s, 1);
    const double start = rig->clock.now();
    const auto wall = std::chrono::steady_clock::now();
    state.ResumeTiming();

    rig->startBench();
    const bool ended = rig->runToEnd(20000.0);

    state.PauseTiming();
    wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    benchSeconds += rig->clock.now() - start;
    if (!ended || rig->rt().GetCtrlValS(rig->p.TestCFCPanel, ctl::Test::StepTitle) != "END OF TEST")
      state.SkipWithError("the run did not reach END OF TEST");
    rig.reset();
    state.ResumeTiming();
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["bench_s"] = benchmark::Counter(benchSeconds / runs);
  state.counters["x_real_time"] =
      benchmark::Counter(wallSeconds > 0 ? benchSeconds / wallSeconds : 0);
}
BENCHMARK(BM_FullBenchRunGoodBoard)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
