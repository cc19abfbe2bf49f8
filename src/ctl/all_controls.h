// Typed control constants: what every panel header shares.
//
// Each panel header (main_panel.h, options_panel.h, raw_data_panel.h, show_frame_panel.h,
// test_panel.h) declares, in namespace ctl::<Alias>, one rt::Ctl per control of its panel file
// (id and kind, named after the widget's objectName), arrays for the per-channel and per-bit
// controls, and a table kAll of every control by name. The tests load the panel files and hold
// each table against the loaded panel, so a constant cannot drift from its file.
#pragma once

#include <span>
#include <string_view>

#include "rt/runtime.h"

namespace ctl {

struct Entry {
  const char *name;
  rt::Ctl ctl;
};

// The entry of `name` in a panel's table, or nullptr.
constexpr const Entry *findEntry(std::span<const Entry> all, std::string_view name) {
  for (const Entry &e : all)
    if (name == e.name) return &e;
  return nullptr;
}

}  // namespace ctl
