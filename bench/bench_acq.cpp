// Acquisition benchmarks: the per-block work of the 20 ms tick (FRAMES search, decoding and
// statistics; SUMS decoding, normalisation and rates; SINGLE_VALUE decoding) on prepared blocks,
// and whole read cycles through ReadShowFrame on a started bench without a GUI.
//
// A counting allocator replaces the global operator new: every benchmark reports the heap
// allocations it made per block ("allocs/block"), so that the per-block path can be seen to
// allocate nothing.
//
//   build/bench/bench_acq [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "acq/analysis.h"
#include "acq/decode.h"
#include "app/bench.h"
#include "ctl/main_panel.h"
#include "hw/block_format.h"

// ---------------------------------------------------------------- counting allocator

// The replacement operators pair malloc with free; GCC cannot see that once they are inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long> gAllocations{0};
}

void *operator new(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void *p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void *operator new[](std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void *p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

// Counts the allocations of a timed loop and reports them per iteration.
class AllocationCounter {
 public:
  explicit AllocationCounter(benchmark::State &state)
      : state_(state), start_(gAllocations.load()) {}
  ~AllocationCounter() {
    const double n = static_cast<double>(gAllocations.load() - start_);
    state_.counters["allocs/block"] =
        benchmark::Counter(state_.iterations() ? n / state_.iterations() : 0);
  }

 private:
  benchmark::State &state_;
  long start_;
};

void putWord(std::vector<uint8_t> &b, size_t k, uint16_t v) {
  if (2 * k + 1 >= b.size()) return;
  b[2 * k] = v & 0xFF;
  b[2 * k + 1] = v >> 8;
}

// Consecutive 1000-byte FRAMES blocks of one card as the FPGA streams them: 20-word frames
// starting at a different word in each block, a counter that steps by one, integrators that
// fall by a few counts per frame and reset every few seconds, DACs and status words.
std::vector<std::vector<uint8_t>> framesStream(int blocks) {
  std::vector<std::vector<uint8_t>> out;
  std::mt19937 gen(42);
  uint16_t counter = 0;
  int adc[8] = {4000, 3600, 3200, 2800, 2400, 2000, 1600, 1200};
  for (int b = 0; b < blocks; ++b) {
    std::vector<uint8_t> block(blk::kFramesBytes, 0);
    const size_t first = gen() % 20;
    for (size_t k = 0; k < first; ++k) putWord(block, k, static_cast<uint16_t>(gen()));
    for (size_t at = first; at < 500; at += 20) {
      putWord(block, at, 0x0245);
      putWord(block, at + 1, 0x00F3);
      putWord(block, at + 2, 0x8001);
      for (int g = 0; g < 2; ++g) {
        uint16_t cfc[4], a[4];
        for (int k = 0; k < 4; ++k) {
          int &v = adc[4 * g + k];
          v -= 3 + k;
          if (v < 200) v = 4000;
          a[k] = static_cast<uint16_t>(v);
          cfc[k] = static_cast<uint16_t>(b & 0xFF);
        }
        const uint16_t w[5] = {
            static_cast<uint16_t>((cfc[0] << 8) | (a[0] >> 4)),
            static_cast<uint16_t>(((a[0] & 0xF) << 12) | (cfc[1] << 4) | (a[1] >> 8)),
            static_cast<uint16_t>(((a[1] & 0xFF) << 8) | cfc[2]),
            static_cast<uint16_t>((a[2] << 4) | (cfc[3] >> 4)),
            static_cast<uint16_t>(((cfc[3] & 0xF) << 12) | a[3])};
        for (int k = 0; k < 5; ++k) putWord(block, at + 3 + 5 * g + k, w[k]);
      }
      for (int j = 0; j < 4; ++j) putWord(block, at + 13 + j, 0x1020);
      putWord(block, at + 17, counter++);
    }
    out.push_back(std::move(block));
  }
  return out;
}

// FRAMES: search (locked), decode, statistics, slope, computed period, result-table column.
void BM_FramesBlock(benchmark::State &state) {
  const auto blocks = framesStream(64);
  acq::AcqState st;
  for (auto &v : st.ADC_MIN) v = 4095;
  double now = 0;
  size_t k = 0;
  {
    AllocationCounter allocs(state);
    for (auto _ : state) {
      const std::vector<uint8_t> &b = blocks[k++ % blocks.size()];
      const acq::BlockView view{b.data(), static_cast<uint32_t>(b.size())};
      now += 0.02;
      const acq::FrameSearch found = acq::findFrame(view, blk::kDefaultFrameWords, st);
      if (found.start >= 0) {
        acq::decodeFrame(view, found.start, st);
        benchmark::DoNotOptimize(acq::analyseFrame(st, now, 0));
        acq::updateSlope(st, now, 0.02);
        acq::updateCalcPeriod(st);
        benchmark::DoNotOptimize(acq::nextStatsColumn(st));
      }
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FramesBlock);

// FRAMES worst case: unlocked, and the only frame pair at the very end of the block.
void BM_FramesSearchWorstCase(benchmark::State &state) {
  std::vector<uint8_t> b(blk::kFramesBytes, 0);
  std::mt19937 gen(3);
  for (auto &x : b) x = static_cast<uint8_t>(gen());
  putWord(b, 462, 0x0245);
  putWord(b, 479, 10);
  putWord(b, 482, 0x0245);
  putWord(b, 499, 11);
  const acq::BlockView view{b.data(), static_cast<uint32_t>(b.size())};
  AllocationCounter allocs(state);
  for (auto _ : state) {
    acq::AcqState st;
    benchmark::DoNotOptimize(acq::findFrame(view, blk::kDefaultFrameWords, st));
  }
}
BENCHMARK(BM_FramesSearchWorstCase);

std::vector<uint8_t> sumsBlock(uint32_t seed) {
  std::vector<uint8_t> b(blk::kSumsBytes, 0);
  std::mt19937 gen(seed);
  for (auto &x : b) x = static_cast<uint8_t>(gen());
  return b;
}

// SUMS: sums and their histories, normalisation, status counters, rates, status flags.
void BM_SumsBlock(benchmark::State &state) {
  const std::vector<uint8_t> blocks[2] = {sumsBlock(1), sumsBlock(2)};
  acq::AcqState st;
  double now = 0;
  size_t k = 0;
  {
    AllocationCounter allocs(state);
    for (auto _ : state) {
      const std::vector<uint8_t> &b = blocks[k++ & 1];
      const acq::BlockView view{b.data(), static_cast<uint32_t>(b.size())};
      now += 0.4;
      acq::decodeSums(view, st);
      acq::normaliseSums(st);
      acq::decodeStatusCounters(view, st);
      acq::updateRates(st, now);
      acq::decodeStatusFlags(view, st);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SumsBlock);

void BM_SingleValueBlock(benchmark::State &state) {
  const std::vector<uint8_t> b = sumsBlock(5);
  const acq::BlockView view{b.data(), blk::kSingleValueBytes};
  acq::SingleValueBlock out;
  AllocationCounter allocs(state);
  for (auto _ : state) {
    acq::decodeSingleValue(view, out);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SingleValueBlock);

// ---------------------------------------------------------------- whole read cycles

// A started bench on the simulated bench (or, without it, in no-hardware mode) in virtual time.
struct StartedBench {
  rt::VirtualClock clock;
  std::unique_ptr<app::Bench> bench;
  std::filesystem::path settings;

  StartedBench(bool simulated, int mode) {
    settings = std::filesystem::temp_directory_path() / "tessock_bench_acq_settings.ini";
    app::BenchOptions options;
    options.uiDir = std::string(TESSOCK_SOURCE_DIR) + "/ui";
    options.settingsPath = settings.string();
    options.quickusbLib = simulated ? std::string(TESSOCK_BINARY_DIR) + "/libquickusb_sim.so"
                                    : std::string("/nonexistent/libquickusb.so");
    bench = std::make_unique<app::Bench>(clock, options);
    bench->StartUp();
    bench->rt.SetCtrlVal(bench->panels.MainPanel, ctl::Main::ReadOutMode, mode);
    bench->config.UpdateMainPanel();
  }
  bool connected() const { return bench->usb.NbrQuickUSBConnected != 0; }
};

void readCycle(benchmark::State &state, bool simulated, int mode) {
  StartedBench b(simulated, mode);
  if (simulated && !b.connected()) {
    state.SkipWithError("simulated bench not available");
    return;
  }
  // Warm up: lock on the card, fill the plot buffers.
  for (int k = 0; k < 10; ++k) {
    b.clock.advance(mode == blk::FRAMES ? 0.02 : 0.4);
    b.bench->acq.ReadShowFrame();
  }
  long failed = 0;
  {
    AllocationCounter allocs(state);
    for (auto _ : state) {
      b.clock.advance(mode == blk::FRAMES ? 0.02 : 0.4);
      failed += b.bench->acq.ReadShowFrame() != 0;
    }
  }
  state.counters["failed"] = benchmark::Counter(static_cast<double>(failed));
}

// A module inside the benchmark that delivers prepared blocks: the read cycle's own cost,
// without the simulated board behind it.
struct StubModule {
  static inline const std::vector<std::vector<uint8_t>> *blocks = nullptr;
  static inline size_t next = 0;
  static inline uint8_t portE = 0;
  static long findModules(char *, unsigned long) { return 1; }
  static long readPort(QuickUsbHandle_t, uint16_t, uint8_t *d, uint16_t *) {
    *d = portE;
    return 1;
  }
  static long writePort(QuickUsbHandle_t, uint16_t a, uint8_t *d, uint16_t) {
    if (a == 4) portE = *d;
    return 1;
  }
  static long readData(QuickUsbHandle_t, uint8_t *data, unsigned long *length) {
    const std::vector<uint8_t> &b = (*blocks)[next++ % blocks->size()];
    *length = std::min<unsigned long>(*length, b.size());
    std::memcpy(data, b.data(), *length);
    return 1;
  }
};

void readCycleStub(benchmark::State &state, int mode, bool views = false) {
  static const std::vector<std::vector<uint8_t>> frames = framesStream(64);
  static const std::vector<std::vector<uint8_t>> sums = {sumsBlock(1), sumsBlock(2)};
  StubModule::blocks = mode == blk::FRAMES ? &frames : &sums;
  StubModule::next = 0;
  StartedBench b(false, mode);
  hw::QuickUsb &u = b.bench->usb;
  u.pt_FindModules = &StubModule::findModules;
  u.pt_ReadPort = &StubModule::readPort;
  u.pt_WritePort = &StubModule::writePort;
  u.pt_ReadData = &StubModule::readData;
  u.NbrQuickUSBConnected = 1;
  b.bench->acq.ViewRaw = b.bench->acq.ViewFrame = views ? 1 : 0;
  const double step = mode == blk::FRAMES ? 0.02 : 0.4;
  for (int k = 0; k < 10; ++k) {
    b.clock.advance(step);
    b.bench->acq.ReadShowFrame();
  }
  long failed = 0;
  {
    AllocationCounter allocs(state);
    for (auto _ : state) {
      b.clock.advance(step);
      failed += b.bench->acq.ReadShowFrame() != 0;
    }
  }
  state.counters["failed"] = benchmark::Counter(static_cast<double>(failed));
}

void BM_ReadShowFrame_Stub_Frames(benchmark::State &state) { readCycleStub(state, blk::FRAMES); }
BENCHMARK(BM_ReadShowFrame_Stub_Frames);
// With the raw-data and frame panels open: 500 raw lines and the frame text every block.
void BM_ReadShowFrame_Stub_Frames_Views(benchmark::State &state) {
  readCycleStub(state, blk::FRAMES, true);
}
BENCHMARK(BM_ReadShowFrame_Stub_Frames_Views);
void BM_ReadShowFrame_Stub_Sums(benchmark::State &state) {
  readCycleStub(state, blk::SUMS_MAXIMUMS_ANALYSIS);
}
BENCHMARK(BM_ReadShowFrame_Stub_Sums);

void BM_ReadShowFrame_Sim_Frames(benchmark::State &state) { readCycle(state, true, blk::FRAMES); }
BENCHMARK(BM_ReadShowFrame_Sim_Frames);
void BM_ReadShowFrame_Sim_Sums(benchmark::State &state) {
  readCycle(state, true, blk::SUMS_MAXIMUMS_ANALYSIS);
}
BENCHMARK(BM_ReadShowFrame_Sim_Sums);
void BM_ReadShowFrame_NoHardware_Frames(benchmark::State &state) {
  readCycle(state, false, blk::FRAMES);
}
BENCHMARK(BM_ReadShowFrame_NoHardware_Frames);

}  // namespace

BENCHMARK_MAIN();
