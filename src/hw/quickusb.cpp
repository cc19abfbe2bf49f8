#include "hw/quickusb.h"

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstring>

#include "ctl/main_panel.h"
#include "rt/input_file.h"

namespace hw {

namespace {

double clockNow(void *ctx) { return static_cast<rt::Clock *>(ctx)->now(); }
void clockAdvance(void *ctx, double seconds) { static_cast<rt::Clock *>(ctx)->advance(seconds); }

// The library answers with a long; the program's functions return int. A success whose value
// does not fit an int (its low 32 bits may all be zero) must stay a success.
int result(long r) {
  if (r == 0) return 0;
  return r >= INT_MIN && r <= INT_MAX ? static_cast<int>(r) : 1;
}

}  // namespace

std::vector<std::string> ModuleNames(const char *list, size_t size) {
  std::vector<std::string> names;
  size_t at = 0;
  while (at < size && list[at] != '\0') {
    const void *end = std::memchr(list + at, '\0', size - at);
    if (!end) break;
    const size_t length = static_cast<const char *>(end) - (list + at);
    names.emplace_back(list + at, length);
    at += length + 1;
  }
  return names;
}

QuickUsb::QuickUsb(rt::Runtime &rt, const ctl::Panels &panels) : rt_(rt), panels_(panels) {}

QuickUsb::~QuickUsb() { Shutdown(); }

std::string QuickUsb::loadedPath() const {
  if (!Module_Id) return {};
  struct link_map *map = nullptr;
  if (dlinfo(Module_Id, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return libraryPath_;
  return map->l_name[0] ? std::string(map->l_name) : libraryPath_;
}

void QuickUsb::infoLine(const std::string &line) {
  rt_.InsertTextBoxLine(panels_.MainPanel, ctl::Main::InfoBox, -1, line);
}

bool QuickUsb::bind() {
  bindProblem_.clear();
  openProblem_.clear();
  // A path (not a bare name the loader searches for) must be a regular file: the loader would
  // wait for ever on a named pipe and read a device without end.
  if (libraryPath_.find('/') != std::string::npos) {
    const rt::PathCheck check = rt::checkPath(libraryPath_);
    if (!check.problem.empty()) {
      openProblem_ =
          "The QuickUSB library '" + libraryPath_ + "' cannot be loaded: " + check.problem;
      bindProblem_ = openProblem_;
      return false;
    }
  }
  Module_Id = dlopen(libraryPath_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Module_Id) {
    const char *e = dlerror();
    std::string reason = e ? e : "unknown reason";
    // The loader's message starts with the path, which the line already names.
    if (reason.rfind(libraryPath_ + ": ", 0) == 0) reason.erase(0, libraryPath_.size() + 2);
    openProblem_ = "The QuickUSB library '" + libraryPath_ + "' cannot be loaded: " + reason;
    bindProblem_ = openProblem_;
    return false;
  }
  // The twelve entry points, in order, each by its exact name.
  struct Entry {
    const char *name;
    void **slot;
  };
  const Entry entries[] = {
      {"QuickUsbFindModules", reinterpret_cast<void **>(&pt_FindModules)},
      {"QuickUsbOpen", reinterpret_cast<void **>(&pt_Open)},
      {"QuickUsbClose", reinterpret_cast<void **>(&pt_Close)},
      {"QuickUsbReadSetting", reinterpret_cast<void **>(&pt_ReadConfiguration)},
      {"QuickUsbWriteSetting", reinterpret_cast<void **>(&pt_WriteConfiguration)},
      {"QuickUsbReadSpi", reinterpret_cast<void **>(&pt_ReadSPI)},
      {"QuickUsbWriteSpi", reinterpret_cast<void **>(&pt_WriteSPI)},
      {"QuickUsbReadPortDir", reinterpret_cast<void **>(&pt_ReadPortDir)},
      {"QuickUsbWritePortDir", reinterpret_cast<void **>(&pt_WritePortDir)},
      {"QuickUsbReadPort", reinterpret_cast<void **>(&pt_ReadPort)},
      {"QuickUsbWritePort", reinterpret_cast<void **>(&pt_WritePort)},
      {"QuickUsbReadData", reinterpret_cast<void **>(&pt_ReadData)},
  };
  std::string missing;
  for (const Entry &e : entries) {
    *e.slot = dlsym(Module_Id, e.name);
    if (!*e.slot) missing += missing.empty() ? e.name : std::string(", ") + e.name;
  }
  if (!missing.empty()) {
    // A library without every entry point is never called: it counts as not loaded.
    bindProblem_ =
        "The QuickUSB library '" + libraryPath_ + "' lacks the entry point(s) " + missing;
    unbind();
    return false;
  }
  simAttachClock_ =
      reinterpret_cast<QuickUsbSimAttachClock_t>(dlsym(Module_Id, "QuickUsbSimAttachClock"));
  simConfigure_ =
      reinterpret_cast<QuickUsbSimConfigure_t>(dlsym(Module_Id, "QuickUsbSimConfigure"));
  simLastError_ =
      reinterpret_cast<QuickUsbSimLastError_t>(dlsym(Module_Id, "QuickUsbSimLastError"));
  simBoardPower_ =
      reinterpret_cast<QuickUsbSimBoardPower_t>(dlsym(Module_Id, "QuickUsbSimBoardPower"));
  simInsertBoard_ =
      reinterpret_cast<QuickUsbSimInsertBoard_t>(dlsym(Module_Id, "QuickUsbSimInsertBoard"));
  if (simAttachClock_) simAttachClock_(clockNow, clockAdvance, &rt_.clock());
  // The simulated bench powers on afresh for every program run (and every test bench): the
  // given configuration, or its default board.
  simConfigProblem_.clear();
  if (simConfigure_ && !simConfigure_(simConfig_.empty() ? nullptr : simConfig_.c_str())) {
    const char *e = simLastError_ ? simLastError_() : nullptr;
    simConfigProblem_ =
        std::string("Simulated bench: ") + (e && *e ? e : "configuration refused: " + simConfig_);
    infoLine(simConfigProblem_);
  }
  return true;
}

bool QuickUsb::SimBoardPower(bool on, std::string &error) {
  if (!simBoardPower_) {
    error = "the QuickUSB library is no simulated bench: swap the board by hand";
    return false;
  }
  if (simBoardPower_(on ? 1 : 0)) return true;
  const char *e = simLastError_ ? simLastError_() : nullptr;
  error = e && *e ? e : "the simulated bench refused to switch the board";
  return false;
}

bool QuickUsb::SimInsertBoard(const std::string &path, std::string &error) {
  if (!simInsertBoard_) {
    error = "the QuickUSB library is no simulated bench: swap the board by hand";
    return false;
  }
  if (simInsertBoard_(path.empty() ? nullptr : path.c_str())) return true;
  const char *e = simLastError_ ? simLastError_() : nullptr;
  error = e && *e ? e : "the simulated bench refused the board " + path;
  return false;
}

void QuickUsb::unbind() {
  if (simAttachClock_) simAttachClock_(nullptr, nullptr, nullptr);
  simAttachClock_ = nullptr;
  simConfigure_ = nullptr;
  simLastError_ = nullptr;
  simBoardPower_ = nullptr;
  simInsertBoard_ = nullptr;
  pt_FindModules = nullptr;
  pt_Open = nullptr;
  pt_Close = nullptr;
  pt_ReadConfiguration = nullptr;
  pt_WriteConfiguration = nullptr;
  pt_ReadSPI = nullptr;
  pt_WriteSPI = nullptr;
  pt_ReadPortDir = nullptr;
  pt_WritePortDir = nullptr;
  pt_ReadPort = nullptr;
  pt_WritePort = nullptr;
  pt_ReadData = nullptr;
  if (Module_Id) dlclose(Module_Id);
  Module_Id = nullptr;
}

int QuickUsb::LoadQuickUSB() {
  if (!bind()) {
    // Missing entry points are named before the standard line; a library that could not be
    // opened at all is explained after it (by the caller).
    if (!bindProblem_.empty() && openProblem_.empty()) infoLine(bindProblem_);
    return -1;
  }
  if (moduleName_.empty()) {
    if (pt_FindModules(NameList, Length) == 0) return -2;
  } else {
    // A named module: the whole list is asked for (the start-up length of 7 holds one short
    // name only), and the module is driven only when the library lists it.
    const std::vector<std::string> names = ListModules();
    bool listed = false;
    for (const std::string &n : names) listed = listed || n == moduleName_;
    if (!listed) {
      std::string present;
      for (const std::string &n : names) present += (present.empty() ? "" : ", ") + n;
      infoLine("Module '" + moduleName_ + "' not found; the library lists " +
               (present.empty() ? std::string("no module") : present));
      return -2;
    }
    std::memset(NameList, 0, sizeof NameList);
    moduleName_.copy(NameList, sizeof NameList - 1);
  }
  infoLine(NameList);
  if (pt_Open(&USBDevice, NameList) == 0) return -3;
  moduleOpened = true;
  rt_.SetCtrlAttribute(panels_.MainPanel, ctl::Main::BoardOpenMark, rt::ATTR_BOARD_OPEN_MARK, 920);
  NbrQuickUSBConnected = 1;
  pt_WriteConfiguration(USBDevice, 1, 1);
  pt_WriteConfiguration(USBDevice, 2, 0xF0);
  pt_WriteConfiguration(USBDevice, 3, 0xAA);
  static const char *const kSettingLines[5] = {
      " WORDWIDE :            0x%X", " DATA ADDRESS SETTING: 0x%X",
      " FIFO setting : 0x%X",        " FPGATYPE : 0x%X",
      " CPUCONFIG : 0x%X",
  };
  for (uint16_t s = 1; s <= 5; ++s) {
    if (pt_ReadConfiguration(USBDevice, s, &Setting) == 0) return -4;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    infoLine(rt::format(kSettingLines[s - 1], unsigned(Setting)));
#pragma GCC diagnostic pop
  }
  WritePortDir(4, 0x08);
  // A failed read leaves no board number: show 0 rather than an undefined byte.
  uint8_t e = 0;
  if (ReadPort(4, &e) == 0) e = 0;
  VELTRA_BoardNumber = (e >> 5) & 7;
  rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::BoardNumber, VELTRA_BoardNumber);
  return 0;
}

void QuickUsb::Shutdown() {
  if (moduleOpened && pt_Close) pt_Close(USBDevice);
  moduleOpened = false;
  NbrQuickUSBConnected = 0;
  if (Module_Id) unbind();
}

int QuickUsb::ReadPort(uint16_t address, uint8_t *data) {
  unsigned short len = 1;
  return pt_ReadPort ? result(pt_ReadPort(USBDevice, address, data, &len)) : 0;
}
int QuickUsb::WritePort(uint16_t address, uint8_t data) {
  return pt_WritePort ? result(pt_WritePort(USBDevice, address, &data, 1)) : 0;
}
int QuickUsb::ReadPortDir(uint16_t address, uint8_t *dir) {
  return pt_ReadPortDir ? result(pt_ReadPortDir(USBDevice, address, dir)) : 0;
}
int QuickUsb::WritePortDir(uint16_t address, uint8_t dir) {
  return pt_WritePortDir ? result(pt_WritePortDir(USBDevice, address, dir)) : 0;
}
int QuickUsb::ReadDataOnParallel(uint8_t *data, uint32_t *length) {
  if (!pt_ReadData) {
    *length = 0;
    return 0;
  }
  // The library reads and writes a whole unsigned long: it gets one of its own, never the
  // caller's 32-bit count.
  const uint32_t requested = *length;
  unsigned long count = requested;
  const int r = result(pt_ReadData(USBDevice, data, &count));
  // A library that claims more than was asked for delivered no more than the request (the
  // buffer holds no more); a count beyond 32 bits cannot be handed on at all.
  *length = count > requested ? requested : static_cast<uint32_t>(count);
  return r;
}
int QuickUsb::WriteByteToSPI(uint8_t value) {
  return pt_WriteSPI ? result(pt_WriteSPI(USBDevice, 4, &value, 1)) : 0;
}
int QuickUsb::ReadByteFromSPI(uint8_t *value) {
  unsigned short len = 1;
  return pt_ReadSPI ? result(pt_ReadSPI(USBDevice, 4, value, &len)) : 0;
}
std::vector<std::string> QuickUsb::ListModules() {
  if (!pt_FindModules) return {};
  std::memset(ModuleList, 0, sizeof ModuleList);
  if (result(pt_FindModules(ModuleList, sizeof ModuleList)) == 0) return {};
  return ModuleNames(ModuleList, sizeof ModuleList);
}

int QuickUsb::FindModules() {
  if (!pt_FindModules) return 1;
  // The list goes into a buffer of its own: NameList keeps the name of the module driven.
  std::memset(ModuleList, 0, sizeof ModuleList);
  const int found = result(pt_FindModules(ModuleList, sizeof ModuleList));
  if (found == 0 || !moduleOpened) return found;
  // With several modules on the PC, the one this program opened must be among them: another
  // module still plugged in does not keep a lost one alive.
  for (const std::string &n : ModuleNames(ModuleList, sizeof ModuleList))
    if (n == NameList) return found;
  return 0;
}

}  // namespace hw
