// Current setups: the data lines of the linearity file, loaded into the table CalibrParameter and
// listed in the sixteen current-setup rings of the options and test panels, where the operator
// and the measurement steps select a channel's input current by record index.
#pragma once

#include <string>
#include <string_view>

#include "ctl/panels.h"
#include "hw/fpga_config.h"
#include "rt/runtime.h"

namespace functest {

// Reads one line of the linearity file with the layout
// "%f %d %d %d %d %d %d %d %d %d %d %d %f %f %d" (current, selector A, selector B, the eight
// source values, running sum, lower limit, upper limit, settling time). True when all fifteen
// values are read: the line is a data line and `setup` holds it in stored order. Any other line
// (header, comment, empty) gives false and leaves `setup` as it was. Text after the fifteenth
// value is ignored; a number that does not fit its field, or a current that is not a finite
// positive number, makes the line no data line.
bool ParseCurrentSetupLine(std::string_view line, hw::CurrentSetup &setup);

// The ring label of a current setup: its current in amperes, "%.3e".
std::string CurrentSetupLabel(const hw::CurrentSetup &setup);

// Index the rings are set to after loading.
inline constexpr int kRingValueAfterLoad = 7;

class CurrentSetupLoader {
 public:
  CurrentSetupLoader(rt::Runtime &rt, const ctl::Panels &panels, hw::CurrentSetups &setups)
      : rt_(rt), panels_(panels), setups_(setups) {}

  // Loads the data lines of the file named in TabBData.LinearityFile into CalibrParameter and
  // lists them in the eight rings of the test panel and the eight of the options panel (label
  // "%.3e" of the current, value = record index); consecutive lines with the same current are
  // listed once. The rings are then set to index 7. 0 after loading; -1 when the file does not
  // exist (silently) or cannot be read: no regular file (a folder, a pipe, a device), no
  // permission, larger than rt::kLinearityFileLimit; a pop-up then gives the reason. Table and
  // rings stay untouched on -1.
  // The table holds 20 records: further setups are ignored and the operator is told how many.
  // A file without a data line empties table and rings, and a pop-up says so.
  int LoadCurrentSetupIntoTheRings();

  // Button callback: on commit, lets the operator pick an existing linearity file, puts its
  // path into TabBData.LinearityFile and loads it.
  int ChangeLinearityFile(int panel, int control, int event);

 private:
  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  hw::CurrentSetups &setups_;
};

}  // namespace functest
