#include "sim/fpga.h"

#include "sim/quickusb_sim.h"

namespace sim {

void Fpga::pins(uint8_t portE, uint8_t portC, Board &board, double t) {
  const bool frame = portE & 0x02;
  const bool strobe = portE & 0x01;
  if (frame && !frame_) count_ = 0;
  if (frame && strobe && !strobe_) {
    if (count_ < 3) bytes_[count_] = portC;
    if (count_ < 1000) ++count_;
  }
  if (!frame && frame_) {
    if (count_ == 3)
      execute(bytes_[0], bytes_[1], bytes_[2], board, t);
    else
      ++malformedFrames;
  }
  frame_ = frame;
  strobe_ = strobe;
}

void Fpga::execute(uint8_t cmd, uint8_t b1, uint8_t b2, Board &board, double t) {
  ++commands;
  lastCommand = {cmd, b1, b2};
  BenchInputs &bench = regs_.bench;
  const uint16_t word = static_cast<uint16_t>((b1 << 8) | b2);
  // Channel code of the selector commands: 0x10 * channel.
  const int ch = (b1 & 0x0F) == 0 ? (b1 >> 4) : 0;
  bool benchChanged = false;
  switch (cmd) {
    case 0x10:  // FPGA reset
      ++fpgaResets;
      regs_ = FpgaRegisters{};
      board.resetCounters(t);
      benchChanged = true;
      break;
    case 0xA0:  // ADC compensation
      ++adcCompensationCommands;
      regs_.adcCompensation = {b1, b2};
      break;
    case 0x20:
      if (b1 == 0x10 || b1 == 0x20 || b1 == 0x30 || b1 == 0x40)
        regs_.readoutMode = b1;
      else
        ++rejectedCommands;
      break;
    case 0x30:
      if (b1 == 0x10 || b1 == 0x20)
        regs_.fibre = b1;
      else
        ++rejectedCommands;
      break;
    case 0x40:
      if ((b1 == 0xA1 && b2 >= 0x01 && b2 <= 0x08) || (b1 == 0xA0 && b2 >= 0x11 && b2 <= 0x18))
        regs_.singleValue = {b1, b2};
      else
        ++rejectedCommands;
      break;
    case 0x50:
    case 0x80:
      if (ch >= 1 && ch <= kChannels) {
        (cmd == 0x50 ? bench.selA : bench.selB)[ch - 1] = b2;
        benchChanged = true;
      } else {
        ++rejectedCommands;
      }
      break;
    case 0x61:
    case 0x62:
    case 0x63:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:
    case 0x68:
      bench.value[cmd - 0x61] = word;
      benchChanged = true;
      break;
    case 0x6B:
      regs_.modulationOffset = word;
      break;
    case 0x6C:
      bench.testVoltage = word;
      benchChanged = true;
      break;
    case 0x70:
      regs_.modulationDivider = word;
      break;
    case 0x71:
      regs_.modulationMultiplication = b2;
      break;
    case 0x90:
      bench.supplyReduce = b1;
      bench.sourceMask = b2;
      benchChanged = true;
      break;
    default:
      ++rejectedCommands;
      --commands;
      break;
  }
  if (benchChanged) board.setInputs(regs_.bench, t);
}

namespace {

// Next state for TMS = 0 and TMS = 1, indexed by the current state.
constexpr int kNext[16][2] = {
    {QUSBSIM_TAP_IDLE, QUSBSIM_TAP_RESET},            // Test-Logic-Reset
    {QUSBSIM_TAP_IDLE, QUSBSIM_TAP_SELECT_DR},        // Run-Test/Idle
    {QUSBSIM_TAP_CAPTURE_DR, QUSBSIM_TAP_SELECT_IR},  // Select-DR-Scan
    {QUSBSIM_TAP_SHIFT_DR, QUSBSIM_TAP_EXIT1_DR},     // Capture-DR
    {QUSBSIM_TAP_SHIFT_DR, QUSBSIM_TAP_EXIT1_DR},     // Shift-DR
    {QUSBSIM_TAP_PAUSE_DR, QUSBSIM_TAP_UPDATE_DR},    // Exit1-DR
    {QUSBSIM_TAP_PAUSE_DR, QUSBSIM_TAP_EXIT2_DR},     // Pause-DR
    {QUSBSIM_TAP_SHIFT_DR, QUSBSIM_TAP_UPDATE_DR},    // Exit2-DR
    {QUSBSIM_TAP_IDLE, QUSBSIM_TAP_SELECT_DR},        // Update-DR
    {QUSBSIM_TAP_CAPTURE_IR, QUSBSIM_TAP_RESET},      // Select-IR-Scan
    {QUSBSIM_TAP_SHIFT_IR, QUSBSIM_TAP_EXIT1_IR},     // Capture-IR
    {QUSBSIM_TAP_SHIFT_IR, QUSBSIM_TAP_EXIT1_IR},     // Shift-IR
    {QUSBSIM_TAP_PAUSE_IR, QUSBSIM_TAP_UPDATE_IR},    // Exit1-IR
    {QUSBSIM_TAP_PAUSE_IR, QUSBSIM_TAP_EXIT2_IR},     // Pause-IR
    {QUSBSIM_TAP_SHIFT_IR, QUSBSIM_TAP_UPDATE_IR},    // Exit2-IR
    {QUSBSIM_TAP_IDLE, QUSBSIM_TAP_SELECT_DR},        // Update-IR
};

}  // namespace

void Tap::pins(uint8_t portA) {
  const bool tck = portA & 0x01;
  const int tms = (portA >> 1) & 1;
  const uint32_t tdi = (portA >> 2) & 1u;
  const bool selectsId = ir_ == kIdInstruction;
  if (tck && !tck_) {
    // Rising edge: the action of the present state, then the move TMS asks for.
    switch (state_) {
      case QUSBSIM_TAP_RESET:
        ir_ = kIdInstruction;
        break;
      case QUSBSIM_TAP_CAPTURE_DR:
        drShift_ = selectsId ? id_ : 0u;
        break;
      case QUSBSIM_TAP_SHIFT_DR:
        drShift_ = selectsId ? (drShift_ >> 1) | (tdi << 31) : tdi;
        break;
      case QUSBSIM_TAP_CAPTURE_IR:
        irShift_ = 0x01;
        break;
      case QUSBSIM_TAP_SHIFT_IR:
        irShift_ = static_cast<uint8_t>((irShift_ >> 1) | (tdi << 5));
        break;
      case QUSBSIM_TAP_UPDATE_IR:
        ir_ = irShift_ & 0x3F;
        break;
      default:
        break;
    }
    state_ = kNext[state_][tms];
    if (state_ == QUSBSIM_TAP_RESET) ir_ = kIdInstruction;
  } else if (!tck && tck_) {
    // Falling edge: TDO presents the bit nearest to it while shifting.
    if (state_ == QUSBSIM_TAP_SHIFT_DR)
      tdo_ = static_cast<int>(drShift_ & 1u);
    else if (state_ == QUSBSIM_TAP_SHIFT_IR)
      tdo_ = irShift_ & 1;
    else
      tdo_ = 1;  // not driven: pulled up
  }
  tck_ = tck;
}

}  // namespace sim
