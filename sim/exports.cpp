// The C entry points of libquickusb_sim.so: the twelve QuickUSB calls, the bench extras of
// hw/quickusb_api.h and the inspection calls of sim/quickusb_sim.h. Each call runs under the
// bench's lock; the time it costs is paid to the host's clock after the lock is released.
#include "sim/bench.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <typename F>
int run(F f) {
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

SIM_EXPORT int QuickUsbFindModules(char *nameList, uint32_t length) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.findModules(nameList, length, c); });
}

SIM_EXPORT int QuickUsbOpen(QHANDLE *device, char *name) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.open(device, name, c); });
}

SIM_EXPORT int QuickUsbClose(QHANDLE device) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.close(device, c); });
}

SIM_EXPORT int QuickUsbReadSetting(QHANDLE device, uint16_t address, uint16_t *value) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.readSetting(device, address, value, c); });
}

SIM_EXPORT int QuickUsbWriteSetting(QHANDLE device, uint16_t address, uint16_t value) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.writeSetting(device, address, value, c); });
}

SIM_EXPORT int QuickUsbReadSpi(QHANDLE device, uint8_t portNum, uint8_t *data, uint16_t *length) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.readSpi(device, portNum, data, length, c); });
}

SIM_EXPORT int QuickUsbWriteSpi(QHANDLE device, uint8_t portNum, uint8_t *data, uint16_t length) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.writeSpi(device, portNum, data, length, c); });
}

SIM_EXPORT int QuickUsbReadPortDir(QHANDLE device, uint16_t address, uint8_t *dir) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.readPortDir(device, address, dir, c); });
}

SIM_EXPORT int QuickUsbWritePortDir(QHANDLE device, uint16_t address, uint8_t dir) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.writePortDir(device, address, dir, c); });
}

SIM_EXPORT int QuickUsbReadPort(QHANDLE device, uint16_t address, uint8_t *data, uint16_t *length) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.readPort(device, address, data, length, c); });
}

SIM_EXPORT int QuickUsbWritePort(QHANDLE device, uint16_t address, uint8_t *data, uint16_t length) {
  return run(
      [&](sim::Bench &b, sim::Charge &c) { return b.writePort(device, address, data, length, c); });
}

SIM_EXPORT int QuickUsbReadData(QHANDLE device, uint8_t *data, uint32_t *length) {
  return run([&](sim::Bench &b, sim::Charge &c) { return b.readData(device, data, length, c); });
}

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
