// Raw capture and replay: part files changing each minute in virtual time, the full request on
// every read, the read gate, the failures that end a capture with its parts kept, the text
// conversion and plots of only the words part 1 holds, the progress monitor and its Stop; the
// replay's blocks, offsets and "End of the file"; and a 150 s capture of the simulated bench
// replayed, page by page and through the read cycle.
#include <dlfcn.h>

#include <filesystem>
#include <random>

#include "acq/capture.h"
#include "test_acq_bench.h"
#include "test_popups.h"

namespace {

namespace fs = std::filesystem;
namespace M = ctl::Main;
using acqtest::Bytes;

// A module inside the test: every read costs `step` seconds of virtual time and delivers the
// next bytes of a seeded stream, keeping a copy of everything it delivered.
class StreamSource : public acq::BlockSource {
 public:
  StreamSource(rt::Clock &clock, double step) : clock_(clock), step_(step) {}
  bool read(uint8_t *data, uint32_t request, uint32_t &delivered) override {
    requests.push_back(request);
    clock_.advance(step_);
    delivered = 0;
    if (clock_.now() >= failAt) return false;
    delivered = shortRead ? std::exchange(shortRead, 0) : request;
    for (uint32_t k = 0; k < delivered; ++k) data[k] = static_cast<uint8_t>(random_());
    stream.insert(stream.end(), data, data + delivered);
    return true;
  }
  bool gateHeld() override {
    if (heldPasses == 0) return false;
    --heldPasses;
    clock_.advance(step_);
    return true;
  }

  std::vector<uint32_t> requests;
  Bytes stream;
  double failAt = 1e300;
  uint32_t shortRead = 0;  // the next read delivers this many bytes
  long heldPasses = 0;

 private:
  rt::Clock &clock_;
  double step_;
  std::mt19937 random_{7};
};

Bytes part(const std::string &base, int n) {
  const std::string text = testenv::readFile(acq::capturePartName(base, n));
  return Bytes(text.begin(), text.end());
}

class StopAfter : public acq::CaptureMonitor {
 public:
  explicit StopAfter(int reports) : reports_(reports) {}
  void begin(double seconds) override { begun = seconds; }
  bool progress(const acq::CaptureProgress &p) override {
    seen.push_back(p);
    return int(seen.size()) < reports_;
  }
  void end() override { ended = true; }
  double begun = -1;
  bool ended = false;
  std::vector<acq::CaptureProgress> seen;

 private:
  int reports_;
};

// ---------------------------------------------------------------- the capture loop

TEST(CaptureLoop, PartsChangeAtTheFirstBlockAfterEachMinute) {
  testenv::TempDir dir;
  rt::VirtualClock clock;
  clock.advance(1000.0);  // the capture counts from its own start
  StreamSource source(clock, 0.5);
  source.shortRead = 10;  // one short read does not shrink the others
  std::vector<uint8_t> buffer;
  const std::string base = dir.file("run");
  const acq::CaptureResult r = acq::captureParts(source, clock, 150.0, base, buffer, nullptr);
  EXPECT_EQ(r.end, acq::CaptureEnd::Elapsed);
  EXPECT_EQ(r.parts, 3);
  EXPECT_EQ(r.reads, 300u);  // passes at 0, 0.5, ... 149.5 s
  EXPECT_EQ(source.requests, std::vector<uint32_t>(300, 1000));
  // Reads taken at up to 60 s go to part 1, up to 120 s to part 2.
  EXPECT_EQ(part(base, 1).size(), 10u + 120 * 1000);
  EXPECT_EQ(part(base, 2).size(), 120u * 1000);
  EXPECT_EQ(part(base, 3).size(), 59u * 1000);
  EXPECT_FALSE(fs::exists(acq::capturePartName(base, 4)));
  Bytes all = part(base, 1), p2 = part(base, 2), p3 = part(base, 3);
  all.insert(all.end(), p2.begin(), p2.end());
  all.insert(all.end(), p3.begin(), p3.end());
  EXPECT_TRUE(all == source.stream);
  EXPECT_EQ(r.bytes, all.size());
}

TEST(CaptureLoop, GateAppendMonitorAndTheEndsOfACapture) {
  testenv::TempDir dir;
  rt::VirtualClock clock;
  std::vector<uint8_t> buffer;
  const std::string base = dir.file("run");
  {  // A held gate skips passes; an existing part grows.
    testenv::writeFile(acq::capturePartName(base, 1), "old");
    StreamSource source(clock, 0.125);
    source.heldPasses = 5;
    const acq::CaptureResult r = acq::captureParts(source, clock, 1.25, base, buffer, nullptr);
    EXPECT_EQ(r.gated, 5u);
    EXPECT_EQ(r.reads, 5u);
    EXPECT_EQ(part(base, 1).size(), 3u + 5000);
  }
  {  // A failed read ends it; the parts stay.
    StreamSource source(clock, 1.0);
    source.failAt = clock.now() + 70.5;
    const acq::CaptureResult r =
        acq::captureParts(source, clock, 150.0, base + "f", buffer, nullptr);
    EXPECT_EQ(r.end, acq::CaptureEnd::ReadFailed);
    EXPECT_EQ(r.parts, 2);
    EXPECT_EQ(part(base + "f", 1).size() + part(base + "f", 2).size(), 70u * 1000);
  }
  {  // The monitor hears of it every 0.1 s, and its Stop ends it.
    StreamSource source(clock, 0.01);
    StopAfter monitor(4);
    const acq::CaptureResult r =
        acq::captureParts(source, clock, 10.0, base + "m", buffer, &monitor);
    EXPECT_EQ(r.end, acq::CaptureEnd::Stopped);
    ASSERT_EQ(monitor.seen.size(), 4u);
    EXPECT_EQ(monitor.seen[0].elapsed, 0);
    EXPECT_NEAR(monitor.seen[3].elapsed, 0.3, 0.011);
    EXPECT_EQ(monitor.seen[3].bytes, r.bytes);
    EXPECT_EQ(monitor.seen[3].seconds, 10.0);
  }
  {  // A module that takes no virtual time would never let the capture end.
    StreamSource source(clock, 0.0);
    const acq::CaptureResult r = acq::captureParts(source, clock, 1.0, base + "z", buffer, nullptr);
    EXPECT_EQ(r.end, acq::CaptureEnd::ClockStuck);
    EXPECT_EQ(r.reads, 1u);
  }
}

TEST(CaptureLoop, PartFilesThatCannotBeOpenedOrWritten) {
  testenv::TempDir dir;
  rt::VirtualClock clock;
  std::vector<uint8_t> buffer;
  const std::string base = dir.file("run");
  fs::create_directory(acq::capturePartName(base, 2));  // part 2 cannot be opened
  StreamSource source(clock, 1.0);
  acq::CaptureResult r = acq::captureParts(source, clock, 150.0, base, buffer, nullptr);
  EXPECT_EQ(r.end, acq::CaptureEnd::FileFailed);
  EXPECT_NE(r.problem.find("run_2.dat"), std::string::npos) << r.problem;
  EXPECT_EQ(part(base, 1).size(), 61u * 1000);  // part 1 whole
  EXPECT_EQ(r.bytes, 61u * 1000);

  r = acq::captureParts(source, clock, 1.0, dir.file("missing/run"), buffer, nullptr);
  EXPECT_EQ(r.end, acq::CaptureEnd::FileFailed);
  EXPECT_EQ(r.parts + r.reads, 0u);

  // A write that fails is seen, if only when the part is closed.
  fs::create_symlink("/dev/full", acq::capturePartName(dir.file("full"), 1));
  r = acq::captureParts(source, clock, 5.0, dir.file("full"), buffer, nullptr);
  EXPECT_EQ(r.end, acq::CaptureEnd::FileFailed);
  EXPECT_NE(r.problem.find("full_1.dat"), std::string::npos) << r.problem;
}

// ---------------------------------------------------------------- the buttons

class Buttons : public acqtest::BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    bench->rt.setOperator(&popups);
    acq().conversionPath = dir.file("tmp/TempMeasures/tempIO.txt");
  }
  void press(int control) {
    acq::Acquisition &a = acq();
    const int m = p.MainPanel;
    switch (control) {
      case M::RawCapture:
        a.ReadRawAndStore(m, control, rt::EVENT_COMMIT);
        break;
      case M::ReplayOpen:
        a.OpenAndCheck(m, control, rt::EVENT_COMMIT);
        break;
      case M::ReplayNext:
        a.NextPartInFile(m, control, rt::EVENT_COMMIT);
        break;
      case M::FastFile:
        a.SaveToFileFast(m, control, rt::EVENT_COMMIT);
        break;
    }
  }
  const std::vector<rt::Plot> &plots(int graph) { return ctrl(p.MainPanel, graph).plots; }
  std::string popup() { return popups.messages.empty() ? "" : popups.messages.back(); }

  acqtest::Popups popups;
};

TEST_F(Buttons, CaptureConvertsAndPlotsOnlyTheWordsOfPartOne) {
  // No base path: refused, nothing written.
  setMain(M::RawCaptureSeconds, 1.0);
  press(M::RawCapture);
  EXPECT_EQ(popup(), "Raw capture: Choose the capture file first: nothing was captured.");
  EXPECT_FALSE(fs::exists(acq().conversionPath));

  popups.choices.push_back(std::nullopt);  // a cancelled choice changes nothing
  press(M::FastFile);
  EXPECT_EQ(acq().FileNameForFast, "");
  popups.choices.push_back(dir.file("big"));
  press(M::FastFile);
  EXPECT_EQ(bench->rt.GetCtrlValS(p.MainPanel, M::FastFileName), dir.file("big"));
  EXPECT_EQ(popups.requests.back().typeList, "*.dat");

  StreamSource source(clock, 0.05);
  acq().setBlockSource(&source);
  StopAfter monitor(1000);
  acq().captureMonitor = &monitor;
  press(M::RawCapture);  // 20 reads: 10000 words, 5000 plotted, all converted
  EXPECT_EQ(monitor.begun, 1.0);
  EXPECT_TRUE(monitor.ended);
  EXPECT_EQ(acq().lastCapture.bytes, 20000u);
  EXPECT_EQ(testenv::readFile(acq().conversionPath).size(), 10000u * 11);
  ASSERT_EQ(plots(M::DataGraph1).size(), 1u);
  ASSERT_EQ(plots(M::DataGraph2).size(), 1u);
  EXPECT_EQ(plots(M::DataGraph1)[0].y.size(), 5000u);
  EXPECT_EQ(plots(M::DataGraph1)[0].color, 0xFF0000u);
  EXPECT_EQ(plots(M::DataGraph2)[0].color, 0x00FF00u);
  EXPECT_EQ(plots(M::DataGraph2)[0].y[1], source.stream[2] | source.stream[3] << 8);
  EXPECT_TRUE(popups.messages.size() == 1);  // a capture that wrote its parts says nothing

  // A 0 s capture writes nothing and shows the three words part 1 already holds.
  acq().FileNameForFast = dir.file("small");
  testenv::writeFile(dir.file("small_1.dat"), std::string("\x01\x00\x02\x00\xFF\xFF\x07", 7));
  setMain(M::RawCaptureSeconds, 0.0);
  press(M::RawCapture);
  EXPECT_EQ(testenv::readFile(dir.file("small_1.dat")).size(), 7u);
  EXPECT_EQ(testenv::readFile(acq().conversionPath), "         1\n         2\n     65535\n");
  EXPECT_EQ(plots(M::DataGraph1)[0].y, (std::vector<double>{1, 2, 65535}));
  EXPECT_EQ(plots(M::DataGraph2)[0].y.size(), 3u);
  EXPECT_EQ(popup(), "Raw capture: Nothing was captured in 0 s: no time to read.");
}

TEST_F(Buttons, CaptureFailuresAreToldAndTheModuleIsReadWithTheFullRequest) {
  acq().FileNameForFast = dir.file("gated");
  setMain(M::RawCaptureSeconds, 0.5);
  // The stub module takes no time: its gate is held, and the clock stands still.
  module().portE = 0x08;
  press(M::RawCapture);
  EXPECT_EQ(acq().lastCapture.end, acq::CaptureEnd::ClockStuck);
  EXPECT_NE(popup().find("no time in virtual time"), std::string::npos) << popup();
  EXPECT_NE(popup().find("Nothing was captured in 0 s: the read gate, port E bit 3, was held"),
            std::string::npos);
  EXPECT_TRUE(module().requests.empty());

  module().portE = 0;
  module().readOk = false;
  press(M::RawCapture);
  EXPECT_EQ(module().requests, std::vector<uint32_t>{1000});
  EXPECT_NE(popup().find("the module read failed"), std::string::npos) << popup();
  EXPECT_TRUE(plots(M::DataGraph1).empty());

  bench->usb.NbrQuickUSBConnected = 0;  // no module: nothing to capture, nothing asked
  module().clearLog();
  press(M::RawCapture);
  EXPECT_TRUE(module().requests.empty());
  EXPECT_NE(popup().find("the module read failed"), std::string::npos);

  // The text conversion cannot be written: said, and the capture itself stands.
  acq().conversionPath = dir.path().string();
  press(M::RawCapture);
  EXPECT_NE(popup().find("The text conversion was not written"), std::string::npos) << popup();
}

TEST_F(Buttons, ReplayPagesThroughTheFile) {
  const std::string exact = dir.file("exact.dat"), small = dir.file("small.dat");
  std::string bytes(200000, '\0');
  for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>(k * 13);
  testenv::writeFile(exact, bytes);
  testenv::writeFile(small, bytes.substr(0, 1000));

  press(M::ReplayNext);  // nothing open: nothing happens
  EXPECT_TRUE(popups.messages.empty() && popups.requests.empty());

  popups.choices.push_back(exact);
  press(M::ReplayOpen);
  const rt::FileRequest &r = popups.requests.at(0);
  EXPECT_EQ(r.title + "|" + r.typeList, "Select file to read|*.dat");
  EXPECT_FALSE(r.save);
  EXPECT_EQ(mainVal(M::FileOffset), 0);
  ASSERT_EQ(plots(M::DataGraph1).size(), 1u);
  EXPECT_EQ(plots(M::DataGraph1)[0].y.size(), 100000u);
  EXPECT_EQ(plots(M::DataGraph1)[0].y[1], uint8_t(2 * 13) | uint8_t(3 * 13) << 8);
  EXPECT_TRUE(plots(M::DataGraph2).empty());
  EXPECT_TRUE(acq().replayOpen());
  EXPECT_EQ(acq().OffsetInTheFileHighSpeed, 100000);

  press(M::ReplayOpen);  // a file open: the next block, no selection
  EXPECT_EQ(popups.requests.size(), 1u);
  EXPECT_EQ(mainVal(M::FileOffset), 100000);
  EXPECT_TRUE(plots(M::DataGraph1).empty());
  EXPECT_FALSE(acq().replayOpen());
  EXPECT_EQ(acq().OffsetInTheFileHighSpeed, 0);
  EXPECT_EQ(popups.messages, std::vector<std::string>{"Message: End of the file"});

  popups.choices.push_back(small);
  press(M::ReplayOpen);
  EXPECT_EQ(mainVal(M::FileOffset), 0);
  EXPECT_EQ(plots(M::DataGraph1).at(0).y.size(), 500u);
  EXPECT_FALSE(acq().replayOpen());
  EXPECT_EQ(popups.messages.size(), 2u);
  press(M::ReplayNext);
  EXPECT_EQ(popups.messages.size(), 2u);

  // A file that cannot be opened is said, and the program goes on; a cancel does nothing.
  popups.choices.push_back(dir.file("none.dat"));
  press(M::ReplayOpen);
  EXPECT_EQ(popup().rfind("Message: error opening file " + dir.file("none.dat"), 0), 0u) << popup();
  EXPECT_EQ(plots(M::DataGraph1).at(0).y.size(), 500u);
  press(M::ReplayOpen);
  EXPECT_EQ(popups.messages.size(), 3u);
  EXPECT_EQ(popups.requests.size(), 4u);
}

// ---------------------------------------------------------------- on the simulated bench

// Passes on the bench through the module, keeping a copy of every byte the module delivered.
class Tee : public acq::BlockSource {
 public:
  explicit Tee(acq::BlockSource &inner) : inner_(inner) {}
  bool read(uint8_t *data, uint32_t request, uint32_t &delivered) override {
    const bool ok = inner_.read(data, request, delivered);
    if (ok) stream.insert(stream.end(), data, data + delivered);
    return ok;
  }
  bool gateHeld() override { return inner_.gateHeld(); }
  Bytes stream;

 private:
  acq::BlockSource &inner_;
};

TEST(CaptureOnSim, PartsHoldWhatTheModuleDeliveredAndReplayToTheEnd) {
  ASSERT_TRUE(fs::exists(testenv::simLibrary())) << "no simulated bench";
  dlopen(testenv::simLibrary().c_str(), RTLD_NOW);
  testenv::TempDir dir;
  // A slow module (10 ms a call) keeps the 150 s capture to a few megabytes.
  testenv::writeFile(dir.file("slow.json"), R"({"name": "slow", "module": {"callSeconds": 0.01}})");
  rt::VirtualClock clock;
  app::Bench bench(clock,
                   app::BenchOptions{testenv::uiDir(), testenv::simLibrary(), dir.file("slow.json"),
                                     dir.file("s.ini"), dir.file("conv/tempIO.txt")});
  bench.StartUp();
  ASSERT_EQ(bench.usb.NbrQuickUSBConnected, 1);
  acqtest::Popups popups;
  bench.rt.setOperator(&popups);
  const int m = bench.panels.MainPanel;
  bench.rt.SetCtrlVal(m, M::ReadOutMode, 1);
  bench.rt.Commit(m, M::ReadOutMode);

  acq::ModuleSource module(bench.usb);
  Tee tee(module);
  bench.acq.setBlockSource(&tee);
  const std::string base = dir.file("run");
  popups.choices.push_back(base);
  bench.rt.Commit(m, M::FastFile);
  bench.rt.SetCtrlVal(m, M::RawCaptureSeconds, 150.0);
  const double start = clock.now();
  bench.rt.Commit(m, M::RawCapture);
  EXPECT_GE(clock.now() - start, 150.0);
  EXPECT_EQ(bench.acq.lastCapture.end, acq::CaptureEnd::Elapsed);
  EXPECT_TRUE(popups.messages.empty());
  Bytes all;
  for (int n = 1; n <= 3; ++n) {
    const Bytes b = part(base, n);
    EXPECT_GT(b.size(), 1000000u) << n;
    all.insert(all.end(), b.begin(), b.end());
  }
  EXPECT_FALSE(fs::exists(acq::capturePartName(base, 4)));
  EXPECT_TRUE(all == tee.stream);
  EXPECT_EQ(testenv::readFile(dir.file("conv/tempIO.txt")).size(), 50000u * 11);

  // Part 1 page by page to its end.
  const size_t size1 = part(base, 1).size();
  bench.acq.setBlockSource(nullptr);
  popups.choices.push_back(acq::capturePartName(base, 1));
  bench.rt.Commit(m, M::ReplayOpen);
  size_t pages = 1;
  while (bench.acq.replayOpen() && pages < 1000) {
    bench.rt.Commit(m, M::ReplayNext);
    ++pages;
  }
  EXPECT_EQ(pages, size1 / 200000 + 1);
  EXPECT_EQ(bench.rt.GetCtrlValD(m, M::FileOffset), 100000.0 * (pages - 1));
  EXPECT_EQ(popups.messages, std::vector<std::string>{"Message: End of the file"});

  // The same bytes through the read cycle: the frames of card 317.
  acq::FileSource file;
  std::string error;
  ASSERT_TRUE(file.open(acq::capturePartName(base, 2), error));
  bench.acq.setBlockSource(&file);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(bench.acq.ReadShowFrame(), acq::kReadOk);
  EXPECT_EQ(bench.acq.CardNumber, 317);
  bench.acq.setBlockSource(nullptr);
}

}  // namespace
