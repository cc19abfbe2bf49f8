#include "acq/acquisition.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "acq/analysis.h"
#include "acq/display.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "hw/fpga.h"

namespace acq {

namespace {

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
    : rt_(rt), panels_(panels), usb_(usb), config_(config), module_(usb) {
  line_.reserve(256);
  wallClock = [] { return static_cast<long long>(std::time(nullptr)); };
  conversionPath = defaultConversionPath();
}

Acquisition::~Acquisition() {
  closeRecord();
  replay_.close();
}

int Acquisition::focus() const { return std::clamp(config_.AdcCfcfocus, 0, kChannels - 1); }

// ---------------------------------------------------------------- read cycle

BlockSource &Acquisition::blockSource() {
  if (source_) return *source_;
  if (usb_.NbrQuickUSBConnected != 0) return module_;
  return generator_;
}

bool Acquisition::moduleLost() {
  if (usb_.ModuleLost) return true;
  if (usb_.bound() && usb_.NbrQuickUSBConnected != 0 && usb_.FindModules() == 0) loseModule();
  return usb_.ModuleLost;
}

void Acquisition::loseModule() {
  usb_.NbrQuickUSBConnected = 0;
  usb_.ModuleLost = true;
  usb_.ModuleLostAt = rt_.Timer();
}

int Acquisition::ReadShowFrame() {
  // A module that went away stays gone: nothing is read, and no pseudo-random block takes its
  // place, so no figure is ever computed from anything but the board.
  if (usb_.ModuleLost) return kModuleLost;
  const bool hardware = usb_.NbrQuickUSBConnected != 0;

  // No hardware: one demo sample for channel 1 (the block itself comes from the generator).
  // The demo values come from the standard generator, seeded with 1 at start-up.
  if (!hardware) {
    const uint16_t adc = static_cast<uint16_t>(std::rand());
    const uint16_t cfc = static_cast<uint16_t>(std::rand());
    storeDemoSample(*this, adc, cfc);
  }

  // Is the module still there?
  if (hardware && moduleLost()) return kModuleLost;

  // The read-out mode decides the size of the block: 1000 bytes unless the mode asks for
  // another size.
  mode_ = rt_.GetCtrlValI(panels_.MainPanel, ctl::Main::ReadOutMode);
  const uint32_t count = blk::bytesForMode(mode_);

  // The block, read with the read gate held high; the mode takes its count of bytes from what
  // the source delivered.
  BlockSource &source = blockSource();
  const uint32_t request = source.requestFor(count, uint32_t(sizeof buffer_));
  uint32_t got = 0;
  source.raiseGate();
  if (!source.read(buffer_, request, got)) {
    // A module whose reads keep failing is as lost as one that is no longer listed.
    if (hardware && &source == &module_ && ++failedModuleReads_ >= kLostAfterFailedReads) {
      loseModule();
      return kModuleLost;
    }
    return kReadFailed;
  }
  failedModuleReads_ = 0;
  source.lowerGate();
  std::memset(buffer_ + got, 0, sizeof buffer_ - got);
  delivered_ = std::min(got, count);

  // Raw view.
  if (ViewRaw == 1) showRawView();

  // Mode processing.
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
  // Any other block breaks the FRAMES stream: the next frame starts the analysis afresh.
  if (mode_ != blk::FRAMES) FramesArmed = false;

  // Card number, in every mode.
  rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::CardNumber, unsigned(CardNumber));
  // Data graphs.
  if (ShowGraph) plotDataGraphs(hardware);
  // Record line.
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
    FramesArmed = false;  // a new stream begins with the next frame
    const int mode = rt_.GetCtrlValI(m, ctl::Main::ReadOutMode);
    if (mode == blk::FRAMES || mode == blk::SUMS_MAXIMUMS_ANALYSIS) {
      AcqIntervalSeconds = mode == blk::FRAMES ? 0.02 : 0.4;
      rt_.SetCtrlVal(m, ctl::Main::AcqInterval, AcqIntervalSeconds);
    }
    if (WriteIntoFile) openRecord();
    rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED, 1);
  } else {
    rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_ENABLED, 0);
    FramesArmed = false;
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
    FramesArmed = false;
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
