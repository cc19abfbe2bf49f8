// A started Bench whose QuickUSB module is a stub inside the test: the FPGA commands are decoded
// from the port C/E writes, port E keeps what was written, and bulk reads deliver queued blocks.
// Shared by the acquisition and configuration tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
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

struct ReadAnswer {
  std::vector<uint8_t> bytes;  // delivered bytes (the request is cut to this size)
  bool ok = true;
};

// The stub module. The entry points are plain functions, so its state is one global.
struct Module {
  bool present = true;
  uint8_t portC = 0, portE = 0, dirE = 0;
  std::vector<uint8_t> frameBytes;  // bytes of the command being clocked in
  std::vector<Command> commands;
  std::vector<int> portEWrites;
  std::vector<uint32_t> requests;  // bulk read sizes asked for
  std::deque<ReadAnswer> answers;  // empty: deliver zeros as asked
  int findCalls = 0;

  static Module &get() {
    static Module m;
    return m;
  }
  void reset() { *this = Module(); }
  void clearLog() {
    commands.clear();
    portEWrites.clear();
    requests.clear();
  }

  static int findModules(char *, uint32_t) {
    get().findCalls++;
    return get().present ? 1 : 0;
  }
  static int readPortDir(QHANDLE, uint16_t a, uint8_t *d) {
    *d = a == 4 ? get().dirE : 0xFF;
    return 1;
  }
  static int writePortDir(QHANDLE, uint16_t a, uint8_t d) {
    if (a == 4) get().dirE = d;
    return 1;
  }
  static int readPort(QHANDLE, uint16_t a, uint8_t *d, uint16_t *) {
    *d = a == 4 ? get().portE : a == 2 ? get().portC : 0;
    return 1;
  }
  static int writePort(QHANDLE, uint16_t a, uint8_t *d, uint16_t) {
    Module &m = get();
    if (a == 2) m.portC = *d;
    if (a != 4) return 1;
    const uint8_t before = m.portE, e = *d;
    m.portE = e;
    m.portEWrites.push_back(e);
    if ((e & 2) && (e & 1) && !(before & 1)) m.frameBytes.push_back(m.portC);  // strobe
    if ((before & 2) && !(e & 2)) {                                            // frame ends
      if (m.frameBytes.size() == 3)
        m.commands.push_back({m.frameBytes[0], m.frameBytes[1], m.frameBytes[2]});
      m.frameBytes.clear();
    }
    return 1;
  }
  static int readData(QHANDLE, uint8_t *data, uint32_t *length) {
    Module &m = get();
    m.requests.push_back(*length);
    if (m.answers.empty()) {
      std::memset(data, 0, *length);
      return 1;
    }
    ReadAnswer a = std::move(m.answers.front());
    m.answers.pop_front();
    if (!a.ok) return 0;
    const uint32_t n = std::min<uint32_t>(*length, static_cast<uint32_t>(a.bytes.size()));
    std::memcpy(data, a.bytes.data(), n);
    *length = n;
    return 1;
  }
};

// A bench started without a library (no-hardware mode); plugModule() then puts the stub module
// in place of the library, as a connected module.
class BenchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Module::get().reset();
    app::BenchOptions options;
    options.uiDir = testenv::uiDir();
    options.settingsPath = dir.file("settings.ini");
    options.quickusbLib = dir.file("no-such-library.so");
    bench = std::make_unique<app::Bench>(clock, options);
    bench->StartUp();
    p = bench->panels;
  }
  void TearDown() override {
    bench.reset();
    Module::get().reset();
  }

  void plugModule() {
    hw::QuickUsb &u = bench->usb;
    u.pt_FindModules = &Module::findModules;
    u.pt_ReadPortDir = &Module::readPortDir;
    u.pt_WritePortDir = &Module::writePortDir;
    u.pt_ReadPort = &Module::readPort;
    u.pt_WritePort = &Module::writePort;
    u.pt_ReadData = &Module::readData;
    u.NbrQuickUSBConnected = 1;
  }
  Module &module() { return Module::get(); }
  std::vector<Command> commands() const { return Module::get().commands; }

  // Panel shorthands.
  void setMain(int ctrl, double v) { bench->rt.SetCtrlVal(p.MainPanel, ctrl, v); }
  void setOpt(int ctrl, double v) { bench->rt.SetCtrlVal(p.OptionsPanel, ctrl, v); }
  double mainVal(int ctrl) const { return bench->rt.GetCtrlValD(p.MainPanel, ctrl); }
  double optVal(int ctrl) const { return bench->rt.GetCtrlValD(p.OptionsPanel, ctrl); }
  bool dimmed(int panel, int ctrl) const {
    return bench->rt.GetCtrlAttribute(panel, ctrl, rt::ATTR_DIMMED) != 0;
  }
  bool visible(int ctrl) const {
    return bench->rt.GetCtrlAttribute(p.MainPanel, ctrl, rt::ATTR_VISIBLE) != 0;
  }

  testenv::TempDir dir;
  rt::VirtualClock clock;
  std::unique_ptr<app::Bench> bench;
  ctl::Panels p;
};

// Little-endian block builders.
inline void putWord(std::vector<uint8_t> &b, size_t k, uint16_t v) {
  b.at(2 * k) = v & 0xFF;
  b.at(2 * k + 1) = v >> 8;
}
inline void putDword(std::vector<uint8_t> &b, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(offset + i) = (v >> (8 * i)) & 0xFF;
}

// A FRAMES block of `size` bytes: frames of `card` every 20 words from word `first`, counters
// counting up from `counter`, every channel's ADC value `adc`, status words as given.
inline std::vector<uint8_t> framesBlock(uint16_t card, uint16_t counter, uint16_t adc = 0x800,
                                        size_t first = 3, uint16_t status1 = 0,
                                        uint16_t status2 = 0, size_t size = 1000) {
  std::vector<uint8_t> b(size, 0);
  for (size_t at = first; 2 * (at + 18) <= size; at += 20) {
    putWord(b, at, card);
    putWord(b, at + 1, status1);
    putWord(b, at + 2, status2);
    // Channels 4g+1 .. 4g+4 in five words: CFC = channel number, ADC = `adc`.
    for (int group = 0; group < 2; ++group) {
      const uint16_t c = static_cast<uint16_t>(4 * group);
      // CFC1 ADC1 CFC2 ADC2 CFC3 ADC3 CFC4 ADC4, 8 + 12 bits each, most significant first.
      const uint16_t w0 = static_cast<uint16_t>(((c + 1) << 8) | (adc >> 4));
      const uint16_t w1 = static_cast<uint16_t>(((adc & 0xF) << 12) | ((c + 2) << 4) | (adc >> 8));
      const uint16_t w2 = static_cast<uint16_t>(((adc & 0xFF) << 8) | (c + 3));
      const uint16_t w3 = static_cast<uint16_t>((adc << 4) | ((c + 4) >> 4));
      const uint16_t w4 = static_cast<uint16_t>((((c + 4) & 0xF) << 12) | adc);
      const uint16_t w[5] = {w0, w1, w2, w3, w4};
      for (int k = 0; k < 5; ++k) putWord(b, at + 3 + 5 * group + k, w[k]);
    }
    for (int j = 0; j < 4; ++j)
      putWord(b, at + 13 + j, static_cast<uint16_t>(((2 * j + 1) << 8) | (2 * j + 2)));
    putWord(b, at + 17, counter++);
  }
  return b;
}

}  // namespace acqtest
