// Raw capture and replay benchmarks.
//
// Capture: the capture loop (gate check, bulk read, part-file write) against a simulated module
// with no call latency and unlimited bandwidth, writing to files in the page cache (/dev/shm
// when there is one). The figure to hold: at least 400 MB/s, ten times the fastest USB 2.0
// module, so that the program never limits a capture.
//
// Replay: one block of 100000 words from a file in the page cache into the graph data, as the
// replay buttons do it. The figure to hold: at most 1 ms a block.
//
//   build/bench/bench_capture [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "acq/block_source.h"
#include "acq/capture.h"
#include "app/bench.h"
#include "ctl/main_panel.h"

namespace {

namespace fs = std::filesystem;

// A folder in the page cache, removed with the object.
struct CacheDir {
  fs::path path;
  CacheDir() {
    fs::path root = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    path = root / ("tessock_bench_capture_" + std::to_string(std::random_device{}()));
    fs::create_directories(path);
  }
  ~CacheDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// The module of the benchmark: every read delivers the request at once, copied from a block of
// FPGA-like words; no latency, no bandwidth limit, the gate never held.
class InstantModule final : public acq::BlockSource {
 public:
  InstantModule() : block_(acq::kCaptureRequest) {
    std::mt19937 random(1);
    for (uint8_t &b : block_) b = static_cast<uint8_t>(random());
  }
  bool read(uint8_t *data, uint32_t request, uint32_t &delivered) override {
    delivered = std::min<uint32_t>(request, static_cast<uint32_t>(block_.size()));
    std::memcpy(data, block_.data(), delivered);
    return true;
  }

 private:
  std::vector<uint8_t> block_;
};

void BM_CaptureLoop(benchmark::State &state) {
  CacheDir dir;
  rt::RealClock clock;
  InstantModule module;
  std::vector<uint8_t> buffer(acq::kCaptureBufferBytes);
  const double seconds = 0.2;
  const std::string base = (dir.path / "capture").string();
  uint64_t bytes = 0;
  double elapsed = 0;
  for (auto _ : state) {
    const acq::CaptureResult r = acq::captureParts(module, clock, seconds, base, buffer, nullptr);
    if (r.end != acq::CaptureEnd::Elapsed) {
      state.SkipWithError(("capture ended early: " + r.problem).c_str());
      break;
    }
    bytes += r.bytes;
    elapsed += r.elapsed;
    state.PauseTiming();
    fs::remove(acq::capturePartName(base, 1));
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["MB/s"] = elapsed > 0 ? double(bytes) / elapsed / 1e6 : 0.0;
  state.counters["reads/s"] = elapsed > 0 ? double(bytes) / acq::kCaptureRequest / elapsed : 0.0;
}
BENCHMARK(BM_CaptureLoop)->Unit(benchmark::kMillisecond)->Iterations(5);

// Answers the replay's file selection with the benchmark's file.
class FileChooser final : public rt::Operator {
 public:
  explicit FileChooser(std::string path) : path_(std::move(path)) {}
  void messagePopup(const std::string &, const std::string &) override {}
  bool confirmPopup(const std::string &, const std::string &) override { return false; }
  rt::FileSelect fileSelectPopup(const rt::FileRequest &, std::string &path) override {
    path = path_;
    return rt::FileSelect::Existing;
  }

 private:
  std::string path_;
};

void BM_ReplayBlock(benchmark::State &state) {
  CacheDir dir;
  const fs::path file = dir.path / "replay.dat";
  {
    std::vector<char> bytes(200000 * 50);
    std::mt19937 random(2);
    for (char &b : bytes) b = static_cast<char>(random());
    std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  }
  rt::VirtualClock clock;
  app::BenchOptions options;
  options.uiDir = std::string(TESSOCK_SOURCE_DIR) + "/ui";
  options.settingsPath = (dir.path / "settings.ini").string();
  options.quickusbLib = "/nonexistent/libquickusb.so";
  app::Bench bench(clock, options);
  bench.StartUp();
  FileChooser chooser(file.string());
  bench.rt.setOperator(&chooser);
  const int m = bench.panels.MainPanel;
  size_t points = 0;
  for (auto _ : state) {
    if (bench.acq.replayOpen())
      bench.acq.NextPartInFile(m, ctl::Main::ReplayNext, rt::EVENT_COMMIT);
    else
      bench.acq.OpenAndCheck(m, ctl::Main::ReplayOpen, rt::EVENT_COMMIT);
    const auto &plots = bench.rt.control(m, ctl::Main::DataGraph1).plots;
    points += plots.empty() ? 0 : plots[0].y.size();
  }
  state.counters["words/block"] =
      benchmark::Counter(double(points), benchmark::Counter::kAvgIterations);
  bench.ShutDown();
}
BENCHMARK(BM_ReplayBlock)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
