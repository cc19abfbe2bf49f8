// The simulated bench as the QuickUSB library presents it: the module (discovery, handle,
// settings, ports, SPI, bulk reads), its time, and behind it the FPGA and the board.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "hw/quickusb_api.h"
#include "sim/blocks.h"
#include "sim/board.h"
#include "sim/config.h"
#include "sim/fpga.h"
#include "sim/quickusb_sim.h"

namespace sim {

// Time a call costs, paid to the host's clock once the bench is unlocked.
struct Charge {
  double seconds = 0.0;
  QuickUsbSimAdvance_t advance = nullptr;
  void *ctx = nullptr;
  long latencyMicros = 0;
};

class Bench {
 public:
  static Bench &instance();
  std::mutex &mutex() { return mutex_; }
  static void pay(const Charge &charge);

  // The entry points, called under the mutex. Each fills in what the call costs.
  int findModules(char *nameList, unsigned long length, Charge &c);
  int open(QuickUsbHandle_t *device, const char *name, Charge &c);
  int close(QuickUsbHandle_t device, Charge &c);
  int readSetting(QuickUsbHandle_t device, uint16_t address, uint16_t *value, Charge &c);
  int writeSetting(QuickUsbHandle_t device, uint16_t address, uint16_t value, Charge &c);
  int readSpi(QuickUsbHandle_t device, uint8_t port, uint8_t *data, uint16_t *length, Charge &c);
  int writeSpi(QuickUsbHandle_t device, uint8_t port, const uint8_t *data, uint16_t length,
               Charge &c);
  int readPortDir(QuickUsbHandle_t device, uint16_t address, uint8_t *dir, Charge &c);
  int writePortDir(QuickUsbHandle_t device, uint16_t address, uint8_t dir, Charge &c);
  int readPort(QuickUsbHandle_t device, uint16_t address, uint8_t *data, uint16_t *length,
               Charge &c);
  int writePort(QuickUsbHandle_t device, uint16_t address, const uint8_t *data, uint16_t length,
                Charge &c);
  int readData(QuickUsbHandle_t device, uint8_t *data, unsigned long *length, Charge &c);

  void attachClock(QuickUsbSimNow_t now, QuickUsbSimAdvance_t advance, void *ctx);
  int configure(const char *path);
  // The board alone powered off (its fibres go quiet) or on again (at its power-on state, the
  // FPGA and the module untouched), and another board put in while it is off.
  int boardPower(int on);
  int insertBoard(const char *path);
  const char *lastError() const { return lastError_.c_str(); }
  int inspect(QuickUsbSimState *state);
  const char *describe();

  static constexpr uint32_t kMaxBulkBytes = 16u << 20;
  static constexpr int kPorts = 5;  // A..E at addresses 0..4

 private:
  Bench();
  double now();
  void powerOn(double t);
  bool present(double t) const;
  bool valid(QuickUsbHandle_t device, double t) const;
  // The names discovery lists: the configuration's module, then its other modules.
  std::vector<std::string> moduleNames() const;
  void begin(Charge &c, double extraSeconds = 0.0);
  uint8_t pins(int port) const;
  void propagate(int port, double t);
  bool defaultConfig(BoardConfig &out);

  std::mutex mutex_;
  BoardConfig config_;
  Board board_;
  Fpga fpga_;
  Tap tap_;
  DeliveryCounters delivery_;

  // Time: board time = host clock + offset, never going backwards.
  QuickUsbSimNow_t clockNow_ = nullptr;
  QuickUsbSimAdvance_t clockAdvance_ = nullptr;
  void *clockCtx_ = nullptr;
  double offset_ = 0.0;
  double last_ = 0.0;
  long latencyMicros_ = 0;

  bool open_ = false;
  bool boardOn_ = true;
  double modulePowerOn_ = 0.0;  // the module's own power-on: its unplug time counts from here
  uint32_t calls_ = 0;
  uint64_t bulkReads_ = 0;  // drives the seeded latency of bulk reads
  uint16_t settings_[17] = {};
  uint8_t latch_[kPorts] = {};
  uint8_t dir_[kPorts] = {};
  uint8_t spi_[64] = {};
  uint16_t spiLength_ = 0;
  std::string lastError_;
  std::string description_;
};

}  // namespace sim
