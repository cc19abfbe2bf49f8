// Fuzz target: the linearity-file reader. Every line of the input goes through the data-line
// parser, and the whole input is loaded as a linearity file into the current-setup table and
// the sixteen rings of a started bench (no QuickUSB module).
//
// Checked beside memory safety: a line that is no data line leaves the setup as it was; a data
// line reads the values scanf would read; after a load the table holds the file's data lines
// (consecutive duplicates once, at most 20, the rest of the table cleared) and every ring lists
// exactly the table, each item's value its index and its label the record's current.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/bench.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "functest/current_setups.h"
#include "rt/clock.h"

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "fuzz_linearity: %s\n", what);
  std::abort();
}

void check(bool ok, const char *what) {
  if (!ok) fail(what);
}

bool sameFloat(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool sameSetup(const hw::CurrentSetup &a, const hw::CurrentSetup &b) {
  bool same = sameFloat(a.Current, b.Current) && a.Mux == b.Mux && a.Mux_1 == b.Mux_1 &&
              a.IntegrationTime == b.IntegrationTime && a.WaitingTime == b.WaitingTime &&
              sameFloat(a.TolerenceMin, b.TolerenceMin) &&
              sameFloat(a.TolerenceMax, b.TolerenceMax);
  for (int ch = 0; ch < 8; ++ch) same = same && a.Dac[ch] == b.Dac[ch];
  return same;
}

// One started bench for the whole run, and the file its linearity-file control names.
struct Fixture {
  rt::VirtualClock clock;
  std::string dir;
  std::unique_ptr<app::Bench> bench;
  std::string file;

  Fixture() {
    char name[] = "/tmp/fuzz_linearity.XXXXXX";
    if (!mkdtemp(name)) fail("no temporary folder");
    dir = name;
    file = dir + "/Card_3.txt";
    app::BenchOptions options{app::defaultUiDir(), dir + "/no_quickusb.so", "",
                              dir + "/Corvath.ini"};
    bench = std::make_unique<app::Bench>(clock, options);
    bench->StartUp();
    bench->rt.SetCtrlVal(bench->panels.TabBData, ctl::TabBData::LinearityFile, file);
  }
  ~Fixture() {
    bench.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

void checkLine(std::string_view line) {
  hw::CurrentSetup sentinel;
  sentinel.Current = -7.5f;
  sentinel.Mux = 0x5A5A;
  sentinel.Dac[5] = -3;
  sentinel.WaitingTime = 99;
  hw::CurrentSetup setup = sentinel;
  const bool data = functest::ParseCurrentSetupLine(line, setup);
  if (!data) {
    check(sameSetup(setup, sentinel), "a line that is no data line changed the setup");
    return;
  }
  // Where scanf reads the line too, both read the same values.
  if (line.find('\0') != std::string_view::npos) return;
  const std::string text(line);
  hw::CurrentSetup s;
  int *d = s.Dac;
  if (std::sscanf(text.c_str(), "%f %d %d %d %d %d %d %d %d %d %d %d %f %f %d", &s.Current, &s.Mux,
                  &s.Mux_1, &d[0], &d[1], &d[2], &d[3], &d[4], &d[5], &d[6], &d[7],
                  &s.IntegrationTime, &s.TolerenceMin, &s.TolerenceMax, &s.WaitingTime) == 15)
    check(sameSetup(setup, s), "a data line read otherwise than scanf reads it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Fixture &fx = fixture();
  const std::string_view text(reinterpret_cast<const char *>(data), size);

  // The data lines, line by line, as the file reader sees them.
  std::vector<hw::CurrentSetup> expected;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    checkLine(line);
    hw::CurrentSetup setup;
    if (!functest::ParseCurrentSetupLine(line, setup)) continue;
    if (!expected.empty() && setup.Current == expected.back().Current) continue;
    expected.push_back(setup);
  }

  // The whole input as the linearity file.
  {
    std::FILE *f = std::fopen(fx.file.c_str(), "wb");
    if (!f) fail("cannot write the linearity file");
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  app::Bench &b = *fx.bench;
  check(b.shell.currentSetups().LoadCurrentSetupIntoTheRings() == 0, "load failed");

  const size_t stored = std::min<size_t>(expected.size(), hw::kCurrentSetupCapacity);
  check(b.setups.count == static_cast<int>(stored), "count of loaded setups");
  for (size_t i = 0; i < hw::kCurrentSetupCapacity; ++i)
    check(sameSetup(b.setups.CalibrParameter[i], i < stored ? expected[i] : hw::CurrentSetup{}),
          i < stored ? "a setup stored otherwise than read" : "a record past the loaded ones");

  const ctl::Panels &p = b.panels;
  for (int ch = 0; ch < 8; ++ch)
    for (auto [panel, ring] : {std::pair{p.TestCFCPanel, ctl::Test::CurrentSelect[ch]},
                               std::pair{p.OptionsPanel, ctl::Options::CurrentSelect[ch]}}) {
      const std::vector<rt::RingItem> &items = b.rt.control(panel, ring).items;
      check(items.size() == stored, "ring items");
      for (size_t i = 0; i < stored; ++i)
        check(items[i].value == static_cast<double>(i) &&
                  items[i].label == functest::CurrentSetupLabel(b.setups.CalibrParameter[i]),
              "ring item");
      if (stored > static_cast<size_t>(functest::kRingValueAfterLoad))
        check(b.rt.GetCtrlValI(panel, ring) == functest::kRingValueAfterLoad, "ring not set to 7");
    }
  return 0;
}
