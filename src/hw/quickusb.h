// Binding of the QuickUSB library (dlopen of the twelve entry points), start-up of the module
// and the seven port wrappers through which the rest of the program talks to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ctl/panels.h"
#include "hw/quickusb_api.h"
#include "rt/runtime.h"

namespace hw {

// The module names of a discovery list: names each ended by a zero, the list ended by an empty
// name or by the end of the buffer (a name cut by the end is not taken).
std::vector<std::string> ModuleNames(const char *list, size_t size);

class QuickUsb {
 public:
  QuickUsb(rt::Runtime &rt, const ctl::Panels &panels);
  ~QuickUsb();
  QuickUsb(const QuickUsb &) = delete;
  QuickUsb &operator=(const QuickUsb &) = delete;

  // Library path used by LoadQuickUSB (default: the vendor's libquickusb.so).
  void setLibraryPath(std::string path) { libraryPath_ = std::move(path); }
  const std::string &libraryPath() const { return libraryPath_; }
  // The file the dynamic loader took for it (a bare name resolved); empty when not loaded.
  std::string loadedPath() const;
  // Board configuration handed to the simulated bench right after binding (empty: none).
  void setSimConfig(std::string path) { simConfig_ = std::move(path); }
  // The module to drive (--module); empty: the first one discovery names.
  void setModuleName(std::string name) { moduleName_ = std::move(name); }
  const std::string &moduleName() const { return moduleName_; }

  // Binds the library, finds and opens the first module (or the one setModuleName names),
  // writes and reads back the settings, reads the board number. 0 success; -1 library not
  // loaded; -2 no module (or not the named one); -3 module not opened; -4 a setting could not
  // be read back.
  int LoadQuickUSB();
  // Closes the module when one was opened and unloads the library when it was loaded.
  void Shutdown();

  // The seven wrappers: USBDevice as handle, library result returned unchanged (nonzero = ok;
  // a nonzero long beyond the range of int comes back as 1). ReadDataOnParallel hands the
  // library an unsigned long of its own and gives back the delivered count, cut to the request.
  int ReadPort(uint16_t address, uint8_t *data);
  int WritePort(uint16_t address, uint8_t data);
  int ReadPortDir(uint16_t address, uint8_t *dir);
  int WritePortDir(uint16_t address, uint8_t dir);
  int ReadDataOnParallel(uint8_t *data, uint32_t *length);
  int WriteByteToSPI(uint8_t value);
  int ReadByteFromSPI(uint8_t *value);
  // Module presence check of the frame reader: QuickUsbFindModules into ModuleList. Returns 1
  // when the entry point is not bound (nothing to ask), 0 when the library finds no module or,
  // once a module is open, no longer lists the one this program drives (NameList).
  int FindModules();
  // The names the library lists now (a discovery into ModuleList); empty when it finds none.
  std::vector<std::string> ListModules();
  bool bound() const { return pt_FindModules != nullptr; }

  // Lines describing why binding failed (missing entry points, dlopen error); empty if none.
  const std::string &bindProblem() const { return bindProblem_; }
  // Why the simulated bench refused the board configuration it was given (empty: it did not).
  const std::string &simConfigProblem() const { return simConfigProblem_; }
  // Why the library could not be opened at all (the path tried and the reason); empty otherwise.
  const std::string &openProblem() const { return openProblem_; }
  // Simulated bench extras, bound when the library has them.
  bool isSimulator() const { return simAttachClock_ != nullptr; }
  QuickUsbSimConfigure_t simConfigure() const { return simConfigure_; }
  QuickUsbSimLastError_t simLastError() const { return simLastError_; }
  // The simulated bench's board swap: the board powered off or on, another board file put in
  // while it is off. False with the bench's reason when refused or when the library has no such
  // entry point (a vendor library).
  bool SimBoardPower(bool on, std::string &error);
  bool SimInsertBoard(const std::string &path, std::string &error);

  // Program state of the binding.
  void *Module_Id = nullptr;  // dlopen handle; null when not loaded
  QuickUsbHandle_t USBDevice = 0;
  int NbrQuickUSBConnected = 0;
  char NameList[512] = "No card";  // the module driven, once discovery has found it
  char ModuleList[512] = {};       // the list of the last presence check
  uint32_t Length = 7;
  uint16_t Setting = 0;
  int VELTRA_BoardNumber = 0;
  bool moduleOpened = false;
  // The module this program drove went away (no longer listed, or its reads kept failing): it
  // stays lost until the program starts again, and nothing is read in its place.
  bool ModuleLost = false;
  double ModuleLostAt = 0;  // the program's clock when the loss was seen

  QuickUsbFindModules_t pt_FindModules = nullptr;
  QuickUsbOpen_t pt_Open = nullptr;
  QuickUsbClose_t pt_Close = nullptr;
  QuickUsbReadSetting_t pt_ReadConfiguration = nullptr;
  QuickUsbWriteSetting_t pt_WriteConfiguration = nullptr;
  QuickUsbReadSpi_t pt_ReadSPI = nullptr;
  QuickUsbWriteSpi_t pt_WriteSPI = nullptr;
  QuickUsbReadPortDir_t pt_ReadPortDir = nullptr;
  QuickUsbWritePortDir_t pt_WritePortDir = nullptr;
  QuickUsbReadPort_t pt_ReadPort = nullptr;
  QuickUsbWritePort_t pt_WritePort = nullptr;
  QuickUsbReadData_t pt_ReadData = nullptr;

 private:
  bool bind();
  void unbind();
  void infoLine(const std::string &line);

  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  std::string libraryPath_ = "libquickusb.so";
  std::string simConfig_;
  std::string moduleName_;
  std::string bindProblem_;
  std::string simConfigProblem_;
  std::string openProblem_;
  QuickUsbSimAttachClock_t simAttachClock_ = nullptr;
  QuickUsbSimConfigure_t simConfigure_ = nullptr;
  QuickUsbSimLastError_t simLastError_ = nullptr;
  QuickUsbSimBoardPower_t simBoardPower_ = nullptr;
  QuickUsbSimInsertBoard_t simInsertBoard_ = nullptr;
};

}  // namespace hw
