// Test harness for the simulated bench: loads libquickusb_sim.so with dlopen, drives it on a
// virtual clock, and speaks the port protocols the program uses (command frames on ports C
// and E, the JTAG sequence on port A, the read gate around bulk reads).
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../quickusb_sim.h"
#include "hw/quickusb_api.h"

namespace simtest {

class SimLibrary {
 public:
  explicit SimLibrary(const std::string &path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    bind(findModules, "QuickUsbFindModules");
    bind(open, "QuickUsbOpen");
    bind(close, "QuickUsbClose");
    bind(readSetting, "QuickUsbReadSetting");
    bind(writeSetting, "QuickUsbWriteSetting");
    bind(readSpi, "QuickUsbReadSpi");
    bind(writeSpi, "QuickUsbWriteSpi");
    bind(readPortDir, "QuickUsbReadPortDir");
    bind(writePortDir, "QuickUsbWritePortDir");
    bind(readPort, "QuickUsbReadPort");
    bind(writePort, "QuickUsbWritePort");
    bind(readData, "QuickUsbReadData");
    bind(attachClock, "QuickUsbSimAttachClock");
    bind(configure, "QuickUsbSimConfigure");
    bind(lastError, "QuickUsbSimLastError");
    bind(inspect, "QuickUsbSimInspect");
    bind(describeConfig, "QuickUsbSimDescribeConfig");
    bind(boardPower, "QuickUsbSimBoardPower");
    bind(insertBoard, "QuickUsbSimInsertBoard");
  }
  ~SimLibrary() {
    if (attachClock) attachClock(nullptr, nullptr, nullptr);
    // The library stays loaded: its bench is shared by every test of the program.
  }
  SimLibrary(const SimLibrary &) = delete;
  SimLibrary &operator=(const SimLibrary &) = delete;

  QuickUsbFindModules_t findModules = nullptr;
  QuickUsbOpen_t open = nullptr;
  QuickUsbClose_t close = nullptr;
  QuickUsbReadSetting_t readSetting = nullptr;
  QuickUsbWriteSetting_t writeSetting = nullptr;
  QuickUsbReadSpi_t readSpi = nullptr;
  QuickUsbWriteSpi_t writeSpi = nullptr;
  QuickUsbReadPortDir_t readPortDir = nullptr;
  QuickUsbWritePortDir_t writePortDir = nullptr;
  QuickUsbReadPort_t readPort = nullptr;
  QuickUsbWritePort_t writePort = nullptr;
  QuickUsbReadData_t readData = nullptr;
  QuickUsbSimAttachClock_t attachClock = nullptr;
  QuickUsbSimConfigure_t configure = nullptr;
  QuickUsbSimLastError_t lastError = nullptr;
  QuickUsbSimInspect_t inspect = nullptr;
  QuickUsbSimDescribeConfig_t describeConfig = nullptr;
  QuickUsbSimBoardPower_t boardPower = nullptr;
  QuickUsbSimInsertBoard_t insertBoard = nullptr;

 private:
  template <typename F>
  void bind(F &f, const char *name) {
    f = reinterpret_cast<F>(dlsym(handle_, name));
    if (!f) throw std::runtime_error(std::string("missing entry point ") + name);
  }
  void *handle_ = nullptr;
};

// A virtual clock the bench charges its calls to.
struct VirtualTime {
  double t = 0.0;
  double charged = 0.0;
  static double now(void *ctx) { return static_cast<VirtualTime *>(ctx)->t; }
  static void advance(void *ctx, double s) {
    auto *v = static_cast<VirtualTime *>(ctx);
    if (s > 0) {
      v->t += s;
      v->charged += s;
    }
  }
};

// One open module on a fresh bench, driven the way the program drives it.
class Bench {
 public:
  static constexpr uint16_t kPortA = 0, kPortC = 2, kPortE = 4;

  Bench(SimLibrary &lib, const char *config = nullptr) : lib_(lib) {
    lib_.attachClock(&VirtualTime::now, &VirtualTime::advance, &clock);
    if (!lib_.configure(config)) throw std::runtime_error(lib_.lastError());
    char names[512] = {};
    if (!lib_.findModules(names, 7)) throw std::runtime_error("no module");
    if (!lib_.open(&dev, names)) throw std::runtime_error("open failed");
    lib_.writePortDir(dev, kPortE, 0x08);
  }
  ~Bench() {
    lib_.close(dev);
    lib_.attachClock(nullptr, nullptr, nullptr);  // the clock goes with this object
  }

  uint8_t readPort(uint16_t address) {
    uint8_t b = 0;
    uint16_t n = 1;
    lib_.readPort(dev, address, &b, &n);
    return b;
  }
  void writePort(uint16_t address, uint8_t b) { lib_.writePort(dev, address, &b, 1); }

  // The three-byte command frame, exactly as the program writes it (15 calls).
  void command(uint8_t c, uint8_t b1, uint8_t b2) {
    lib_.writePortDir(dev, kPortC, 0xFF);
    uint8_t dir = 0;
    lib_.readPortDir(dev, kPortE, &dir);
    lib_.writePortDir(dev, kPortE, static_cast<uint8_t>(dir | 0x03));
    uint8_t e = readPort(kPortE);
    e |= 0x02;
    writePort(kPortE, e);
    for (uint8_t b : {c, b1, b2}) {
      writePort(kPortC, b);
      e |= 0x01;
      writePort(kPortE, e);
      e &= static_cast<uint8_t>(~0x01);
      writePort(kPortE, e);
    }
    e &= static_cast<uint8_t>(~0x02);
    writePort(kPortE, e);
  }

  // Channel 1's source settings for all channels, as the linked configuration sends them.
  void linkedSources(uint16_t value, int selA, int selB, bool on, uint8_t supply = 0) {
    for (int c = 0x61; c <= 0x68; ++c) command(static_cast<uint8_t>(c), value >> 8, value & 0xFF);
    for (int ch = 1; ch <= 8; ++ch)
      command(0x50, static_cast<uint8_t>(0x10 * ch), static_cast<uint8_t>(1u << selA));
    for (int ch = 1; ch <= 8; ++ch)
      command(0x80, static_cast<uint8_t>(0x10 * ch), static_cast<uint8_t>(1u << selB));
    command(0x90, supply, on ? 0xFF : 0x00);
  }
  void testVoltage(uint16_t code) { command(0x6C, code >> 8, code & 0xFF); }
  void mode(uint8_t byte1) { command(0x20, byte1, 0x00); }

  // A bulk read with the read gate raised around it.
  std::vector<uint8_t> block(uint32_t bytes) {
    std::vector<uint8_t> buf(bytes);
    writePort(kPortE, static_cast<uint8_t>(readPort(kPortE) | 0x08));
    unsigned long n = bytes;
    if (!lib_.readData(dev, buf.data(), &n)) buf.clear();
    writePort(kPortE, static_cast<uint8_t>(readPort(kPortE) & ~0x08));
    return buf;
  }

  QuickUsbSimState state() {
    QuickUsbSimState s{};
    s.size = sizeof s;
    lib_.inspect(&s);
    return s;
  }

  // Lets bench time pass (the host does nothing meanwhile).
  void wait(double seconds) { clock.t += seconds; }

  VirtualTime clock;
  QuickUsbHandle_t dev = 0;

 private:
  SimLibrary &lib_;
};

inline uint16_t word(const std::vector<uint8_t> &b, size_t k) {
  return static_cast<uint16_t>(b[2 * k] | (b[2 * k + 1] << 8));
}
inline uint32_t long32(const std::vector<uint8_t> &b, size_t byteOffset) {
  return static_cast<uint32_t>(b[byteOffset]) | static_cast<uint32_t>(b[byteOffset + 1]) << 8 |
         static_cast<uint32_t>(b[byteOffset + 2]) << 16 |
         static_cast<uint32_t>(b[byteOffset + 3]) << 24;
}

}  // namespace simtest
