/* Extra entry points of the simulated bench for tests and tools: read back what the FPGA and
 * the board hold, and the effective configuration. The QuickUSB entry points themselves and
 * QuickUsbSimAttachClock / QuickUsbSimConfigure / QuickUsbSimLastError are declared in
 * hw/quickusb_api.h.
 *
 * QuickUsbSimConfigure(path) loads a board configuration and powers the bench on again;
 * QuickUsbSimConfigure(NULL) or "" goes back to the default configuration (the file named by
 * TESSOCK_SIM_CONFIG, else the built-in good board) and powers on again.
 *
 * QuickUsbSimBoardPower and QuickUsbSimInsertBoard (hw/quickusb_api.h) swap the board the way an
 * operator does, with the module left plugged in and open. */
#ifndef TESSOCK_QUICKUSB_SIM_H
#define TESSOCK_QUICKUSB_SIM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* JTAG TAP states. */
enum QuickUsbSimTapState {
  QUSBSIM_TAP_RESET = 0,
  QUSBSIM_TAP_IDLE,
  QUSBSIM_TAP_SELECT_DR,
  QUSBSIM_TAP_CAPTURE_DR,
  QUSBSIM_TAP_SHIFT_DR,
  QUSBSIM_TAP_EXIT1_DR,
  QUSBSIM_TAP_PAUSE_DR,
  QUSBSIM_TAP_EXIT2_DR,
  QUSBSIM_TAP_UPDATE_DR,
  QUSBSIM_TAP_SELECT_IR,
  QUSBSIM_TAP_CAPTURE_IR,
  QUSBSIM_TAP_SHIFT_IR,
  QUSBSIM_TAP_EXIT1_IR,
  QUSBSIM_TAP_PAUSE_IR,
  QUSBSIM_TAP_EXIT2_IR,
  QUSBSIM_TAP_UPDATE_IR
};

typedef struct QuickUsbSimState {
  uint32_t size; /* set by the caller to sizeof(QuickUsbSimState) */

  /* Bench */
  double boardTime;      /* seconds since the last power-on */
  int32_t moduleOpen;    /* a handle is open */
  int32_t moduleGone;    /* the module has been unplugged */
  int32_t boardPowered;  /* the board is powered (QuickUsbSimBoardPower) */
  uint32_t calls;        /* entry-point calls since power-on */
  uint16_t settings[17]; /* module settings 1..16 (index 0 unused) */

  /* FPGA registers, as the last accepted command left them */
  uint8_t readoutMode; /* byte 1 of command 0x20 */
  uint8_t fibre;       /* byte 1 of command 0x30 */
  uint8_t singleValue[2];
  uint8_t selA[8]; /* one-hot bytes of commands 0x50 */
  uint8_t selB[8]; /* commands 0x80 */
  uint16_t sourceValue[8];
  uint16_t modulationOffset;
  uint16_t testVoltage;
  uint16_t modulationDivider;
  uint8_t modulationMultiplication;
  uint8_t supplyReduce;
  uint8_t sourceMask;
  uint8_t adcCompensation[2];
  uint8_t lastCommand[3];
  uint32_t commands;         /* well-formed frames decoded */
  uint32_t malformedFrames;  /* frames with a byte count other than 3 */
  uint32_t rejectedCommands; /* unknown command byte or invalid arguments */
  uint32_t fpgaResets;
  uint32_t adcCompensationCommands;

  /* JTAG */
  int32_t tapState;
  uint8_t instruction; /* 6 bits, first bit shifted in = bit 0 */
  uint32_t jtagId;

  /* Board */
  uint16_t cardNumber;
  uint8_t boxNumber;
  uint8_t frameWords;
  uint16_t statusA;
  uint16_t statusB;
  double currentAmps[8];
  double integrator[8];  /* charge in counts: 0..1 in range, below 0 reverse-driven */
  int64_t counts[8];     /* CFC counts since power-on */
  uint8_t dac[8];        /* DAC counters as reported */
  int32_t modeActive[3]; /* CFC test, DAC reset, OTR reset (held modes included) */
  uint32_t erra, errb, losta, lostb;
} QuickUsbSimState;

/* Fills *state (state->size must be set); nonzero on success. */
int QuickUsbSimInspect(QuickUsbSimState *state);
typedef int (*QuickUsbSimInspect_t)(QuickUsbSimState *state);

/* The effective configuration as JSON text (every field); valid until the next call. */
const char *QuickUsbSimDescribeConfig(void);
typedef const char *(*QuickUsbSimDescribeConfig_t)(void);

#ifdef __cplusplus
}
#endif

#endif
