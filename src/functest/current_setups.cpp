#include "functest/current_setups.h"

#include <cmath>
#include <sstream>

#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "rt/format.h"
#include "rt/input_file.h"
#include "rt/scan.h"

namespace functest {

namespace {

using rt::scanFloat;
using rt::scanInt;

}  // namespace

bool ParseCurrentSetupLine(std::string_view line, hw::CurrentSetup &setup) {
  // Text order: current, selector A, selector B, eight source values, running sum, lower limit,
  // upper limit, settling time. Stored order puts the settling time before the two limits.
  hw::CurrentSetup s;
  size_t pos = 0;
  // The current must be one a source can feed: a finite positive number of amperes ("nan",
  // "inf" or a negative value would become a ring label and a meaningless setup).
  bool ok = scanFloat(line, pos, s.Current) && std::isfinite(s.Current) && s.Current > 0 &&
            scanInt(line, pos, s.Mux) && scanInt(line, pos, s.Mux_1);
  for (int ch = 0; ok && ch < 8; ++ch) ok = scanInt(line, pos, s.Dac[ch]);
  ok = ok && scanInt(line, pos, s.IntegrationTime) && scanFloat(line, pos, s.TolerenceMin) &&
       scanFloat(line, pos, s.TolerenceMax) && scanInt(line, pos, s.WaitingTime);
  if (ok) setup = s;
  return ok;
}

std::string CurrentSetupLabel(const hw::CurrentSetup &setup) {
  return rt::format("%.3e", static_cast<double>(setup.Current));
}

int CurrentSetupLoader::LoadCurrentSetupIntoTheRings() {
  const std::string path = rt_.GetCtrlValS(panels_.TabBData, ctl::TabBData::LinearityFile);
  // A missing file leaves everything as it is, without a word (no file chosen yet). One that is
  // there but cannot be read is refused with its reason, rings and table untouched.
  const rt::InputFile file = rt::readInputFile(path, rt::kLinearityFileLimit);
  if (file.missing) return -1;
  if (!file.ok()) {
    rt_.MessagePopup("Linearity file", rt::format("The linearity file \"%s\" cannot be read: %s.",
                                                  path.c_str(), file.problem.c_str()));
    return -1;
  }
  std::istringstream in(file.text);

  for (const rt::Ctl &ring : ctl::Test::CurrentSelect)
    rt_.ClearListCtrl(panels_.TestCFCPanel, ring);
  for (const rt::Ctl &ring : ctl::Options::CurrentSelect)
    rt_.ClearListCtrl(panels_.OptionsPanel, ring);

  int n = 0;        // records stored
  int ignored = 0;  // setups past the table's capacity
  bool listedAny = false;
  float lastCurrent = 0;  // current of the last setup listed (or past the capacity)
  std::string line;
  while (std::getline(in, line)) {
    hw::CurrentSetup setup;
    if (!ParseCurrentSetupLine(line, setup)) continue;
    // Consecutive lines with the same current are listed once.
    if (listedAny && setup.Current == lastCurrent) continue;
    listedAny = true;
    lastCurrent = setup.Current;
    if (n >= hw::kCurrentSetupCapacity) {
      ++ignored;
      continue;
    }
    setups_.CalibrParameter[static_cast<size_t>(n)] = setup;
    const std::string label = CurrentSetupLabel(setup);
    for (const rt::Ctl &ring : ctl::Test::CurrentSelect)
      rt_.InsertListItem(panels_.TestCFCPanel, ring, n, label, n);
    for (const rt::Ctl &ring : ctl::Options::CurrentSelect)
      rt_.InsertListItem(panels_.OptionsPanel, ring, n, label, n);
    ++n;
    // After every insertion the rings are set to index 7; a ring without that item yet keeps
    // its selection (the first item).
    for (const rt::Ctl &ring : ctl::Test::CurrentSelect)
      rt_.SetCtrlVal(panels_.TestCFCPanel, ring, kRingValueAfterLoad);
    for (const rt::Ctl &ring : ctl::Options::CurrentSelect)
      rt_.SetCtrlVal(panels_.OptionsPanel, ring, kRingValueAfterLoad);
  }
  // Records past the loaded ones are cleared: no setup of an earlier file is applied through a
  // ring that has no item for it.
  for (int i = n; i < hw::kCurrentSetupCapacity; ++i)
    setups_.CalibrParameter[static_cast<size_t>(i)] = hw::CurrentSetup{};
  setups_.count = n;

  if (n == 0)
    rt_.MessagePopup("Linearity file",
                     rt::format("The linearity file \"%s\" has no data line: no current setup "
                                "is loaded.",
                                path.c_str()));
  if (ignored > 0)
    rt_.MessagePopup("Linearity file",
                     rt::format("The linearity file \"%s\" lists %d current setups; the table "
                                "holds %d. The last %d were ignored.",
                                path.c_str(), n + ignored, hw::kCurrentSetupCapacity, ignored));
  return 0;
}

int CurrentSetupLoader::ChangeLinearityFile(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  const auto request = rt::FileRequest::anyFile("*.txt", "Select Linearity File", false);
  std::string path;
  if (rt_.FileSelectPopup(request, path) != rt::FileSelect::Existing) return 0;
  rt_.SetCtrlVal(panels_.TabBData, ctl::TabBData::LinearityFile, path);
  LoadCurrentSetupIntoTheRings();
  return 0;
}

}  // namespace functest
