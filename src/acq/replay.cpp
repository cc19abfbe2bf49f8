// Replay of a capture file: blocks of 100000 words, one per button press, on the first data
// graph, until a block comes back short and the file is closed.
#include <algorithm>

#include "acq/acquisition.h"
#include "ctl/main_panel.h"

namespace acq {

namespace {
constexpr uint32_t kReplayBytes = 200000;  // one block: 100000 words
constexpr int64_t kReplayWords = kReplayBytes / 2;
constexpr uint32_t kAdcColour = 0xFF0000;
}  // namespace

int Acquisition::OpenAndCheck(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  if (OffsetInTheFileHighSpeed == 0) {
    const auto request = rt::FileRequest::anyFile("*.dat", "Select file to read", false);
    std::string path;
    if (rt_.FileSelectPopup(request, path) == rt::FileSelect::Cancelled) return 0;
    std::string error;
    if (!replay_.open(path, error)) {
      // The program goes on: the operator chooses another file.
      rt_.MessagePopup("Message", "error opening file " + path + ": " + error);
      return 0;
    }
  }
  showNextReplayBlock();
  return 0;
}

int Acquisition::NextPartInFile(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  if (OffsetInTheFileHighSpeed != 0 && replay_.isOpen()) showNextReplayBlock();
  return 0;
}

// Only the words this read delivered are plotted; a read error counts as a short block.
void Acquisition::showNextReplayBlock() {
  bulk_.resize(std::max<size_t>(bulk_.size(), kReplayBytes));
  uint32_t got = 0;
  if (!replay_.read(bulk_.data(), kReplayBytes, got)) got = 0;
  const int m = panels_.MainPanel;
  rt_.SetCtrlVal(m, ctl::Main::FileOffset, double(OffsetInTheFileHighSpeed));
  OffsetInTheFileHighSpeed += kReplayWords;

  rt_.DeleteGraphPlot(m, ctl::Main::DataGraph1, -1);
  rt_.DeleteGraphPlot(m, ctl::Main::DataGraph2, -1);
  const size_t words = got / 2;
  replayWords_.resize(std::max<size_t>(replayWords_.size(), kReplayWords));
  for (size_t k = 0; k < words; ++k)
    replayWords_[k] = static_cast<uint16_t>(bulk_[2 * k] | (bulk_[2 * k + 1] << 8));
  HandlePlotAdc =
      words ? rt_.PlotY(m, ctl::Main::DataGraph1, replayWords_.data(), words, kAdcColour) : 0;
  if (HandlePlotAdc) rt_.SetPlotLegend(m, ctl::Main::DataGraph1, HandlePlotAdc, "replayed words");
  if (got < kReplayBytes) {
    replay_.close();
    OffsetInTheFileHighSpeed = 0;
    rt_.MessagePopup("Message", "End of the file");
  }
}

}  // namespace acq
