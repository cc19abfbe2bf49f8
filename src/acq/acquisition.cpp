#include "acq/acquisition.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "acq/analysis.h"
#include "acq/display.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "hw/fpga.h"

namespace acq {

namespace {

constexpr uint8_t kReadGate = 0x08;  // port E bit 3, held high while a block is read

// Main-panel keys.
constexpr int kKeyF1 = 0x0F00;
constexpr int kKeyF8 = 0x1600;
constexpr int kKeyF9 = 0x1700;
constexpr int kKeyF12 = 0x1A00;
constexpr int kKeyStep = 0x100;

// Counts one more failure; the count stops at its largest value instead of wrapping.
inline void countFailure(int &count) {
  if (count < INT_MAX) ++count;
}

// Clears a flag when the scope ends, whichever way it ends.
struct FlagGuard {
  int &flag;
  ~FlagGuard() { flag = 0; }
};

}  // namespace

Acquisition::Acquisition(rt::Runtime &rt, const ctl::Panels &panels, hw::QuickUsb &usb,
                         hw::FpgaConfig &config)
    : rt_(rt), panels_(panels), usb_(usb), config_(config) {
  line_.reserve(256);
}

int Acquisition::focus() const { return std::clamp(config_.AdcCfcfocus, 0, kChannels - 1); }

// ---------------------------------------------------------------- read cycle

void Acquisition::fillDemoBlock() {
  // The demo values come from the standard generator (seeded with 1 at start-up), so two runs
  // without hardware show the same sequence.
  const uint16_t adc = static_cast<uint16_t>(std::rand());
  const uint16_t cfc = static_cast<uint16_t>(std::rand());
  storeDemoSample(*this, adc, cfc);
  for (uint32_t k = 0; k < blk::kReadBufferBytes / 2; ++k) {
    const unsigned r = static_cast<unsigned>(std::rand());
    buffer_[2 * k] = static_cast<uint8_t>(r & 0xFF);
    buffer_[2 * k + 1] = static_cast<uint8_t>((r >> 8) & 0xFF);
  }
}

int Acquisition::ReadShowFrame() {
  // 1. The read buffer; 1000 bytes unless the mode asks for another size.
  uint32_t count = blk::kRawBytes;
  const bool hardware = usb_.NbrQuickUSBConnected != 0;

  // 2. No hardware: one demo sample for channel 1 and a block of pseudo-random words.
  if (!hardware) fillDemoBlock();

  // 3. Is the module still there?
  if (usb_.bound() && usb_.FindModules() == 0 && usb_.NbrQuickUSBConnected != 0) {
    usb_.NbrQuickUSBConnected = 0;
    return kModuleLost;
  }

  // 4. The read-out mode decides the size of the block.
  mode_ = rt_.GetCtrlValI(panels_.MainPanel, ctl::Main::ReadOutMode);
  count = blk::bytesForMode(mode_);

  // 5. The block, read with the read gate (port E bit 3) held high.
  if (hardware) {
    uint8_t e = 0;
    usb_.ReadPort(hw::PORT_E, &e);
    usb_.WritePort(hw::PORT_E, static_cast<uint8_t>(e | kReadGate));
    uint32_t got = count;
    if (!usb_.ReadDataOnParallel(buffer_, &got)) return kReadFailed;
    e = 0;
    usb_.ReadPort(hw::PORT_E, &e);
    usb_.WritePort(hw::PORT_E, static_cast<uint8_t>(e & ~kReadGate));
    // A library that claims more than was asked for delivered no more than the request.
    count = std::min(got, count);
    std::memset(buffer_ + count, 0, sizeof buffer_ - count);
  }
  delivered_ = count;

  // 6. Raw view.
  if (ViewRaw == 1) showRawView();

  // 7. Mode processing.
  const double now = rt_.Timer();
  switch (mode_) {
    case blk::FRAMES:
      if (processFrames(now) != kReadOk) return kReadFailed;
      break;
    case blk::SUMS_MAXIMUMS_ANALYSIS:
      processSums(now);
      break;
    case blk::SINGLE_VALUE:
      decodeSingleValue(BlockView{buffer_, delivered_}, single_);
      break;
    default:
      break;
  }

  // 8. Card number, in every mode.
  rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::CardNumber, unsigned(CardNumber));
  // 9. Data graphs.
  if (ShowGraph) plotDataGraphs(hardware);
  // 10. Record line.
  if (WriteIntoFile) recordLine();
  return kReadOk;
}

int Acquisition::processFrames(double now) {
  if (delivered_ < blk::kMinFramesBytes) return kReadFailed;
  const BlockView block{buffer_, delivered_};
  const FrameSearch found = findFrame(block, SizeOfFrameShort, *this);
  if (found.learned)
    rt_.SetCtrlVal(panels_.OptionsPanel, ctl::Options::CardNumber, unsigned(CardNumber));
  if (found.start < 0) return kReadFailed;
  decodeFrame(block, found.start, *this);

  showDacTable();
  if (ViewFrame == 1) showFrameText();
  showStatusLightsFrames();
  const double framePeriod = rt_.GetCtrlValD(panels_.MainPanel, ctl::Main::FramePeriod);
  const FrameStats stats = analyseFrame(*this, now, focus());
  updateSlope(*this, now, framePeriod);
  updateCalcPeriod(*this);
  showFrameStatistics(stats);
  return kReadOk;
}

void Acquisition::processSums(double now) {
  const BlockView block{buffer_, delivered_};
  const int sum =
      std::clamp(rt_.GetCtrlValI(panels_.MainPanel, ctl::Main::SumSelect), 0, kSums - 1);
  decodeSums(block, *this);
  normaliseSums(*this);
  plotSums(sum);
  decodeStatusCounters(block, *this);
  updateRates(*this, now);
  decodeStatusFlags(block, *this);
  showStatusTable();
  showStatusLightsSums();
}

// ---------------------------------------------------------------- continuous acquisition

int Acquisition::ContinuousReadStartStop() {
  const int m = panels_.MainPanel;
  const bool running = rt_.GetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED) != 0;

  if (!running) {
    // The FPGA preparation of every start: linked and on, linked and off, unlinked, then the
    // operator's own settings.
    const int o = panels_.OptionsPanel;
    const int link = rt_.GetCtrlValI(o, ctl::Options::LinkSources);
    const int on1 = rt_.GetCtrlValI(o, ctl::Options::SourceOn[0]);
    rt_.SetCtrlVal(o, ctl::Options::LinkSources, 1);
    rt_.SetCtrlVal(o, ctl::Options::SourceOn[0], 1);
    config_.UpdateFPGAConfigFromOptionPanel();
    rt_.SetCtrlVal(o, ctl::Options::SourceOn[0], 0);
    config_.UpdateFPGAConfigFromOptionPanel();
    rt_.SetCtrlVal(o, ctl::Options::LinkSources, 0);
    config_.UpdateFPGAConfigFromOptionPanel();
    rt_.SetCtrlVal(o, ctl::Options::LinkSources, link);
    rt_.SetCtrlVal(o, ctl::Options::SourceOn[0], on1);
    config_.UpdateFPGAConfigFromOptionPanel();

    StartTime = rt_.Timer();
    const int mode = rt_.GetCtrlValI(m, ctl::Main::ReadOutMode);
    if (mode == blk::FRAMES || mode == blk::SUMS_MAXIMUMS_ANALYSIS) {
      AcqIntervalSeconds = mode == blk::FRAMES ? 0.02 : 0.4;
      rt_.SetCtrlVal(m, ctl::Main::AcqInterval, AcqIntervalSeconds);
    }
    if (WriteIntoFile) openRecord();
    rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED, 1);
  } else {
    rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED, 0);
    closeRecordAtStop();
  }

  rt_.SetCtrlAttribute(m, ctl::Main::ReadOutMode, rt::ATTR_DIMMED, running ? 0 : 1);
  rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_INTERVAL, AcqIntervalSeconds);
  return 0;
}

int Acquisition::ReadFrame(int, int, int event) {
  if (event != rt::EVENT_TIMER_TICK) return 0;
  // A tick that finds the previous read unfinished is dropped and counted.
  if (WaitUSB == 1) {
    countFailure(ReadErrorCount);
    return 0;
  }
  WaitUSB = 1;
  FlagGuard done{WaitUSB};
  const int m = panels_.MainPanel;
  LastTickTime = rt_.Timer();
  NewTime = LastTickTime - StartTime;

  const int result = ReadShowFrame();
  if (result == kReadFailed) {
    countFailure(ReadErrorCount);
    rt_.SetCtrlVal(m, ctl::Main::ReadErrors, ReadErrorCount);
  } else if (result == kModuleLost) {
    rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED, 0);
    closeRecordAtStop();
    rt_.SetCtrlAttribute(m, ctl::Main::ReadOutMode, rt::ATTR_DIMMED, 0);
  }

  // The mean time per tick over the last three ticks.
  if (--TimeCount <= 0) {
    rt_.SetCtrlVal(m, ctl::Main::FramePeriod, (LastTickTime - PeriodStartTime) / 3.0);
    PeriodStartTime = LastTickTime;
    TimeCount = 3;
  }
  return 0;
}

int Acquisition::ContiReads(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  ContinuousReadStartStop();
  for (int ch = 0; ch < kChannels; ++ch) {
    ADC_MIN[ch] = kAdcFull;
    ADC_MAX[ch] = 0;
    ADC_DISC[ch] = 0;
  }
  return 0;
}

int Acquisition::ReadData__(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  if (usb_.NbrQuickUSBConnected) ReadShowFrame();
  return 0;
}

int Acquisition::TimerRefresh(int, int, int event) {
  if (event != rt::EVENT_TIMER_TICK) return 0;
  rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::ReadOutMode, blk::SUMS_MAXIMUMS_ANALYSIS);
  config_.UpdateMainPanel();
  ReadShowFrame();
  rt_.SetCtrlVal(panels_.TestCFCPanel, ctl::Test::FpgaDeviceNumber, unsigned(CardNumber));
  if (refreshIdentification) refreshIdentification();
  return 0;
}

int Acquisition::KeyCallback(int, int, int event, int key) {
  if (event != rt::EVENT_KEYPRESS) return 0;
  const int m = panels_.MainPanel;
  if (key >= kKeyF1 && key <= kKeyF8 && key % kKeyStep == 0) {
    const int channel = (key - kKeyF1) / kKeyStep;
    rt_.SetCtrlVal(m, ctl::Main::FocusChannel, channel);
    // The focus displays follow the key at once.
    config_.AdcCfcfocus = channel;
    config_.UpdateMainPanel();
  } else if (key >= kKeyF9 && key <= kKeyF12 && key % kKeyStep == 0) {
    if (WriteIntoFile) return 0;
    if (rt_.GetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED) != 0)
      ContinuousReadStartStop();
    rt_.SetCtrlVal(m, ctl::Main::ReadOutMode, (key - kKeyF9) / kKeyStep);
    config_.UpdateMainPanel();
    ContinuousReadStartStop();
  }
  return 0;
}

int Acquisition::UpdatePanelSumMax(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  const int m = panels_.MainPanel;
  ShowNormPlots = rt_.GetCtrlValI(m, ctl::Main::ShowNormalized);
  for (int ch = 0; ch < kChannels; ++ch) PlotCH[ch] = rt_.GetCtrlValI(m, ctl::Main::PlotCh[ch]);
  return 0;
}

}  // namespace acq
