// The Bench: the context that owns every subsystem of the program, its start-up and shutdown.
// A test builds a fresh Bench; nothing is shared between two of them but the loaded library.
#pragma once

#include <string>

#include "acq/acquisition.h"
#include "app/shell.h"
#include "ctl/panels.h"
#include "functest/acq_bench_port.h"
#include "functest/html_report.h"
#include "functest/progress.h"
#include "functest/sequencer.h"
#include "history/live_writer.h"
#include "history/step_time_asker.h"
#include "history/store.h"
#include "hw/fpga.h"
#include "hw/fpga_config.h"
#include "hw/quickusb.h"
#include "rt/runtime.h"

namespace app {

struct BenchOptions {
  std::string uiDir;                // folder of the five panel files
  std::string quickusbLib;          // QuickUSB library path (empty: the vendor's libquickusb.so)
  std::string simConfig;            // board configuration for the simulated bench (empty: default)
  std::string settingsPath;         // settings file (empty: the default path)
  std::string conversionFile = {};  // text conversion of a raw capture (empty: the default path)
  std::string resultsDb = {};       // results store (empty: history::defaultStorePath())
  std::string moduleName = {};      // QuickUSB module to drive (empty: the first found)
  functest::UnattendedPolicy unattended = {};      // the operator's give-up policy (off by default)
  std::array<bool, 3> unattendedFromOptions = {};  // durations the command line gave
  std::string station = {};  // this bench's name in the store (empty: configured or host)
  bool autoSync = false;     // the writer stores the runs that waited, by itself
};

// Default locations, overridable by options.
std::string defaultSettingsPath();   // $XDG_CONFIG_HOME/tessock/Corvath.ini or ~/.config/...
std::string defaultUiDir();          // <bin>/ui, <bin>/../share/tessock/ui; build folder: ui/
std::string simulatorLibraryPath();  // <bin>/libquickusb_sim.so, else <bin>/../lib/tessock/

class Bench {
 public:
  Bench(rt::Clock &clock, BenchOptions options);
  ~Bench();
  Bench(const Bench &) = delete;
  Bench &operator=(const Bench &) = delete;

  // Start-up steps 3 to 10: panels, tab pages, fonts, QuickUSB and its outcome lines, main
  // panel shown, srand(1), settings file, main panel to the FPGA. Throws rt::LoadError naming
  // the file and the problem when a panel file is missing, malformed or lacks a control the
  // program uses (id and kind of every typed constant).
  void StartUp();
  // Steps 12 and 13: discard the main panel, close the module, unload the library. Before,
  // the results writer gets up to 10 s to store what it holds while the store is locked; what
  // it could not store is said in the log box and a pop-up.
  void ShutDown();
  // Whether a run lost lines of its report or record.
  bool resultsLost() const { return test.report.lostAtEnd(); }
  // Whether lines of a run were not in the results store at the end (they wait in its outbox).
  bool resultsWaiting() const { return resultsWaiting_; }

  int Quit(int panel, int control, int event);

  BenchOptions options;
  // The questions of the history page, on a connection of their own (read-only).
  history::Store results;
  // Every run goes into the store as it is reported, through this writer thread.
  history::LiveWriter resultsWriter;
  // The step-time question of each run start, off the bench's thread.
  history::StepTimeAsker stepTimes;
  rt::Runtime rt;
  ctl::Panels panels;
  hw::QuickUsb usb;
  hw::Fpga fpga;
  hw::CurrentSetups setups;
  hw::FpgaConfig config;
  acq::Acquisition acq;
  functest::AcqBenchPort testBench;
  functest::FunctionalTest test;
  // Beside the store, the run is watched by its progress (step n of m, time left, verdict) and
  // by the writer of its HTML report at the end.
  functest::Progress progress;
  functest::HtmlReportSink htmlReport;
  functest::SinkTee runSinks;
  Shell shell;
  int loadOutcome = 0;  // result of LoadQuickUSB

 private:
  void registerCallbacks();
  bool shutDown_ = false;
  bool resultsWaiting_ = false;
};

}  // namespace app
