// The FPGA behind the module: the command decoder fed by the port C byte and the port E
// strobes, the registers the commands set, and the JTAG test access port on port A.
#pragma once

#include <array>
#include <cstdint>

#include "sim/board.h"

namespace sim {

struct FpgaRegisters {
  uint8_t readoutMode = 0x20;  // FRAMES
  uint8_t fibre = 0x10;        // fibre A
  std::array<uint8_t, 2> singleValue = {0xA1, 0x01};
  BenchInputs bench;
  uint16_t modulationOffset = 0;
  uint16_t modulationDivider = 0;
  uint8_t modulationMultiplication = 0;
  std::array<uint8_t, 2> adcCompensation = {0, 0};
};

class Fpga {
 public:
  void powerOn() { *this = Fpga{}; }

  // New pin levels of port E (strobe bit 0, frame bit 1) with port C's byte. A byte is taken
  // on the rising edge of bit 0 while bit 1 is high; when bit 1 falls the frame is executed
  // if it held exactly three bytes and counted as malformed otherwise.
  void pins(uint8_t portE, uint8_t portC, Board &board, double t);

  const FpgaRegisters &regs() const { return regs_; }
  uint32_t commands = 0;
  uint32_t malformedFrames = 0;
  uint32_t rejectedCommands = 0;
  uint32_t fpgaResets = 0;
  uint32_t adcCompensationCommands = 0;
  std::array<uint8_t, 3> lastCommand{};

 private:
  void execute(uint8_t cmd, uint8_t b1, uint8_t b2, Board &board, double t);

  FpgaRegisters regs_;
  bool frame_ = false;
  bool strobe_ = false;
  int count_ = 0;
  std::array<uint8_t, 3> bytes_{};
};

// IEEE 1149.1 test access port with a 6-bit instruction register. The instruction 000011
// (bits in shift order 1,1,0,0,0,0) selects the 32-bit identification register; every other
// instruction selects the 1-bit bypass register.
class Tap {
 public:
  static constexpr uint8_t kIdInstruction = 0x03;
  void reset(uint32_t id) {
    *this = Tap{};
    id_ = id;
  }
  void pins(uint8_t portA);  // TCK bit 0, TMS bit 1, TDI bit 2
  int tdo() const { return tdo_; }
  int state() const { return state_; }
  uint8_t instruction() const { return ir_; }

 private:
  int state_ = 0;  // Test-Logic-Reset
  bool tck_ = false;
  int tdo_ = 1;
  uint8_t ir_ = kIdInstruction;
  uint8_t irShift_ = 0;
  uint32_t drShift_ = 0;
  uint32_t id_ = 0;
};

}  // namespace sim
