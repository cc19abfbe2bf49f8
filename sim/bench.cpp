#include "sim/bench.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/noise.h"

namespace sim {
namespace {

// The handle QuickUsbOpen gives out: a small number, as the vendor's library does.
constexpr QuickUsbHandle_t kModuleHandle = 1;

double steadySeconds() {
  static const auto origin = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - origin).count();
}

}  // namespace

namespace {
Bench *theBench = nullptr;
// The bench goes with the library: unloading it (or the end of the process) frees it, and a
// later call, should one come during exit, powers a new one on.
__attribute__((destructor)) void releaseBench() {
  delete theBench;
  theBench = nullptr;
}
}  // namespace

Bench &Bench::instance() {
  if (!theBench) theBench = new Bench();
  return *theBench;
}

Bench::Bench() {
  if (const char *lat = std::getenv("TESSOCK_SIM_LATENCY_US")) {
    const long v = std::strtol(lat, nullptr, 10);
    latencyMicros_ = v > 0 && v < 1000000 ? v : 0;
  }
  defaultConfig(config_);
  if (!lastError_.empty()) std::fprintf(stderr, "quickusb_sim: %s\n", lastError_.c_str());
  powerOn(now());
}

bool Bench::defaultConfig(BoardConfig &out) {
  out = BoardConfig{};
  const char *env = std::getenv("TESSOCK_SIM_CONFIG");
  if (!env || !*env) return true;
  std::string error;
  if (!loadConfig(env, out, error)) {
    lastError_ = error + " (TESSOCK_SIM_CONFIG; using the good board)";
    out = BoardConfig{};
    return false;
  }
  return true;
}

void Bench::pay(const Charge &c) {
  if (c.advance) {
    c.advance(c.ctx, c.seconds);
  } else if (c.latencyMicros > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(c.latencyMicros));
  }
}

double Bench::now() {
  double h = clockNow_ ? clockNow_(clockCtx_) : steadySeconds();
  if (!std::isfinite(h)) h = last_ - offset_;
  double t = h + offset_;
  if (t < last_) t = last_;
  last_ = t;
  return t;
}

void Bench::attachClock(QuickUsbSimNow_t nowFn, QuickUsbSimAdvance_t advance, void *ctx) {
  const double t = now();
  clockNow_ = nowFn;
  clockAdvance_ = nowFn ? advance : nullptr;
  clockCtx_ = nowFn ? ctx : nullptr;
  double h = clockNow_ ? clockNow_(clockCtx_) : steadySeconds();
  if (!std::isfinite(h)) h = 0.0;
  offset_ = t - h;  // the board's time goes on from where it was
}

void Bench::powerOn(double t) {
  board_.powerOn(config_, t);
  boardOn_ = true;
  modulePowerOn_ = t;
  fpga_.powerOn();
  tap_.reset(config_.jtagId);
  delivery_ = DeliveryCounters{};
  open_ = false;
  calls_ = 0;
  bulkReads_ = 0;
  std::memset(settings_, 0, sizeof settings_);
  settings_[1] = 0x0001;  // word-wide bus
  settings_[3] = 0x0002;
  std::memset(latch_, 0, sizeof latch_);
  std::memset(dir_, 0, sizeof dir_);
  spiLength_ = 0;
}

int Bench::configure(const char *path) {
  BoardConfig c;
  if (path && *path) {
    std::string error;
    if (!loadConfig(path, c, error)) {
      lastError_ = error;
      return 0;
    }
  } else {
    lastError_.clear();
    if (!defaultConfig(c)) return 0;
  }
  lastError_.clear();
  config_ = c;
  powerOn(now());
  return 1;
}

int Bench::boardPower(int on) {
  const double t = now();
  lastError_.clear();
  if (!on) {
    board_.advanceTo(t);
    boardOn_ = false;
    return 1;
  }
  if (boardOn_) return 1;
  // A board powered on comes up at its power-on state and finds the bench as the FPGA drives it.
  board_.powerOn(config_, t);
  board_.setInputs(fpga_.regs().bench, t);
  boardOn_ = true;
  return 1;
}

int Bench::insertBoard(const char *path) {
  if (boardOn_) {
    lastError_ = "the board is powered: power it off before putting another in";
    return 0;
  }
  BoardConfig c;
  if (path && *path) {
    std::string error;
    if (!loadConfig(path, c, error)) {
      lastError_ = error;
      return 0;
    }
  } else if (!defaultConfig(c)) {
    return 0;
  }
  lastError_.clear();
  // Only the board changes: the module and its timing stay those of the bench.
  c.moduleName = config_.moduleName;
  c.otherModules = config_.otherModules;
  c.fpgaType = config_.fpgaType;
  c.cpuConfig = config_.cpuConfig;
  c.callSeconds = config_.callSeconds;
  c.bulkBytesPerSecond = config_.bulkBytesPerSecond;
  c.bulkLatencySeconds = config_.bulkLatencySeconds;
  c.unplugAfterSeconds = config_.unplugAfterSeconds;
  config_ = c;
  return 1;
}

bool Bench::present(double t) const {
  return config_.unplugAfterSeconds <= 0.0 || t - modulePowerOn_ < config_.unplugAfterSeconds;
}

bool Bench::valid(QuickUsbHandle_t device, double t) const {
  return open_ && device == kModuleHandle && present(t);
}

void Bench::begin(Charge &c, double extraSeconds) {
  ++calls_;
  c.seconds = config_.callSeconds + extraSeconds;
  c.advance = clockAdvance_;
  c.ctx = clockCtx_;
  c.latencyMicros = clockAdvance_ ? 0 : latencyMicros_;
}

int Bench::findModules(char *nameList, unsigned long length, Charge &c) {
  begin(c);
  const double t = now();
  if (!present(t)) {
    open_ = false;
    return 0;
  }
  // The names that fit, each with its zero, then an empty name when there is room; not even
  // the first name fits: nothing written.
  unsigned long at = 0;
  for (const std::string &name : moduleNames()) {
    if (!nameList || length - at < name.size() + 1) break;
    std::memcpy(nameList + at, name.c_str(), name.size() + 1);
    at += name.size() + 1;
  }
  if (at == 0) return 0;
  if (length > at) nameList[at] = '\0';  // the list ends with an empty name
  return 1;
}

std::vector<std::string> Bench::moduleNames() const {
  std::vector<std::string> names = {config_.moduleName};
  names.insert(names.end(), config_.otherModules.begin(), config_.otherModules.end());
  return names;
}

int Bench::open(QuickUsbHandle_t *device, const char *name, Charge &c) {
  begin(c);
  const double t = now();
  if (!device || !name || !present(t)) return 0;
  bool known = false;
  for (const std::string &m : moduleNames())
    known = known || std::strncmp(name, m.c_str(), 32) == 0;
  if (!known) return 0;
  open_ = true;
  *device = kModuleHandle;
  return 1;
}

int Bench::close(QuickUsbHandle_t device, Charge &c) {
  begin(c);
  if (!valid(device, now())) return 0;
  open_ = false;
  return 1;
}

int Bench::readSetting(QuickUsbHandle_t device, uint16_t address, uint16_t *value, Charge &c) {
  begin(c);
  if (!valid(device, now()) || !value || address < 1 || address > 16) return 0;
  *value = address == 4 ? config_.fpgaType : address == 5 ? config_.cpuConfig : settings_[address];
  return 1;
}

int Bench::writeSetting(QuickUsbHandle_t device, uint16_t address, uint16_t value, Charge &c) {
  begin(c);
  if (!valid(device, now()) || address < 1 || address > 16 || address == 4 || address == 5)
    return 0;
  settings_[address] = value;
  return 1;
}

int Bench::readSpi(QuickUsbHandle_t device, uint8_t port, uint8_t *data, uint16_t *length,
                   Charge &c) {
  begin(c);
  if (!valid(device, now()) || !data || !length || port > 9 || *length == 0 || *length > 64)
    return 0;
  // Port 4 answers with what was last written to it; nothing else is on the bus.
  for (uint16_t i = 0; i < *length; ++i) data[i] = port == 4 && i < spiLength_ ? spi_[i] : 0xFF;
  return 1;
}

int Bench::writeSpi(QuickUsbHandle_t device, uint8_t port, const uint8_t *data, uint16_t length,
                    Charge &c) {
  begin(c);
  if (!valid(device, now()) || !data || port > 9 || length == 0 || length > 64) return 0;
  if (port == 4) {
    std::memcpy(spi_, data, length);
    spiLength_ = length;
  }
  return 1;
}

uint8_t Bench::pins(int port) const {
  uint8_t external = 0;
  if (port == 0) external = static_cast<uint8_t>(tap_.tdo() << 3);  // TDO
  if (port == 4) external = static_cast<uint8_t>((config_.boxNumber & 7) << 5);
  return static_cast<uint8_t>((latch_[port] & dir_[port]) | (external & ~dir_[port]));
}

void Bench::propagate(int port, double t) {
  if (port == 0) tap_.pins(pins(0));
  if (port == 2 || port == 4) fpga_.pins(pins(4), pins(2), board_, t);
}

int Bench::readPortDir(QuickUsbHandle_t device, uint16_t address, uint8_t *dir, Charge &c) {
  begin(c);
  if (!valid(device, now()) || !dir || address >= kPorts) return 0;
  *dir = dir_[address];
  return 1;
}

int Bench::writePortDir(QuickUsbHandle_t device, uint16_t address, uint8_t dir, Charge &c) {
  begin(c);
  const double t = now();
  if (!valid(device, t) || address >= kPorts) return 0;
  dir_[address] = dir;
  propagate(address, t);
  return 1;
}

int Bench::readPort(QuickUsbHandle_t device, uint16_t address, uint8_t *data, uint16_t *length,
                    Charge &c) {
  begin(c);
  if (!valid(device, now()) || !data || !length || *length == 0 || address >= kPorts) return 0;
  for (uint16_t i = 0; i < *length; ++i) data[i] = pins(address);
  return 1;
}

int Bench::writePort(QuickUsbHandle_t device, uint16_t address, const uint8_t *data,
                     uint16_t length, Charge &c) {
  begin(c);
  const double t = now();
  if (!valid(device, t) || !data || length == 0 || address >= kPorts) return 0;
  for (uint16_t i = 0; i < length; ++i) {
    latch_[address] = data[i];
    propagate(address, t);
  }
  return 1;
}

int Bench::readData(QuickUsbHandle_t device, uint8_t *data, unsigned long *length, Charge &c) {
  const unsigned long want = length ? *length : 0;
  // The module's latency before the bytes flow varies from read to read.
  const double latency =
      config_.bulkLatencySeconds * unitNoise(config_.seed, 0xB01Cu, bulkReads_++);
  begin(c, latency + (want <= kMaxBulkBytes ? want / config_.bulkBytesPerSecond : 0.0));
  const double t = now();
  if (!valid(device, t) || !data || !length || want > kMaxBulkBytes) return 0;
  board_.advanceTo(t);
  if (want > 0 && boardOn_)
    fillBlock(board_, fpga_, delivery_, data, static_cast<uint32_t>(want), t);
  else if (want > 0)
    fillQuiet(fpga_, delivery_, data, static_cast<uint32_t>(want));
  return 1;
}

int Bench::inspect(QuickUsbSimState *s) {
  if (!s || s->size != sizeof(QuickUsbSimState)) return 0;
  const double t = now();
  board_.advanceTo(t);
  std::memset(s, 0, sizeof *s);
  s->size = sizeof *s;
  s->boardTime = t - board_.powerOnTime();
  s->moduleOpen = open_;
  s->moduleGone = !present(t);
  s->boardPowered = boardOn_;
  s->calls = calls_;
  std::memcpy(s->settings, settings_, sizeof settings_);
  s->settings[4] = config_.fpgaType;
  s->settings[5] = config_.cpuConfig;
  const FpgaRegisters &r = fpga_.regs();
  s->readoutMode = r.readoutMode;
  s->fibre = r.fibre;
  s->singleValue[0] = r.singleValue[0];
  s->singleValue[1] = r.singleValue[1];
  for (int ch = 0; ch < kChannels; ++ch) {
    s->selA[ch] = r.bench.selA[ch];
    s->selB[ch] = r.bench.selB[ch];
    s->sourceValue[ch] = r.bench.value[ch];
    const ChannelState cs = board_.stateAt(ch, t);
    s->currentAmps[ch] = board_.currentAmps(ch);
    s->integrator[ch] = cs.x;
    s->counts[ch] = cs.n;
    s->dac[ch] = board_.dacAt(ch, t);
  }
  s->modulationOffset = r.modulationOffset;
  s->testVoltage = r.bench.testVoltage;
  s->modulationDivider = r.modulationDivider;
  s->modulationMultiplication = r.modulationMultiplication;
  s->supplyReduce = r.bench.supplyReduce;
  s->sourceMask = r.bench.sourceMask;
  s->adcCompensation[0] = r.adcCompensation[0];
  s->adcCompensation[1] = r.adcCompensation[1];
  for (int i = 0; i < 3; ++i) s->lastCommand[i] = fpga_.lastCommand[i];
  s->commands = fpga_.commands;
  s->malformedFrames = fpga_.malformedFrames;
  s->rejectedCommands = fpga_.rejectedCommands;
  s->fpgaResets = fpga_.fpgaResets;
  s->adcCompensationCommands = fpga_.adcCompensationCommands;
  s->tapState = tap_.state();
  s->instruction = tap_.instruction();
  s->jtagId = config_.jtagId;
  s->cardNumber = config_.cardNumber;
  s->boxNumber = static_cast<uint8_t>(config_.boxNumber);
  s->frameWords = static_cast<uint8_t>(config_.frameWords);
  s->statusA = board_.statusA(t);
  s->statusB = board_.statusB(t);
  for (int m = 0; m < kModeCount; ++m) s->modeActive[m] = board_.modeActive(m);
  s->erra = board_.fibreCounter(config_.crcA, t);
  s->errb = board_.fibreCounter(config_.crcB, t);
  s->losta = board_.fibreCounter(config_.lostA, t);
  s->lostb = board_.fibreCounter(config_.lostB, t);
  return 1;
}

const char *Bench::describe() {
  description_ = describeConfig(config_);
  return description_.c_str();
}

}  // namespace sim
