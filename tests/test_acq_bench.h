// A started Bench whose QuickUSB module is a stub inside the test program: FPGA commands are
// decoded from the port C/E writes, port E keeps what was written, bulk reads deliver queued
// blocks (zeros when none is queued).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/raw_data_panel.h"
#include "ctl/show_frame_panel.h"
#include "ctl/test_panel.h"
#include "support/test_env.h"

namespace acqtest {

using Command = std::array<int, 3>;
using Bytes = std::vector<uint8_t>;

struct Module {
  bool present = true, readOk = true;
  uint8_t portC = 0, portE = 0;
  std::vector<uint8_t> clocked;  // bytes of the command being framed
  std::vector<Command> commands;
  std::vector<int> portEWrites;
  std::vector<uint32_t> requests;  // bulk read sizes asked for
  std::deque<Bytes> blocks;

  static Module &get() {
    static Module m;
    return m;
  }
  void clearLog() { commands.clear(), portEWrites.clear(), requests.clear(); }

  static long findModules(char *, unsigned long) { return get().present; }
  static long readPort(QuickUsbHandle_t, uint16_t a, uint8_t *d, uint16_t *) {
    return *d = a == 4 ? get().portE : 0, 1;
  }
  static long writePort(QuickUsbHandle_t, uint16_t a, uint8_t *d, uint16_t) {
    Module &m = get();
    if (a == 2) m.portC = *d;
    if (a != 4) return 1;
    const uint8_t before = std::exchange(m.portE, *d);
    m.portEWrites.push_back(*d);
    if ((*d & 3) == 3 && !(before & 1)) m.clocked.push_back(m.portC);  // strobe in the frame
    if ((before & 2) && !(*d & 2)) {                                   // end of the frame
      if (m.clocked.size() == 3) m.commands.push_back({m.clocked[0], m.clocked[1], m.clocked[2]});
      m.clocked.clear();
    }
    return 1;
  }
  static long readData(QuickUsbHandle_t, uint8_t *data, unsigned long *length) {
    Module &m = get();
    m.requests.push_back(static_cast<uint32_t>(*length));
    if (!m.readOk) return 0;
    Bytes b = m.blocks.empty() ? Bytes(*length, 0) : std::move(m.blocks.front());
    if (!m.blocks.empty()) m.blocks.pop_front();
    *length = std::min<unsigned long>(*length, b.size());
    std::memcpy(data, b.data(), *length);
    return 1;
  }
};

// A bench started without a library, then given the stub module as a connected module.
class BenchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Module::get() = Module();
    bench = std::make_unique<app::Bench>(
        clock, app::BenchOptions{testenv::uiDir(), dir.file("none.so"), "", dir.file("s.ini")});
    bench->StartUp();
    p = bench->panels;
    hw::QuickUsb &u = bench->usb;
    u.pt_FindModules = &Module::findModules;
    u.pt_ReadPort = &Module::readPort;
    u.pt_WritePort = &Module::writePort;
    u.pt_ReadData = &Module::readData;
    u.NbrQuickUSBConnected = 1;
  }
  Module &module() { return Module::get(); }
  acq::Acquisition &acq() { return bench->acq; }
  void setMain(int c, double v) { bench->rt.SetCtrlVal(p.MainPanel, c, v); }
  void setOpt(int c, double v) { bench->rt.SetCtrlVal(p.OptionsPanel, c, v); }
  double mainVal(int c) { return bench->rt.GetCtrlValD(p.MainPanel, c); }
  double optVal(int c) { return bench->rt.GetCtrlValD(p.OptionsPanel, c); }
  bool attr(int panel, int c, int a) { return bench->rt.GetCtrlAttribute(panel, c, a) != 0; }
  const rt::Control &ctrl(int panel, int c) { return bench->rt.control(panel, c); }

  testenv::TempDir dir;
  rt::VirtualClock clock;
  std::unique_ptr<app::Bench> bench;
  ctl::Panels p;
};

inline void putWord(Bytes &b, size_t k, uint16_t v) {
  b.at(2 * k) = v & 0xFF, b.at(2 * k + 1) = v >> 8;
}

// 1000 bytes of 20-word frames of `card` from word `first` with counters from `counter`:
// channel n has CFC n and ADC `adc`, DAC n; status words as given.
inline Bytes framesBlock(uint16_t card, uint16_t counter, uint16_t adc = 0x800, size_t first = 3,
                         uint16_t status1 = 0, uint16_t status2 = 0) {
  Bytes b(1000, 0);
  for (size_t at = first; at + 18 <= 500; at += 20) {
    putWord(b, at, card), putWord(b, at + 1, status1), putWord(b, at + 2, status2);
    for (unsigned g = 0; g < 2; ++g) {  // CFC ADC of four channels, 8 + 12 bits, MSB first
      unsigned __int128 bits = 0;
      for (unsigned ch = 4 * g + 1; ch <= 4 * g + 4; ++ch) bits = bits << 20 | ch << 12 | adc;
      for (size_t k = 0; k < 5; ++k)
        putWord(b, at + 3 + 5 * g + k, uint16_t(bits >> (64 - 16 * k)));
    }
    for (size_t j = 0; j < 4; ++j)
      putWord(b, at + 13 + j, uint16_t((2 * j + 1) << 8 | (2 * j + 2)));
    putWord(b, at + 17, counter++);
  }
  return b;
}

}  // namespace acqtest
