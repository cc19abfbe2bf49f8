// The C entry points of libquickusb_sim.so: the twelve QuickUSB calls, the bench extras of
// hw/quickusb_api.h and the inspection calls of sim/quickusb_sim.h. Each call runs under the
// bench's lock; the time it costs is paid to the host's clock after the lock is released.
#include <type_traits>

#include "sim/bench.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <typename F>
long run(F f) {
  sim::Bench &b = sim::Bench::instance();
  sim::Charge charge;
  int r;
  {
    std::lock_guard<std::mutex> lock(b.mutex());
    r = f(b, charge);
  }
  sim::Bench::pay(charge);
  return r;
}

}  // namespace

SIM_EXPORT long QuickUsbFindModules(char *nameList, unsigned long length) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.findModules(nameList, length, c); });
}

SIM_EXPORT long QuickUsbOpen(QuickUsbHandle_t *device, char *name) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.open(device, name, c); });
}

SIM_EXPORT long QuickUsbClose(QuickUsbHandle_t device) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.close(device, c); });
}

SIM_EXPORT long QuickUsbReadSetting(QuickUsbHandle_t device, unsigned short address,
                                    unsigned short *value) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.readSetting(device, address, value, c); });
}

SIM_EXPORT long QuickUsbWriteSetting(QuickUsbHandle_t device, unsigned short address,
                                     unsigned short value) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.writeSetting(device, address, value, c); });
}

SIM_EXPORT long QuickUsbReadSpi(QuickUsbHandle_t device, unsigned char portNum, unsigned char *data,
                                unsigned short *length) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.readSpi(device, portNum, data, length, c); });
}

SIM_EXPORT long QuickUsbWriteSpi(QuickUsbHandle_t device, unsigned char portNum,
                                 unsigned char *data, unsigned short length) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.writeSpi(device, portNum, data, length, c); });
}

SIM_EXPORT long QuickUsbReadPortDir(QuickUsbHandle_t device, unsigned short address,
                                    unsigned char *dir) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.readPortDir(device, address, dir, c); });
}

SIM_EXPORT long QuickUsbWritePortDir(QuickUsbHandle_t device, unsigned short address,
                                     unsigned char dir) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.writePortDir(device, address, dir, c); });
}

SIM_EXPORT long QuickUsbReadPort(QuickUsbHandle_t device, unsigned short address,
                                 unsigned char *data, unsigned short *length) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.readPort(device, address, data, length, c); });
}

SIM_EXPORT long QuickUsbWritePort(QuickUsbHandle_t device, unsigned short address,
                                  unsigned char *data, unsigned short length) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.writePort(device, address, data, length, c); });
}

SIM_EXPORT long QuickUsbReadData(QuickUsbHandle_t device, unsigned char *data,
                                 unsigned long *length) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.readData(device, data, length, c); });
}

// Each entry point has exactly the type the program binds it as.
#define SIM_SAME_TYPE(name) \
  static_assert(std::is_same_v<decltype(&name), name##_t>, #name " differs from its declaration")
SIM_SAME_TYPE(QuickUsbFindModules);
SIM_SAME_TYPE(QuickUsbOpen);
SIM_SAME_TYPE(QuickUsbClose);
SIM_SAME_TYPE(QuickUsbReadSetting);
SIM_SAME_TYPE(QuickUsbWriteSetting);
SIM_SAME_TYPE(QuickUsbReadSpi);
SIM_SAME_TYPE(QuickUsbWriteSpi);
SIM_SAME_TYPE(QuickUsbReadPortDir);
SIM_SAME_TYPE(QuickUsbWritePortDir);
SIM_SAME_TYPE(QuickUsbReadPort);
SIM_SAME_TYPE(QuickUsbWritePort);
SIM_SAME_TYPE(QuickUsbReadData);
#undef SIM_SAME_TYPE

SIM_EXPORT void QuickUsbSimAttachClock(QuickUsbSimNow_t now, QuickUsbSimAdvance_t advance,
                                       void *ctx) {
  sim::Bench &b = sim::Bench::instance();
  std::lock_guard<std::mutex> lock(b.mutex());
  b.attachClock(now, advance, ctx);
}

SIM_EXPORT int QuickUsbSimConfigure(const char *path) {
  sim::Bench &b = sim::Bench::instance();
  std::lock_guard<std::mutex> lock(b.mutex());
  return b.configure(path);
}

SIM_EXPORT int QuickUsbSimBoardPower(int on) {
  sim::Bench &b = sim::Bench::instance();
  std::lock_guard<std::mutex> lock(b.mutex());
  return b.boardPower(on);
}

SIM_EXPORT int QuickUsbSimInsertBoard(const char *path) {
  sim::Bench &b = sim::Bench::instance();
  std::lock_guard<std::mutex> lock(b.mutex());
  return b.insertBoard(path);
}

// The message stays valid until the next call into the bench.
SIM_EXPORT const char *QuickUsbSimLastError(void) {
  sim::Bench &b = sim::Bench::instance();
  std::lock_guard<std::mutex> lock(b.mutex());
  return b.lastError();
}

SIM_EXPORT int QuickUsbSimInspect(QuickUsbSimState *state) {
  sim::Bench &b = sim::Bench::instance();
  std::lock_guard<std::mutex> lock(b.mutex());
  return b.inspect(state);
}

SIM_EXPORT const char *QuickUsbSimDescribeConfig(void) {
  sim::Bench &b = sim::Bench::instance();
  std::lock_guard<std::mutex> lock(b.mutex());
  return b.describe();
}
