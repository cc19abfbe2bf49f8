// Controls of the raw-data panel (Tessock_RawData_panel.ui).
#pragma once

#include "ctl/all_controls.h"
#include "rt/runtime.h"

// Raw-data panel: the words of the last block.
namespace ctl::RawData {

inline constexpr rt::Ctl Words{2, rt::Kind::TextBox};
inline constexpr rt::Ctl Close{100, rt::Kind::Button};

// Every control of the panel, by name.
inline constexpr Entry kAll[] = {
    {"Words", Words},
    {"Close", Close},
};

}  // namespace ctl::RawData
