// Handles of the five panels and the three tab pages of the test panel, in load order: the main
// panel is loaded first and holds handle 1.
#pragma once

namespace ctl {

struct Panels {
  int MainPanel = 0;
  int OptionsPanel = 0;
  int RawData = 0;
  int ShowFramePanel = 0;
  int TestCFCPanel = 0;
  int TabBData = 0;
  int TabSlope = 0;
  int TabLin = 0;
};

// Panel files, in load order.
inline constexpr const char *kPanelFiles[5] = {
    "TessockCheck_main_panel.ui", "TessockCheck_options_panel.ui", "Tessock_RawData_panel.ui",
    "TessockShowFrame_panel.ui",  "TessockTestCfc2_panel.ui",
};

}  // namespace ctl
