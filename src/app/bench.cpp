#include "app/bench.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <span>
#include <vector>

#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/raw_data_panel.h"
#include "ctl/show_frame_panel.h"
#include "ctl/test_panel.h"

namespace app {

namespace fs = std::filesystem;

namespace {

// Every control the program reaches through its constants must be in its panel, with that
// kind: a panel file that lacks one stops start-up naming the file and the control, instead of
// failing inside a callback later.
void checkPanel(const rt::Runtime &rt, int handle, const char *alias,
                std::span<const ctl::Entry> all) {
  const rt::Panel &p = rt.panel(handle);
  const std::string file = "panel file '" + p.file + "': ";
  if (p.alias != alias)
    throw rt::LoadError(file + "holds panel '" + p.alias + "' where panel '" + alias + "' belongs");
  for (const ctl::Entry &e : all) {
    const rt::Control *c = p.find(e.ctl.id);
    const std::string what =
        std::string(alias) + "." + e.name + " (id " + std::to_string(e.ctl.id) + ")";
    if (!c) throw rt::LoadError(file + "no control " + what);
    if (c->kind != e.ctl.kind)
      throw rt::LoadError(file + "control " + what + " is a " + rt::kindName(c->kind) + ", not a " +
                          rt::kindName(e.ctl.kind));
  }
}

std::string executableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

// The build tree's programs find the panel files in the source tree and the simulated bench
// beside them. An installed (or moved) program never looks there: whatever the build folder
// holds later, the program uses only its own install tree.
// The program's folder comes resolved from /proc/self/exe and the build folder resolved by the
// build, so the paths are compared as they stand: an installed program never even looks at
// the build folder.
bool runsFromBuildTree(const std::string &exeDir) {
  return !exeDir.empty() &&
         fs::path(exeDir).lexically_normal() == fs::path(TESSOCK_BINARY_DIR).lexically_normal();
}

// The first candidate holding `file`, else the last one, so that a failure names a place the
// program really looked at.
std::string firstHolding(const std::vector<fs::path> &candidates, const fs::path &file) {
  for (const fs::path &candidate : candidates) {
    std::error_code ec;
    if (fs::exists(candidate / file, ec)) return candidate.lexically_normal().string();
  }
  return candidates.back().lexically_normal().string();
}

}  // namespace

std::string defaultUiDir() {
  // Installed: <prefix>/bin/../share/tessock/ui; a folder ui/ beside the program wins.
  const std::string exe = executableDir();
  std::vector<fs::path> candidates = {fs::path(exe) / "ui",
                                      fs::path(exe) / ".." / "share" / "tessock" / "ui"};
  if (runsFromBuildTree(exe)) candidates.push_back(fs::path(TESSOCK_SOURCE_DIR) / "ui");
  return firstHolding(candidates, ctl::kPanelFiles[0]);
}

std::string simulatorLibraryPath() {
  // Beside the program (the build tree), else <prefix>/bin/../lib/tessock when installed.
  const std::string exe = executableDir();
  const fs::path file = "libquickusb_sim.so";
  std::vector<fs::path> candidates = {fs::path(exe)};
  if (!runsFromBuildTree(exe)) candidates.push_back(fs::path(exe) / ".." / "lib" / "tessock");
  return (fs::path(firstHolding(candidates, file)) / file).string();
}

Bench::Bench(rt::Clock &clock, BenchOptions opts)
    : options(std::move(opts)),
      results(options.resultsDb),
      resultsWriter(options.resultsDb, options.autoSync),
      stepTimes(options.resultsDb),
      rt(clock),
      usb(rt, panels),
      fpga(rt, panels, usb),
      config(rt, panels, fpga, setups),
      acq(rt, panels, usb, config),
      testBench(rt, panels, acq, config, usb),
      test(rt, panels, testBench),
      progress(rt, panels),
      htmlReport(rt, panels),
      runSinks({&resultsWriter, &progress, &htmlReport}),
      shell(rt, panels, config, acq, setups, test.state) {
  if (options.uiDir.empty()) options.uiDir = defaultUiDir();
  if (options.settingsPath.empty()) options.settingsPath = defaultSettingsPath();
  if (!options.quickusbLib.empty()) usb.setLibraryPath(options.quickusbLib);
  usb.setSimConfig(options.simConfig);
  usb.setModuleName(options.moduleName);
  shell.setSettingsPath(options.settingsPath);
  if (!options.conversionFile.empty()) acq.conversionPath = options.conversionFile;
  acq.refreshIdentification = [this] { shell.fControlCodeBars(); };
  test.report.setSink(&runSinks);
  test.report.setStation(options.station.empty() ? history::defaultStation() : options.station);
  test.unattended = options.unattended;
  shell.setUnattended(&test.unattended, options.unattendedFromOptions);
  // The time left is estimated from the same steps of earlier runs in the store.
  progress.estimates = &stepTimes;
  // The test panel says what the run waits for from the operator, and a start that was refused.
  progress.setTestState(&test.state);
  test.onRefused = [this](const std::string &title) { progress.refused(title); };
  registerCallbacks();
}

Bench::~Bench() { ShutDown(); }

void Bench::StartUp() {
  // The five panels, in order: the main panel holds handle 1.
  int *handles[5] = {&panels.MainPanel, &panels.OptionsPanel, &panels.RawData,
                     &panels.ShowFramePanel, &panels.TestCFCPanel};
  for (int i = 0; i < 5; ++i)
    *handles[i] = rt.LoadPanel((fs::path(options.uiDir) / ctl::kPanelFiles[i]).string());
  checkPanel(rt, panels.MainPanel, "Main", ctl::Main::kAll);
  checkPanel(rt, panels.OptionsPanel, "Options", ctl::Options::kAll);
  checkPanel(rt, panels.RawData, "RawData", ctl::RawData::kAll);
  checkPanel(rt, panels.ShowFramePanel, "ShowFrame", ctl::ShowFrame::kAll);
  checkPanel(rt, panels.TestCFCPanel, "Test", ctl::Test::kAll);
  if (rt.control(panels.TestCFCPanel, ctl::Test::Tabs).pages.size() < 3)
    throw rt::LoadError("panel file '" + rt.panel(panels.TestCFCPanel).file +
                        "': the tab control Test.Tabs needs three pages");
  // The tab pages of the test panel; page 0 active.
  panels.TabBData = rt.GetPanelHandleFromTabPage(panels.TestCFCPanel, ctl::Test::Tabs, 0);
  panels.TabSlope = rt.GetPanelHandleFromTabPage(panels.TestCFCPanel, ctl::Test::Tabs, 1);
  panels.TabLin = rt.GetPanelHandleFromTabPage(panels.TestCFCPanel, ctl::Test::Tabs, 2);
  checkPanel(rt, panels.TabBData, "TabBData", ctl::TabBData::kAll);
  checkPanel(rt, panels.TabSlope, "TabSlope", ctl::TabSlope::kAll);
  checkPanel(rt, panels.TabLin, "TabLin", ctl::TabLin::kAll);
  rt.SetActiveTabPage(panels.TestCFCPanel, ctl::Test::Tabs, 0);
  // Monospaced text for the frame text and the information box.
  rt.SetCtrlAttribute(panels.ShowFramePanel, ctl::ShowFrame::FrameText, rt::ATTR_TEXT_FONT,
                      std::string("NIEditorMetaFont"));
  rt.SetCtrlAttribute(panels.MainPanel, ctl::Main::InfoBox, rt::ATTR_TEXT_FONT,
                      std::string("NIEditorMetaFont"));
  // QuickUSB and its outcome.
  loadOutcome = usb.LoadQuickUSB();
  // A board configuration that was named but cannot be used ends the program: the default
  // board would be tested in its place.
  if (!options.simConfig.empty() && !usb.simConfigProblem().empty())
    throw rt::LoadError(usb.simConfigProblem());
  const int m = panels.MainPanel;
  switch (loadOutcome) {
    case 0:
      rt.InsertTextBoxLine(m, ctl::Main::ModuleName, -1, usb.NameList);
      break;
    case -1:
      rt.InsertTextBoxLine(m, ctl::Main::InfoBox, -1,
                           "Can't oad the library for the QuickUSB 'QuickUSB.lib' ");
      // The path that was tried and the loader's reason, on a line of their own.
      if (!usb.openProblem().empty())
        rt.InsertTextBoxLine(m, ctl::Main::InfoBox, -1, usb.openProblem());
      break;
    case -2:
      rt.InsertTextBoxLine(m, ctl::Main::InfoBox, -1, "Board(s) not found");
      rt.MessagePopup("No QuickUSB board found",
                      "The Software will work in demo mode. Please connect a QuickUSB board to the "
                      "computer and restart the program");
      break;
    case -3:
      rt.InsertTextBoxLine(m, ctl::Main::InfoBox, -1, "Can't open the board");
      break;
    case -4:
      rt.InsertTextBoxLine(m, ctl::Main::InfoBox, -1, usb.NameList);
      rt.InsertTextBoxLine(m, ctl::Main::InfoBox, -1, "Can't read settings ---");
      break;
    default:
      break;
  }
  // An instance that drives a module says which in its window title, so that two instances on
  // one PC (one per module) are told apart.
  if (usb.NbrQuickUSBConnected != 0) rt.SetPanelTitle(m, rt.panel(m).title + " - " + usb.NameList);
  // Only the main panel is shown.
  rt.DisplayPanel(m);
  // The no-hardware frame filler draws from the standard generator, always seeded with 1.
  std::srand(1);
  // The operator's settings (and, when the file exists, the configuration to the FPGA).
  shell.ReadTheUserInterfaceSettings();
  // The main-panel settings to the FPGA, whether or not a settings file existed.
  config.UpdateMainPanel();
}

void Bench::ShutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  const std::string unstored = resultsWriter.finish(10.0);
  if (!unstored.empty()) {
    resultsWaiting_ = true;
    // A store that refused the run takes it only once its administrator has mended the role.
    const std::string message =
        "Not stored: " + unstored +
        (resultsWriter.unsettledRefused()
             ? ". The store refuses it until its administrator mends it; the run waits in the "
               "store's outbox for tessock-cli --sync (or --import of its record's folder)."
             : ". The run waits in the store's outbox: tessock-cli --sync (or --import of its "
               "record's folder) completes it.");
    if (panels.TestCFCPanel && rt.hasPanel(panels.TestCFCPanel))
      rt.InsertTextBoxLine(panels.TestCFCPanel, ctl::Test::LogBox, -1, message);
    rt.MessagePopup("Test results not all stored", message);
  }
  if (panels.MainPanel && rt.hasPanel(panels.MainPanel)) rt.DiscardPanel(panels.MainPanel);
  usb.Shutdown();
}

int Bench::Quit(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  // A run under way is stopped, not left: its report says so and the store has it STOPPED.
  test.stopForQuit();
  rt.QuitUserInterface(0);
  return 0;
}

}  // namespace app
