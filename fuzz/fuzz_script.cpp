// Fuzz target: the script parser, then the script run by the scripted operator against a bench
// without a library (no-hardware mode) in virtual time, one line at a time. A script is refused
// with a line number, each line runs to an exit status; nothing may crash, overflow or hang.
//
// Bounded so that every input is quick and harmless: the virtual time a script may spend is
// capped, and only commits of callbacks that write no files run (the record, capture, replay
// and test callbacks write where a control says). Pop-ups are answered no and file selections
// cancelled.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "script/script.h"

namespace {

// Callbacks whose commits a fuzzed script may run.
const std::set<std::string> kSafeCommits = {
    "ContiReads",
    "ReadData__",
    "OpenOptionUI",
    "ViewRawDatas",
    "ShowTestPanel",
    "Write_Instruction",
    "Rst_fpga",
    "ResetAdcCompensation",
    "Read_JTAG",
    "UpdateConfigPanelandUSB",
    "UIChangeSetup",
    "UpdatePanelSumMax",
    "UpdateCurrentChange",
    "ChangeOptionUI",
    "ControlCodeBars",
    "ChangeReadOutMode",
    "ChangeLinearityFile",
    "UpdateOptionPanelValues",
    "Quit",
    // They save the settings, into the scratch folder.
    "CloseOptionsPanel",
    "CloseRawDataPanel",
    "CloseShowFrame",
    "CloseTestCFC",
};

// Virtual seconds one input may spend waiting, all lines together.
constexpr double kBudget = 2.0;

struct Quiet : rt::Operator {
  void messagePopup(const std::string &, const std::string &) override {}
  bool confirmPopup(const std::string &, const std::string &) override { return false; }
  rt::FileSelect fileSelectPopup(const rt::FileRequest &, std::string &) override {
    return rt::FileSelect::Cancelled;
  }
};

struct BudgetHost : cli::ScriptHost {
  rt::Runtime &rt;
  double left = kBudget;
  explicit BudgetHost(rt::Runtime &r) : rt(r) {}
  bool runFor(double seconds, const std::function<bool()> &done) override {
    double s = seconds < left ? seconds : left;
    left -= s;
    return rt.RunUntil(rt.Timer() + s, done);
  }
  bool screenshot(int, const std::string &, std::string &error) override {
    error = "no screenshots";
    return false;
  }
};

std::filesystem::path scratchPath() {
  return std::filesystem::temp_directory_path() /
         ("tessock-fuzz-script-" + std::to_string(getpid()));
}

// A folder of this process for the settings file, removed at exit.
std::string scratchDir() {
  static const bool made = [] {
    std::filesystem::create_directories(scratchPath());
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratchPath(), ec);
    });
    return true;
  }();
  (void)made;
  return scratchPath().string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<cli::ScriptLine> lines;
  std::string error;
  if (!cli::parseScript(text, lines, error)) {
    if (error.rfind("line ", 0) != 0) std::abort();  // every refusal names its line
    return 0;
  }
  int previous = 0;
  for (const cli::ScriptLine &line : lines) {
    if (line.words.empty() || line.words.size() != line.quoted.size() || line.number <= previous)
      std::abort();
    previous = line.number;
  }

  rt::VirtualClock clock;
  app::BenchOptions options;
  options.uiDir = std::string(TESSOCK_SOURCE_DIR) + "/ui";
  options.quickusbLib = "/nonexistent/libquickusb.so";
  options.settingsPath = scratchDir() + "/Corvath.ini";
  app::Bench bench(clock, options);
  Quiet quiet;
  bench.rt.setOperator(&quiet);
  bench.StartUp();

  std::vector<cli::ScriptLine> runnable;
  for (const cli::ScriptLine &line : lines) {
    if (line.words[0] == "commit") {
      int panel = 0, control = 0;
      std::ostringstream none;
      BudgetHost probe(bench.rt);
      cli::ScriptOperator op(none);
      cli::ScriptRunner resolver(bench, probe, op, none, none);
      if (resolver.resolve(line.words[1], panel, control) &&
          !kSafeCommits.count(bench.rt.control(panel, control).callbackName))
        continue;
    }
    runnable.push_back(line);
  }

  std::ostringstream out, err;
  cli::ScriptOperator op(out);  // takes the queued answers; the quiet operator answers
  BudgetHost host(bench.rt);
  cli::ScriptRunner runner(bench, host, op, out, err);
  // Line by line: a line that fails ends only itself, so that the lines after it run too.
  for (const cli::ScriptLine &line : runnable) {
    err.str("");
    int status = runner.run({line});
    if (status != cli::EXIT_OK && status != cli::EXIT_USAGE && status != cli::EXIT_FAILED)
      std::abort();
    if (status != cli::EXIT_OK && err.str().rfind("script line ", 0) != 0) std::abort();
    if (bench.rt.quitRequested() || line.words[0] == "quit") break;
  }
  bench.rt.setOperator(nullptr);
  bench.ShutDown();
  return 0;
}
