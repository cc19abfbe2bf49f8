// The data blocks the FPGA hands to the module's bulk read, built from the board's state at
// the time of the read: only the words actually delivered are synthesised.
#pragma once

#include <cstdint>

#include "sim/board.h"
#include "sim/fpga.h"

namespace sim {

// Counters the FPGA keeps about its own deliveries.
struct DeliveryCounters {
  uint32_t dumps = 0;         // bulk reads served
  uint32_t acquisitions = 0;  // SUMS blocks served
  uint16_t lastStatusA = 0;
  uint16_t lastStatusB = 0;
};

// Fills `size` bytes in the format of the FPGA's read-out mode at board time t.
void fillBlock(const Board &board, const Fpga &fpga, DeliveryCounters &counters, uint8_t *buf,
               uint32_t size, double t);

// What the FPGA hands over while the board is powered off and its fibres are quiet: no frame,
// no sum and no status of a board; in SUMS mode only the FPGA's own delivery counters.
void fillQuiet(const Fpga &fpga, DeliveryCounters &counters, uint8_t *buf, uint32_t size);

// The single formats, exposed for the tests.
void fillFrames(const Board &board, uint8_t *buf, uint32_t size, double t);
void fillSums(const Board &board, const Fpga &fpga, DeliveryCounters &counters, uint8_t *buf,
              uint32_t size, double t);
void fillSingleValue(const Board &board, int channel, uint8_t *buf, uint32_t size, double t);

}  // namespace sim
