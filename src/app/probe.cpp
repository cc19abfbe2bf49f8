#include "app/probe.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "hw/block_format.h"
#include "rt/format.h"

namespace app {

namespace {

// Read intervals of the continuous acquisition in the two modes.
constexpr double kFramesInterval = 0.02;
constexpr double kSumsInterval = 0.4;

// Lets `seconds` pass after `from`: a virtual clock is advanced, a real one slept on.
void pace(rt::Clock &clock, double from, double seconds) {
  const double until = from + seconds;
  const double now = clock.now();
  if (now >= until) return;
  clock.advance(until - now);
  const double left = until - clock.now();
  if (left > 0) std::this_thread::sleep_for(std::chrono::duration<double>(left));
}

struct Reading {
  int reads = 0, failed = 0;
  bool lost = false;  // the module disappeared (read result -10)
  double first = 0, last = 0;
  int ok = 0;
};

class Probe {
 public:
  Probe(Bench &b, const std::function<void(const std::string &)> &line) : b_(b), line_(line) {}

  ProbeResult run() {
    library();
    if (b_.test.state.UnderTest != 0) {
      fault("a functional test is running: the bench check would disturb it");
    } else if (modules()) {
      jtag();
      readings();
    }
    store();
    say(r_.faults.empty() ? "OK" : "FAULT: " + joined(r_.faults));
    return r_;
  }

 private:
  void say(const std::string &l) {
    r_.lines.push_back(l);
    if (line_) line_(l);
  }
  void fault(const std::string &f) { r_.faults.push_back(f); }
  static std::string joined(const std::vector<std::string> &v) {
    std::string s;
    for (const std::string &x : v) s += (s.empty() ? "" : "; ") + x;
    return s;
  }

  void library() {
    hw::QuickUsb &u = b_.usb;
    if (!u.bound()) {
      say("Library: " + u.libraryPath() + ": not loaded");
      if (!u.bindProblem().empty()) say("  " + u.bindProblem());
      fault("the QuickUSB library cannot be loaded");
      return;
    }
    say("Library: " + u.loadedPath() +
        (u.isSimulator() ? " (the simulated bench)"
                         : " (QuickUSB library, not the simulated bench)"));
  }

  // The modules the library lists, and the one this instance drives with what the library
  // reports of it. False when there is no module to read from.
  bool modules() {
    hw::QuickUsb &u = b_.usb;
    if (!u.bound()) return false;
    const std::vector<std::string> names = u.ListModules();
    say(rt::format("Modules found: %d", int(names.size())));
    const bool driving = u.NbrQuickUSBConnected != 0;
    for (const std::string &n : names) {
      if (driving && n == u.NameList) {
        std::string settings;
        static const char *const kNames[5] = {"WORDWIDE", "DATA ADDRESS", "FIFO", "FPGATYPE",
                                              "CPUCONFIG"};
        for (uint16_t s = 1; s <= 5; ++s) {
          uint16_t v = 0;
          const bool read = u.pt_ReadConfiguration(u.USBDevice, s, &v) != 0;
          settings += rt::format("%s%s %s", s > 1 ? ", " : "", kNames[s - 1],
                                 read ? rt::format("0x%X", unsigned(v)).c_str() : "unreadable");
        }
        say("  " + n + " (driven by this program): " + settings +
            rt::format(", board number %d", u.VELTRA_BoardNumber));
      } else {
        // Opening another module would take it from the instance that may drive it.
        say("  " + n + " (not opened here; --module " + n + " checks it)");
      }
    }
    if (names.empty()) {
      fault("no QuickUSB module found");
      return false;
    }
    if (!driving) {
      const std::string &wanted = u.moduleName();
      fault(wanted.empty() || b_.loadOutcome == -3 ? "the module cannot be opened"
                                                   : "module " + wanted + " not found");
      return false;
    }
    if (b_.loadOutcome == -4) fault("the module's settings cannot be read back");
    return true;
  }

  void jtag() {
    b_.fpga.Read_JTAG(b_.panels.OptionsPanel, ctl::Options::JtagId.id, rt::EVENT_COMMIT);
    const auto id =
        static_cast<uint32_t>(b_.rt.GetCtrlValD(b_.panels.OptionsPanel, ctl::Options::JtagId));
    say(rt::format("FPGA JTAG id: 0x%08X", unsigned(id)));
    // TDO held low or high reads as all zeros or all ones: nothing answers on the chain.
    if (id == 0 || id == 0xFFFFFFFFu) fault("no JTAG device answers (TDO stuck)");
  }

  // Reads in `mode` every `interval` seconds until `seconds` lie between the first and the
  // last good read; `each` sees every good read.
  Reading read(int mode, int fibre, double interval, double seconds,
               const std::function<void(double)> &each) {
    rt::Runtime &rt = b_.rt;
    const int m = b_.panels.MainPanel;
    rt.SetCtrlVal(m, ctl::Main::ReadOutMode, mode);
    rt.SetCtrlVal(m, ctl::Main::FiberSelect, fibre);
    b_.config.UpdateMainPanel();
    Reading g;
    const double start = rt.Timer();
    // A bench that never delivers gives up after twice the time.
    while (rt.Timer() - start < 2 * seconds + 1) {
      const double before = rt.Timer();
      const int r = b_.acq.ReadShowFrame();
      ++g.reads;
      if (r == acq::kModuleLost) {
        g.lost = true;
        break;
      }
      if (r == acq::kReadOk) {
        const double t = rt.Timer();
        if (g.ok++ == 0) g.first = t;
        g.last = t;
        each(t);
        if (g.last - g.first >= seconds) break;
      } else {
        ++g.failed;
      }
      pace(rt.clock(), before, interval);
    }
    return g;
  }

  void frames(int fibre) {
    const char name = fibre == 0 ? 'A' : 'B';
    acq::AcqState &s = b_.acq;
    bool have = false;
    uint16_t previous = 0;
    double frameCount = 0;
    const Reading g =
        read(blk::FRAMES, fibre, kFramesInterval, kProbeFramesSecondsPerFibre, [&](double) {
          // The 16-bit frame counter of the newest frame: its steps between
          // reads 20 ms apart are well inside its 2.6 s turn.
          if (have) frameCount += uint16_t(s.FrameCounter - previous);
          previous = s.FrameCounter;
          have = true;
        });
    const double span = g.last - g.first;
    const double rate = span > 0 ? frameCount / span : 0.0;
    say(rt::format("FRAMES fibre %c: %d reads, %d failed, %.0f frames/s, card number %u", name,
                   g.reads, g.failed, rate, unsigned(s.CardNumber)));
    if (g.lost)
      fault(rt::format("module lost while reading FRAMES on fibre %c", name));
    else if (g.ok < 2 || rate <= 0)
      fault(rt::format("no frames on fibre %c", name));
    else if (g.failed > 0)
      fault(rt::format("%d of %d FRAMES reads failed on fibre %c", g.failed, g.reads, name));
    if (g.ok > 0) cards_.push_back(s.CardNumber);
  }

  void sums() {
    acq::AcqState &s = b_.acq;
    struct Counters {
      uint32_t frames, erra, errb, losta, lostb;
    };
    Counters first{}, last{};
    bool have = false;
    const Reading g =
        read(blk::SUMS_MAXIMUMS_ANALYSIS, 0, kSumsInterval, kProbeSumsSeconds, [&](double) {
          const Counters c{uint32_t(s.Frames), uint32_t(s.Erra), uint32_t(s.Errb),
                           uint32_t(s.Losta), uint32_t(s.Lostb)};
          if (!have) first = c;
          last = c;
          have = true;
        });
    const double span = g.last - g.first;
    // Growth modulo 2^32, as the fibre checks of the functional test count it.
    const uint32_t crcA = last.erra - first.erra, crcB = last.errb - first.errb;
    const uint32_t lostA = last.losta - first.losta, lostB = last.lostb - first.lostb;
    const double rate = span > 0 ? double(uint32_t(last.frames - first.frames)) / span : 0.0;
    const unsigned card = unsigned(uint16_t(s.StatusList[acq::kStCard]));
    say(rt::format("SUMS: %d reads, %d failed, %.0f frames/s over %.1f s, card number %u", g.reads,
                   g.failed, rate, span, card));
    say(rt::format("  CRC errors: fibre A %u, fibre B %u; lost frames: fibre A %u, fibre B %u",
                   unsigned(crcA), unsigned(crcB), unsigned(lostA), unsigned(lostB)));
    if (g.lost) {
      fault("module lost while reading SUMS");
      return;
    }
    if (g.ok < 2 || rate <= 0) {
      fault("no SUMS blocks with advancing frames");
      return;
    }
    if (crcA) fault(rt::format("CRC errors on fibre A (%u in %.1f s)", unsigned(crcA), span));
    if (crcB) fault(rt::format("CRC errors on fibre B (%u in %.1f s)", unsigned(crcB), span));
    if (lostA) fault(rt::format("lost frames on fibre A (%u in %.1f s)", unsigned(lostA), span));
    if (lostB) fault(rt::format("lost frames on fibre B (%u in %.1f s)", unsigned(lostB), span));
    cards_.push_back(uint16_t(card));
  }

  void readings() {
    rt::Runtime &rt = b_.rt;
    const int m = b_.panels.MainPanel;
    const int mode = rt.GetCtrlValI(m, ctl::Main::ReadOutMode);
    const int fibre = rt.GetCtrlValI(m, ctl::Main::FiberSelect);
    const bool running = rt.GetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED) != 0;
    if (running) b_.acq.ContinuousReadStartStop();
    frames(0);
    if (b_.usb.NbrQuickUSBConnected != 0) frames(1);
    if (b_.usb.NbrQuickUSBConnected != 0) sums();
    for (uint16_t c : cards_)
      if (c != cards_.front()) {
        std::string all;
        for (uint16_t x : cards_) all += (all.empty() ? "" : ", ") + std::to_string(x);
        fault("the card number differs between the readings (" + all + ")");
        break;
      }
    // The operator's configuration back, and the acquisition as it was.
    rt.SetCtrlVal(m, ctl::Main::ReadOutMode, mode);
    rt.SetCtrlVal(m, ctl::Main::FiberSelect, fibre);
    b_.config.UpdateMainPanel();
    if (running && b_.usb.NbrQuickUSBConnected != 0) b_.acq.ContinuousReadStartStop();
  }

  // The results store the runs go to, looked at without writing; the clock compared is the
  // one the bench's runs are dated by.
  void store() {
    history::Store s(b_.options.resultsDb);
    const history::Store::Check c = s.checkForBench(b_.testBench.WallTime());
    for (const std::string &l : c.lines) say(l);
    for (const std::string &f : c.faults) fault(f);
  }

  Bench &b_;
  const std::function<void(const std::string &)> &line_;
  ProbeResult r_;
  std::vector<uint16_t> cards_;
};

}  // namespace

std::string ProbeResult::text() const {
  std::string t;
  for (const std::string &l : lines) t += l + "\n";
  return t;
}

ProbeResult RunProbe(Bench &bench, const std::function<void(const std::string &)> &line) {
  return Probe(bench, line).run();
}

}  // namespace app
