// A bench whose board is whatever the test writes into its state: the functional test's steps
// driven without the simulator. Reads, acquisition toggles and configuration sends are counted,
// and hooks let a test answer them.
#pragma once

#include <functional>
#include <vector>

#include "functest/bench_port.h"

namespace testenv {

class FakeBench : public functest::BenchPort {
 public:
  double Timer() override { return now; }
  long long WallTime() override { return wallTime; }
  int ReadShowFrame() override {
    ++reads;
    if (onRead) onRead();
    if (!readResults.empty()) {
      const int r = readResults.front();
      readResults.erase(readResults.begin());
      return r;
    }
    return 0;
  }
  bool AcquisitionRunning() override { return running; }
  int ContinuousReadStartStop() override {
    running = !running;
    ++startStops;
    return 0;
  }
  int UpdateMainPanel() override { return 0; }
  int UpdateMainPanelWithoutFpga() override { return 0; }
  int UpdateFPGAConfigFromOptionPanel() override {
    ++configUpdates;
    if (onConfig) onConfig();
    return 0;
  }
  int UpdateCurrentChangeInFPGA() override {
    ++currentUpdates;
    return 0;
  }
  void EndRecording() override { ++recordingsEnded; }
  acq::AcqState &state() override { return st; }
  bool ModuleConnected() override { return true; }

  double now = 100.0;
  long long wallTime = 0;
  acq::AcqState st;
  bool running = false;
  int startStops = 0, reads = 0, configUpdates = 0, currentUpdates = 0, recordingsEnded = 0;
  std::vector<int> readResults;  // results of the next reads (0 after them)
  std::function<void()> onRead, onConfig;
};

}  // namespace testenv
