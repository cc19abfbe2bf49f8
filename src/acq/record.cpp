// Acquisition record files: the operator chooses a text file, every start of a continuous run
// appends a header block, every processed block appends the line of its read-out mode, and a
// stop (unless multiple-run saving is on) or the end-of-record button closes it.
#include "acq/record.h"

#include <cerrno>
#include <cstring>

#include "acq/acquisition.h"
#include "ctl/main_panel.h"
#include "hw/block_format.h"
#include "rt/format.h"

namespace acq {

namespace {

constexpr const char *kFramesFormat =
    "%f  %04d %04d %04d %04d %04d %04d %04d %04d %04d %04d %04d %04d %04d %04d %04d %04d "
    "%03d %03d %03d %03d %03d %03d %03d %04d %04d %04d %04d";
// The 39 integers that end a SUMS line: two blanks between them, one after DAC3 (the 18th) and
// after the minimum count of channel 3 on fibre A (the 26th).
constexpr const char *kSumsTailFormat =
    "%d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d %d  %d  %d  %d  %d  "
    "%d  %d  %d %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d  %d";

constexpr const char *kFramesColumns =
    "Time CFC_1 ADC_1 ....CFC_8 ADC_8 DACVAL_1..DACVAL8 STATUS_1 STATUS_2 CARD_NBR";
constexpr const char *kSumsColumns =
    "Time\tCH1_SUM1..CH1_SUM12....CH8_SUM1..CH8_SUM12 CARDNBR DUMP FRAMES ERRA ERRB ERRC ERRD "
    "ERRF ACQ LOSTFA LOSTFB NbrReset ChangInStatusA ChangeInStatusB Dac1...Dac8 "
    "MinValCount40usCH1_A...MinValCount40usCH8_A MinValCount40usCH1_B...MinValCount40usCH8_B";

void appendLine(std::string &out, const char *line) {
  out += line;
  out += '\n';
}

}  // namespace

// ---------------------------------------------------------------- text

void appendRecordHeader(std::string &out, int mode, long long unixSeconds) {
  for (int k = 0; k < 3; ++k) appendLine(out, " ");
  appendLine(out, rt::ctimeText(unixSeconds).c_str());  // ctime's own break: an empty line
  switch (mode) {
    case blk::RAWDATA:
      appendLine(out, "RAWDATA");
      break;
    case blk::FRAMES:
      appendLine(out, "MODE OF OPERATION : FRAMES");
      appendLine(out, " ");
      appendLine(out, kFramesColumns);
      appendLine(out, " ");
      break;
    case blk::SUMS_MAXIMUMS_ANALYSIS:
      appendLine(out, "MODE OF OPERATION : SUMS_MAXIMUMS_ANALYSIS");
      appendLine(out, " ");
      appendLine(out, kSumsColumns);
      appendLine(out, " ");
      break;
    case blk::SINGLE_VALUE:
      appendLine(out, "SINGLE_VALUE");
      break;
    default:
      break;
  }
}

void formatRawLine(std::string &out, double t, const BlockView &block) {
  out.clear();
  rt::appendFormat(out, "%f  ", t);
  for (int k = 0; k < kRawRecordWords; ++k) rt::appendFormat(out, "%d ", int(block.word(k)));
}

void formatFramesLine(std::string &out, double t, const AcqState &st) {
  constexpr int n = kHistory - 1;
  auto c = [&](int ch) { return int(st.CFC[ch][n]); };
  auto a = [&](int ch) { return int(st.ADC[ch][n]); };
  auto d = [&](int ch) { return int(st.DacVal[ch]); };
  out.clear();
  rt::appendFormat(out, kFramesFormat, t, c(0), a(0), c(1), a(1), c(2), a(2), c(3), a(3), c(4),
                   a(4), c(5), a(5), c(6), a(6), c(7), a(7), d(0), d(1), d(2), d(3), d(4), d(5),
                   d(6), d(7), int(st.FrameStatus1), int(st.FrameStatus2), int(st.CardNumber));
}

void formatSumsLine(std::string &out, double t, const AcqState &st) {
  out.clear();
  rt::appendFormat(out, "%f  ", t);
  for (int ch = 0; ch < kChannels; ++ch)
    for (int s = 0; s < kSums; ++s)
      rt::appendFormat(out, "%e  ", double(st.SumsMaximums[ch][s][kSumHistory - 1]));
  const int32_t *v = st.StatusList;
  rt::appendFormat(
      out, kSumsTailFormat, 0, v[kStCard], v[kStDump], v[kStFrames], v[kStErra], v[kStErrb],
      v[kStErrc], v[kStErrd], v[kStErrf], v[kStAcq], v[kStLosta], v[kStLostb], v[kStNbrReset],
      v[kStChangeA], v[kStChangeB], v[kStDac], v[kStDac + 1], v[kStDac + 2], v[kStDac + 3],
      v[kStDac + 4], v[kStDac + 5], v[kStDac + 6], v[kStDac + 7], v[kStMinCountA],
      v[kStMinCountA + 1], v[kStMinCountA + 2], v[kStMinCountA + 3], v[kStMinCountA + 4],
      v[kStMinCountA + 5], v[kStMinCountA + 6], v[kStMinCountA + 7], v[kStMinCountB],
      v[kStMinCountB + 1], v[kStMinCountB + 2], v[kStMinCountB + 3], v[kStMinCountB + 4],
      v[kStMinCountB + 5], v[kStMinCountB + 6], v[kStMinCountB + 7]);
}

void formatSingleValueTable(std::string &out, const SingleValueBlock &block) {
  out.clear();
  for (int k = 0; k < kSingleSamples; ++k)
    rt::appendFormat(out, "%10d%10d%10d\n", int(block.zeros[k]), int(block.cfc[k]),
                     int(block.adc[k]));
}

// ---------------------------------------------------------------- the file

bool Acquisition::openRecordFile(const std::string &path) {
  closeRecord();
  FileHandle = std::fopen(path.c_str(), "a");
  if (!FileHandle) {
    recordFailed("cannot be opened", path, errno);
    return false;
  }
  return true;
}

// At a start with recording on: open FileName for appending (closing a handle still open from
// the previous run) and write the header block of the read-out mode.
void Acquisition::openRecord() {
  if (!openRecordFile(FileName)) return;
  record_.clear();
  const int mode = rt_.GetCtrlValI(panels_.MainPanel, ctl::Main::ReadOutMode);
  appendRecordHeader(record_, mode, wallClock ? wallClock() : 0);
  writeRecord(record_);
}

// After each processed block with recording on: the data line (or table) of the block's mode.
// Without an open file the line is lost, except the SINGLE_VALUE table, which names its file.
void Acquisition::recordLine() {
  // Without an open file there is nothing to format a line for (the single-value table opens
  // its file by name).
  if (!FileHandle && mode_ != blk::SINGLE_VALUE) return;
  switch (mode_) {
    case blk::RAWDATA:
      formatRawLine(record_, NewTime, BlockView{buffer_, sizeof buffer_});
      break;
    case blk::FRAMES:
      formatFramesLine(record_, NewTime, *this);
      break;
    case blk::SUMS_MAXIMUMS_ANALYSIS:
      formatSumsLine(record_, NewTime, *this);
      break;
    case blk::SINGLE_VALUE:
      appendSingleValueTable();
      return;
    default:
      return;
  }
  record_ += '\n';
  writeRecord(record_);
}

// Text is flushed at once: the file is complete for whoever watches it, and a write that fails
// is seen at the line that failed.
void Acquisition::writeRecord(const std::string &text) {
  if (!FileHandle) return;
  if (std::fwrite(text.data(), 1, text.size(), FileHandle) == text.size() &&
      std::fflush(FileHandle) == 0)
    return;
  recordFailed("cannot be written", FileName, errno);
}

void Acquisition::appendSingleValueTable() {
  formatSingleValueTable(record_, single_);
  std::FILE *f = std::fopen(FileName.c_str(), "a");
  if (!f) {
    recordFailed("cannot be opened", FileName, errno);
    return;
  }
  const bool written = std::fwrite(record_.data(), 1, record_.size(), f) == record_.size();
  const int error = errno;
  if (std::fclose(f) != 0 || !written) recordFailed("cannot be written", FileName, error);
}

// Reported once: recording stops, the acquisition goes on.
void Acquisition::recordFailed(const char *what, const std::string &path, int error) {
  rt_.InsertTextBoxLine(
      panels_.MainPanel, ctl::Main::InfoBox, -1,
      "Record file " + path + " " + what + " (" + std::strerror(error) + "): recording stopped");
  endRecording();
}

// Closes FileHandle.
void Acquisition::closeRecord() {
  if (FileHandle) std::fclose(FileHandle);
  FileHandle = nullptr;
}

void Acquisition::endRecording() {
  closeRecord();
  rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::RecordFileName, " ");
  FileName.assign(1, ' ');  // one blank, as shown
  WriteIntoFile = 0;
}

// A stop or a lost module: the record file is closed unless multiple-run saving keeps it open.
void Acquisition::closeRecordAtStop() {
  if (!(WriteIntoFile && FileHandle && !config_.FileSaveMultipleRun)) return;
  endRecording();
}

// ---------------------------------------------------------------- buttons

int Acquisition::SaveToFile(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  const auto request = rt::FileRequest::anyFile("*.txt; *.dat", "Save As..", true);
  std::string path;
  if (rt_.FileSelectPopup(request, path) == rt::FileSelect::Cancelled) {
    // Recording is switched off; a file still open from the run is closed with it.
    endRecording();
    FileName.clear();
    return 0;
  }
  FileName = path;
  WriteIntoFile = 1;
  rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::RecordFileName, FileName);
  return 0;
}

int Acquisition::EndFile(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  endRecording();
  return 0;
}

void Acquisition::EndRecording() {
  if (FileHandle) {
    closeRecord();
    rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::RecordFileName, " ");
    FileName.assign(1, ' ');
  }
  WriteIntoFile = 0;
  FileHandle = 0;
}

}  // namespace acq
