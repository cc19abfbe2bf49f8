// Raw capture: a loop inside one button callback that takes the FPGA's stream at the rate the
// module delivers it, with nothing per block but the gate check, the bulk read and the file
// write. Decoding and display are left to the replay.
#include "acq/capture.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "acq/acquisition.h"
#include "acq/block_source.h"
#include "ctl/main_panel.h"
#include "rt/format.h"

namespace acq {

namespace {

namespace fs = std::filesystem;

constexpr const char *kCaptureTitle = "Raw capture";
constexpr uint32_t kAdcColour = 0xFF0000;
constexpr uint32_t kCfcColour = 0x00FF00;
constexpr size_t kPartBufferBytes = size_t(1) << 20;  // stdio buffer of a part file

std::string reason(const std::string &name, int error) {
  return name + ": " + std::strerror(error);
}

// The part file being written, with a large stdio buffer: a part takes a write call per
// megabyte, not per block.
class PartFile {
 public:
  PartFile() : buffer_(kPartBufferBytes) {}
  ~PartFile() {
    std::string ignored;
    close(ignored);
  }
  PartFile(const PartFile &) = delete;
  PartFile &operator=(const PartFile &) = delete;

  bool open(const std::string &name, std::string &problem) {
    name_ = name;
    file_ = std::fopen(name.c_str(), "ab");
    if (!file_) {
      problem = reason(name, errno);
      return false;
    }
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
    return true;
  }
  bool write(const uint8_t *data, size_t n, std::string &problem) {
    if (std::fwrite(data, 1, n, file_) == n) return true;
    problem = reason(name_, errno);
    return false;
  }
  // Flushes and closes; false when what was buffered could not be written.
  bool close(std::string &problem) {
    if (!file_) return true;
    const bool ok = std::fclose(file_) == 0;
    if (!ok) problem = reason(name_, errno);
    file_ = nullptr;
    return ok;
  }

 private:
  std::vector<char> buffer_;
  std::string name_;
  std::FILE *file_ = nullptr;
};

}  // namespace

std::string capturePartName(const std::string &base, int part) {
  std::string name = base;
  rt::appendFormat(name, "_%d.dat", part);
  return name;
}

CaptureResult captureParts(BlockSource &source, rt::Clock &clock, double seconds,
                           const std::string &base, std::vector<uint8_t> &buffer,
                           CaptureMonitor *monitor) {
  CaptureResult r;
  if (buffer.size() < kCaptureRequest) buffer.resize(kCaptureBufferBytes);
  const double start = clock.now();
  int part = 1;
  PartFile file;
  if (!file.open(capturePartName(base, part), r.problem)) {
    r.end = CaptureEnd::FileFailed;
    return r;
  }
  r.parts = part;
  double nextReport = 0;
  for (;;) {
    const double passStart = clock.now();
    const double elapsed = passStart - start;
    if (!(elapsed < seconds)) break;
    if (monitor && elapsed >= nextReport) {
      nextReport = elapsed + kProgressSeconds;
      if (!monitor->progress(CaptureProgress{elapsed, seconds, r.bytes, part})) {
        r.end = CaptureEnd::Stopped;
        break;
      }
    }
    if (source.gateHeld()) {
      ++r.gated;
    } else {
      // Every read asks for the full request: one short read does not shrink the rest.
      uint32_t got = 0;
      if (!source.read(buffer.data(), kCaptureRequest, got)) {
        r.end = CaptureEnd::ReadFailed;
        break;
      }
      ++r.reads;
      if (elapsed > kPartSeconds * part) {
        if (!file.close(r.problem) || !file.open(capturePartName(base, ++part), r.problem)) {
          r.end = CaptureEnd::FileFailed;
          break;
        }
        r.parts = part;
      }
      if (!file.write(buffer.data(), got, r.problem)) {
        r.end = CaptureEnd::FileFailed;
        break;
      }
      r.bytes += got;
    }
    // On a virtual clock only the module's calls move time on: a pass that took none would
    // repeat for ever.
    if (clock.isVirtual() && clock.now() == passStart) {
      r.end = CaptureEnd::ClockStuck;
      break;
    }
  }
  r.elapsed = clock.now() - start;
  std::string problem;
  if (!file.close(problem) && r.end != CaptureEnd::FileFailed) {
    r.end = CaptureEnd::FileFailed;
    r.problem = problem;
  }
  return r;
}

bool writeConversion(const std::string &path, const uint16_t *words, size_t n, std::string &error) {
  std::error_code ec;
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  std::FILE *f = std::fopen(path.c_str(), "w");
  if (!f) {
    error = reason(path, errno);
    return false;
  }
  std::string text;
  text.reserve(n * 11);
  for (size_t k = 0; k < n; ++k) rt::appendFormat(text, "%10u\n", unsigned(words[k]));
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int problem = errno;
  if (std::fclose(f) != 0 || !written) {
    error = reason(path, written ? errno : problem);
    return false;
  }
  return true;
}

std::string defaultConversionPath() {
  std::error_code ec;
  fs::path tmp = fs::temp_directory_path(ec);
  if (ec || tmp.empty()) tmp = "/tmp";
  return (tmp / "TempMeasures" / "tempIO.txt").string();
}

// ---------------------------------------------------------------- buttons

int Acquisition::SaveToFileFast(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  const auto request = rt::FileRequest::anyFile("*.dat", "Save As..", true);
  std::string path;
  if (rt_.FileSelectPopup(request, path) == rt::FileSelect::Cancelled) return 0;
  FileNameForFast = path;
  rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::FastFileName, FileNameForFast);
  return 0;
}

int Acquisition::ReadRawAndStore(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  // Without a base path the parts would land, unnamed, in whatever folder the program runs in.
  if (FileNameForFast.find_first_not_of(' ') == std::string::npos) {
    rt_.MessagePopup(kCaptureTitle, "Choose the capture file first: nothing was captured.");
    return 0;
  }
  const double seconds = rt_.GetCtrlValD(panels_.MainPanel, ctl::Main::RawCaptureSeconds);
  bulk_.resize(std::max(bulk_.size(), kCaptureBufferBytes));
  // The capture reads the module (or an injected source), never the generator: pseudo-random
  // words cost no time and would fill the disk as fast as it takes them.
  BlockSource &source = source_ ? *source_ : module_;
  if (captureMonitor) captureMonitor->begin(seconds);
  lastCapture = captureParts(source, rt_.clock(), seconds, FileNameForFast, bulk_, captureMonitor);
  if (captureMonitor) captureMonitor->end();

  std::string messages;
  if (lastCapture.end == CaptureEnd::FileFailed)
    messages += "The capture ended early: " + lastCapture.problem + ".\n";
  else if (lastCapture.end == CaptureEnd::ClockStuck)
    messages += "The capture ended early: the module takes no time in virtual time.\n";
  if (lastCapture.bytes == 0) {
    const CaptureResult &r = lastCapture;
    const char *why = r.end == CaptureEnd::ReadFailed ? "the module read failed"
                      : r.end == CaptureEnd::Stopped  ? "stopped"
                      : r.reads == 0 && r.gated > 0   ? "the read gate, port E bit 3, was held"
                      : r.reads == 0                  ? "no time to read"
                                                      : "the module delivered no bytes";
    messages += rt::format("Nothing was captured in %g s: %s.\n", r.elapsed, why);
  }
  convertAndPlotCapture(messages);
  if (!messages.empty()) {
    messages.pop_back();
    rt_.MessagePopup(kCaptureTitle, messages);
  }
  return 0;
}

// The first words of part 1: converted to text and plotted in both data graphs. Only the words
// part 1 holds are taken, never what an earlier read left in the buffer.
void Acquisition::convertAndPlotCapture(std::string &messages) {
  FileSource part1;
  std::string error;
  uint32_t got = 0;
  const std::string first = capturePartName(FileNameForFast, 1);
  if (!part1.open(first, error))
    messages += "Part 1 cannot be read: " + first + ": " + error + ".\n";
  else if (!part1.read(bulk_.data(), kCaptureBufferBytes, got))
    messages += "Part 1 cannot be read: " + first + ": read error.\n";
  part1.close();
  const size_t words = std::min<size_t>(got / 2, kConversionWords);
  replayWords_.resize(std::max(replayWords_.size(), kConversionWords));
  for (size_t k = 0; k < words; ++k)
    replayWords_[k] = static_cast<uint16_t>(bulk_[2 * k] | (bulk_[2 * k + 1] << 8));
  if (!writeConversion(conversionPath, replayWords_.data(), words, error))
    messages += "The text conversion was not written: " + error + ".\n";

  const int m = panels_.MainPanel;
  rt_.DeleteGraphPlot(m, ctl::Main::DataGraph1, -1);
  rt_.DeleteGraphPlot(m, ctl::Main::DataGraph2, -1);
  const size_t shown = std::min(words, kCapturePlotWords);
  if (shown == 0) return;
  HandlePlotAdc = rt_.PlotY(m, ctl::Main::DataGraph1, replayWords_.data(), shown, kAdcColour);
  HandlePlotCfc = rt_.PlotY(m, ctl::Main::DataGraph2, replayWords_.data(), shown, kCfcColour);
  rt_.SetPlotLegend(m, ctl::Main::DataGraph1, HandlePlotAdc, "captured words");
  rt_.SetPlotLegend(m, ctl::Main::DataGraph2, HandlePlotCfc, "captured words");
}

}  // namespace acq
