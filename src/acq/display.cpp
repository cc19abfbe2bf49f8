// The displays of the read cycle: raw view, DAC table, frame text, status lights, the focus
// indicators and the per-channel result table, the sums graph, the status table and the two
// data graphs.
#include "acq/display.h"

#include <algorithm>

#include "acq/acquisition.h"
#include "ctl/main_panel.h"
#include "ctl/raw_data_panel.h"
#include "ctl/show_frame_panel.h"
#include "ctl/test_panel.h"
#include "rt/format.h"

namespace acq {

namespace {

// The header line, built once: the text box copies what it is given, nothing more.
const std::string &frameTextHeader() {
  static const std::string header = kFrameTextHeader;
  return header;
}

}  // namespace

void Acquisition::showRawView() {
  const int p = panels_.RawData;
  rt_.ResetTextBox(p, ctl::RawData::Words, " ");
  for (int k = 0; k < kRawViewLines; ++k) {
    formatRawWord(static_cast<uint16_t>(buffer_[2 * k] | (buffer_[2 * k + 1] << 8)), line_);
    rt_.InsertTextBoxLine(p, ctl::RawData::Words, -1, line_);
  }
}

void Acquisition::showDacTable() {
  rt_.SetTableCellRangeVals(panels_.MainPanel, ctl::Main::DacTable, 1, 2, kChannels, 1, DacVal);
}

void Acquisition::showFrameText() {
  const int p = panels_.ShowFramePanel;
  rt_.ResetTextBox(p, ctl::ShowFrame::FrameText, " ");
  rt_.InsertTextBoxLine(p, ctl::ShowFrame::FrameText, -1, frameTextHeader());
  formatFrameText(*this, line_);
  rt_.InsertTextBoxLine(p, ctl::ShowFrame::FrameText, -1, line_);
}

void Acquisition::showStatusLightsFrames() {
  // Status word 2 of a frame is shown bit-reversed against SUMS status word B.
  for (int bit = 0; bit < 16; ++bit) {
    const int mask = 1 << bit;
    rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::StatusA[bit], FrameStatus1 & mask);
    rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::StatusB[15 - bit], FrameStatus2 & mask);
  }
}

void Acquisition::showStatusLightsSums() {
  for (int bit = 0; bit < 16; ++bit) {
    const int mask = 1 << bit;
    rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::StatusA[bit], Statusa & mask);
    rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::StatusB[bit], Statusb & mask);
  }
}

void Acquisition::showFrameStatistics(const FrameStats &stats) {
  const int m = panels_.MainPanel;
  const int table = ctl::TabSlope::ResultTable;
  const int f = focus();
  if (stats.resets) {
    rt_.SetTableCellRangeVals(panels_.TabSlope, table, 2, 11, kChannels, 1, ADC_DISC);
    if (stats.focusReset) {
      rt_.SetCtrlVal(m, ctl::Main::FocusDisc, stats.focusDisc);
      rt_.SetCtrlVal(m, ctl::Main::FocusOvershoot, stats.focusOvershoot);
    }
  }
  rt_.SetCtrlVal(m, ctl::Main::FocusAdcMin, unsigned(ADC_MIN[f]));
  rt_.SetCtrlVal(m, ctl::Main::FocusAdcMax, unsigned(ADC_MAX[f]));
  rt_.SetCtrlVal(m, ctl::Main::FocusPeriodRate, 200.0 / ADC_STAT_PERIODE[f]);

  const int column = nextStatsColumn(*this);
  auto write = [&](const auto *values) {
    rt_.SetTableCellRangeVals(panels_.TabSlope, table, 2, column, kChannels, 1, values);
  };
  switch (column) {
    case 2:
      write(CFC_VAL);
      break;
    case 3:
      write(ADC_STAT_SLOPE);
      break;
    case 4:
      write(ADC_STAT_CALC_PER);
      break;
    case 5:
      write(ADC_STAT_PERIODE);
      break;
    case 8:
      write(OVERSHOT);
      break;
    case 9:
      write(ADC_MIN);
      break;
    case 10:
      write(ADC_MAX);
      break;
    default:
      break;
  }
}

void Acquisition::plotSums(int sum) {
  const int m = panels_.MainPanel;
  const int graph = ctl::Main::SumsGraph;
  // The sums of the previous block go before the new ones are drawn.
  if (std::any_of(std::begin(SumPlotHandle), std::end(SumPlotHandle),
                  [](int h) { return h != 0; })) {
    rt_.DeleteGraphPlot(m, graph, -1);
    rt_.SetAxisScalingMode(m, graph, rt::VAL_LOCK, 0.0, 10.0);
  }
  for (int ch = 0; ch < kChannels; ++ch) {
    if (!PlotCH[ch]) continue;
    const float *history = ShowNormPlots ? SumsMaximumsNormalized[ch][sum] : SumsMaximums[ch][sum];
    SumPlotHandle[ch] = rt_.PlotY(m, graph, history, kSumHistory, kSumColour[ch]);
    rt_.SetPlotLegend(m, graph, SumPlotHandle[ch], kChannelLegend[ch]);
  }
  rt_.SetAxisScalingMode(m, graph, rt::VAL_AUTOSCALE, 0.0, 10.0);
}

void Acquisition::showStatusTable() {
  const int m = panels_.MainPanel;
  const int table = ctl::Main::StatusTable;
  // The status words are unsigned on the board: a counter past 2^31 is shown as it is sent.
  rt_.SetTableCellRangeVals(m, table, 1, 2, kStatusShown, 1,
                            reinterpret_cast<const uint32_t *>(StatusList));
  rt_.SetTableCellVal(m, table, kStErra + 1, 3, Erra_rate);
  rt_.SetTableCellVal(m, table, kStErrb + 1, 3, Errb_rate);
  rt_.SetTableCellVal(m, table, kStLosta + 1, 3, Losta_rate);
  rt_.SetTableCellVal(m, table, kStLostb + 1, 3, Lostb_rate);
}

void Acquisition::plotDataGraphs(bool hardware) {
  const int m = panels_.MainPanel;
  const int g1 = ctl::Main::DataGraph1, g2 = ctl::Main::DataGraph2;
  rt_.DeleteGraphPlot(m, g1, -1);
  rt_.DeleteGraphPlot(m, g2, -1);
  // Each plot is named by what it shows: a channel, or the words of the block as they came.
  auto plot = [&](const uint16_t *adc, const uint16_t *cfc, size_t n, const char *legend) {
    HandlePlotAdc = rt_.PlotY(m, g1, adc, n, kAdcColour);
    HandlePlotCfc = rt_.PlotY(m, g2, cfc, n, kCfcColour);
    rt_.SetPlotLegend(m, g1, HandlePlotAdc, legend);
    rt_.SetPlotLegend(m, g2, HandlePlotCfc, legend);
  };
  if (!hardware) {
    plot(ADC[0], CFC[0], kHistory, "CH1 (pseudo-random, no module)");
    return;
  }
  switch (mode_) {
    case blk::RAWDATA: {
      const size_t n = delivered_ / 2;
      for (size_t k = 0; k < n; ++k)
        words_[k] = static_cast<uint16_t>(buffer_[2 * k] | (buffer_[2 * k + 1] << 8));
      plot(words_, words_, n, "raw words");
      break;
    }
    case blk::FRAMES:
      plot(ADC[focus()], CFC[focus()], kHistory, kChannelLegend[focus()]);
      break;
    case blk::SINGLE_VALUE: {
      const int n = std::clamp(rt_.GetCtrlValI(m, ctl::Main::SinglePoints), 0, kSingleSamples);
      if (n > 0) plot(single_.adc, single_.cfc, static_cast<size_t>(n), "single value samples");
      break;
    }
    default:
      break;
  }
}

}  // namespace acq
