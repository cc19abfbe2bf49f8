// Where blocks of bytes come from: the QuickUSB module, the pseudo-random generator of the
// no-hardware path, or a stored capture file. The read cycle, the raw capture and the replay
// take their bytes through this one interface, so each of them reads from any source.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "hw/quickusb.h"

namespace acq {

class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Reads at most `request` bytes to `data`. False when the read failed; `delivered` holds the
  // bytes delivered, never more than `request`.
  virtual bool read(uint8_t *data, uint32_t request, uint32_t &delivered) = 0;
  // How many bytes the read cycle asks for a block of `count` bytes into a buffer of `capacity`.
  virtual uint32_t requestFor(uint32_t count, uint32_t /*capacity*/) const { return count; }
  // The read gate: raised around the blocks of the read cycle, so that the FPGA knows a block is
  // being taken. Only the module has one.
  virtual void raiseGate() {}
  virtual void lowerGate() {}
  // True while the gate is held (by the read cycle or by the FPGA side): the raw capture waits.
  virtual bool gateHeld() { return false; }
};

// The QuickUSB module: bulk reads through the port wrappers; the gate is port E bit 3.
class ModuleSource final : public BlockSource {
 public:
  explicit ModuleSource(hw::QuickUsb &usb) : usb_(usb) {}
  // Fails without a connected module (nothing to read from).
  bool read(uint8_t *data, uint32_t request, uint32_t &delivered) override;
  void raiseGate() override;
  void lowerGate() override;
  bool gateHeld() override;

 private:
  hw::QuickUsb &usb_;
};

// No hardware: pseudo-random words from the standard generator (seeded with 1 at start-up), so
// that two runs without hardware show the same sequence. Delivers every byte asked for.
class GeneratorSource final : public BlockSource {
 public:
  bool read(uint8_t *data, uint32_t request, uint32_t &delivered) override;
  // The whole buffer, whatever the mode: the no-hardware raw view shows a full buffer of words
  // and the generator's sequence does not depend on the mode.
  uint32_t requestFor(uint32_t, uint32_t capacity) const override { return capacity; }
};

// A binary file read from its start, block after block.
class FileSource final : public BlockSource {
 public:
  FileSource() = default;
  ~FileSource() override { close(); }
  FileSource(const FileSource &) = delete;
  FileSource &operator=(const FileSource &) = delete;

  // Opens `path` for reading; false (with the system's reason in `error`) when it cannot.
  bool open(const std::string &path, std::string &error);
  void close();
  bool isOpen() const { return file_ != nullptr; }
  // A read error counts as a failed read; the end of the file as a short (or empty) block.
  bool read(uint8_t *data, uint32_t request, uint32_t &delivered) override;

 private:
  std::FILE *file_ = nullptr;
};

}  // namespace acq
