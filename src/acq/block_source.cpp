#include "acq/block_source.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hw/fpga.h"

namespace acq {

namespace {
constexpr uint8_t kReadGate = 0x08;  // port E bit 3
}

bool ModuleSource::read(uint8_t *data, uint32_t request, uint32_t &delivered) {
  delivered = 0;
  if (usb_.NbrQuickUSBConnected == 0) return false;
  uint32_t got = request;
  if (!usb_.ReadDataOnParallel(data, &got)) return false;
  // A library that claims more than was asked for delivered no more than the request.
  delivered = std::min(got, request);
  return true;
}

void ModuleSource::raiseGate() {
  uint8_t e = 0;
  usb_.ReadPort(hw::PORT_E, &e);
  usb_.WritePort(hw::PORT_E, static_cast<uint8_t>(e | kReadGate));
}

void ModuleSource::lowerGate() {
  uint8_t e = 0;
  usb_.ReadPort(hw::PORT_E, &e);
  usb_.WritePort(hw::PORT_E, static_cast<uint8_t>(e & ~kReadGate));
}

bool ModuleSource::gateHeld() {
  uint8_t e = 0;
  usb_.ReadPort(hw::PORT_E, &e);
  return (e & kReadGate) != 0;
}

bool GeneratorSource::read(uint8_t *data, uint32_t request, uint32_t &delivered) {
  for (uint32_t k = 0; 2 * k < request; ++k) {
    const unsigned r = static_cast<unsigned>(std::rand());
    data[2 * k] = static_cast<uint8_t>(r & 0xFF);
    if (2 * k + 1 < request) data[2 * k + 1] = static_cast<uint8_t>((r >> 8) & 0xFF);
  }
  delivered = request;
  return true;
}

bool FileSource::open(const std::string &path, std::string &error) {
  close();
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

void FileSource::close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

bool FileSource::read(uint8_t *data, uint32_t request, uint32_t &delivered) {
  delivered = 0;
  if (!file_) return false;
  delivered = static_cast<uint32_t>(std::fread(data, 1, request, file_));
  return !std::ferror(file_);
}

}  // namespace acq
