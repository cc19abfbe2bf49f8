// Controls of the frame-view panel (TessockShowFrame_panel.ui).
#pragma once

#include "ctl/all_controls.h"
#include "rt/runtime.h"

// Frame-view panel: the last decoded frame as text.
namespace ctl::ShowFrame {

inline constexpr rt::Ctl FrameText{3, rt::Kind::TextBox};
inline constexpr rt::Ctl Close{100, rt::Kind::Button};

// Every control of the panel, by name.
inline constexpr Entry kAll[] = {
    {"FrameText", FrameText},
    {"Close", Close},
};

}  // namespace ctl::ShowFrame
