#include <algorithm>

#include "acq/display.h"
#include "rt/format.h"

namespace acq {

void formatRawWord(uint16_t word, std::string &out) {
  out.clear();
  rt::appendFormat(out, "%04X", word);
}

void formatFrameText(const AcqState &st, std::string &out) {
  const int k = std::clamp(st.NewestIndex, 0, kHistory - 1);
  auto cfc = [&](int ch) { return st.CFC[ch][k]; };
  auto adc = [&](int ch) { return st.ADC[ch][k]; };
  out.clear();
  rt::appendFormat(out,
                   "%04x   %04x   %04x   %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x "
                   "%04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x",
                   st.FrameCard, st.FrameStatus1, st.FrameStatus2, cfc(0), adc(0), cfc(1), adc(1),
                   cfc(2), adc(2), cfc(3), adc(3), cfc(4), adc(4), cfc(5), adc(5), cfc(6), adc(6),
                   cfc(7), adc(7), st.DacVal[0], st.DacVal[1], st.DacVal[2], st.DacVal[3],
                   st.DacVal[4], st.DacVal[5], st.DacVal[6], st.DacVal[7], st.FrameCounter);
}

}  // namespace acq
