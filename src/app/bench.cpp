#include "app/bench.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "ctl/main_panel.h"
#include "ctl/show_frame_panel.h"
#include "ctl/test_panel.h"

namespace app {

namespace fs = std::filesystem;

namespace {

std::string executableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

}  // namespace

std::string defaultUiDir() {
  // Installed: <prefix>/bin/../share/tessock/ui; build tree: the source tree's ui/.
  std::string exe = executableDir();
  for (const fs::path &candidate :
       {fs::path(exe) / "ui", fs::path(exe) / ".." / "share" / "tessock" / "ui",
        fs::path(TESSOCK_SOURCE_DIR) / "ui"}) {
    std::error_code ec;
    if (fs::exists(candidate / ctl::kPanelFiles[0], ec)) return candidate.lexically_normal().string();
  }
  return (fs::path(TESSOCK_SOURCE_DIR) / "ui").string();
}

std::string simulatorLibraryPath() {
  std::string exe = executableDir();
  for (const fs::path &candidate :
       {fs::path(exe) / "libquickusb_sim.so", fs::path(exe) / ".." / "lib" / "libquickusb_sim.so",
        fs::path(TESSOCK_BINARY_DIR) / "libquickusb_sim.so"}) {
    std::error_code ec;
    if (fs::exists(candidate, ec)) return candidate.lexically_normal().string();
  }
  return (fs::path(TESSOCK_BINARY_DIR) / "libquickusb_sim.so").string();
}

Bench::Bench(rt::Clock &clock, BenchOptions opts)
    : options(std::move(opts)),
      rt(clock),
      usb(rt, panels),
      fpga(rt, panels, usb),
      config(rt, panels, fpga, setups),
      acq(rt, panels, usb, config),
      shell(rt, panels, config, acq, setups) {
  if (options.uiDir.empty()) options.uiDir = defaultUiDir();
  if (options.settingsPath.empty()) options.settingsPath = defaultSettingsPath();
  if (!options.quickusbLib.empty()) usb.setLibraryPath(options.quickusbLib);
  usb.setSimConfig(options.simConfig);
  shell.setSettingsPath(options.settingsPath);
  acq.refreshIdentification = [this] { shell.fControlCodeBars(); };
  registerCallbacks();
}

Bench::~Bench() { ShutDown(); }

void Bench::StartUp() {
  // 3. The five panels, in order: the main panel holds handle 1.
  int *handles[5] = {&panels.MainPanel, &panels.OptionsPanel, &panels.RawData, &panels.ShowFramePanel,
                     &panels.TestCFCPanel};
  for (int i = 0; i < 5; ++i)
    *handles[i] = rt.LoadPanel((fs::path(options.uiDir) / ctl::kPanelFiles[i]).string());
  // 4. The tab pages of the test panel; page 0 active.
  panels.TabBData = rt.GetPanelHandleFromTabPage(panels.TestCFCPanel, ctl::Test::Tabs, 0);
  panels.TabSlope = rt.GetPanelHandleFromTabPage(panels.TestCFCPanel, ctl::Test::Tabs, 1);
  panels.TabLin = rt.GetPanelHandleFromTabPage(panels.TestCFCPanel, ctl::Test::Tabs, 2);
  rt.SetActiveTabPage(panels.TestCFCPanel, ctl::Test::Tabs, 0);
  // 5. Monospaced text for the frame text and the information box.
  rt.SetCtrlAttribute(panels.ShowFramePanel, ctl::ShowFrame::FrameText, rt::ATTR_TEXT_FONT,
                      std::string("NIEditorMetaFont"));
  rt.SetCtrlAttribute(panels.MainPanel, ctl::Main::InfoBox, rt::ATTR_TEXT_FONT,
                      std::string("NIEditorMetaFont"));
  // 6. QuickUSB and its outcome.
  loadOutcome = usb.LoadQuickUSB();
  const int m = panels.MainPanel;
  switch (loadOutcome) {
    case 0:
      rt.InsertTextBoxLine(m, ctl::Main::ModuleName, -1, usb.NameList);
      break;
    case -1:
      rt.InsertTextBoxLine(m, ctl::Main::InfoBox, -1,
                           "Can't oad the library for the QuickUSB 'QuickUSB.lib' ");
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
  // 7. Only the main panel is shown.
  rt.DisplayPanel(m);
  // 8. The no-hardware frame filler draws from the standard generator, always seeded with 1.
  std::srand(1);
  // 9. The operator's settings (and, when the file exists, the configuration to the FPGA).
  shell.ReadTheUserInterfaceSettings();
  // 10. The main-panel settings to the FPGA, whether or not a settings file existed.
  config.UpdateMainPanel();
}

void Bench::ShutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (panels.MainPanel && rt.hasPanel(panels.MainPanel)) rt.DiscardPanel(panels.MainPanel);
  usb.Shutdown();
}

int Bench::Quit(int, int, int event) {
  if (event == rt::EVENT_COMMIT) rt.QuitUserInterface(0);
  return 0;
}

}  // namespace app
