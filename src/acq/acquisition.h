// Block reading, decoding, analysis and displays, continuous acquisition.
//
// Acquisition owns the shared acquisition state (AcqState: ADC, CFC, CardNumber, Erra, ...,
// under the names every test step reads) and the one read cycle, ReadShowFrame, through which
// the program takes data from the board. The decoders (decode.h) and the statistics
// (analysis.h) are pure; this class does the port I/O, the panel reads and the displays.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "acq/acq_state.h"
#include "acq/analysis.h"
#include "acq/block_source.h"
#include "acq/capture.h"
#include "acq/decode.h"
#include "ctl/panels.h"
#include "hw/block_format.h"
#include "hw/fpga_config.h"
#include "hw/quickusb.h"
#include "rt/runtime.h"

namespace acq {

// Results of ReadShowFrame.
inline constexpr int kReadOk = 0;
inline constexpr int kReadFailed = -1;
inline constexpr int kModuleLost = -10;

class Acquisition : public AcqState {
 public:
  Acquisition(rt::Runtime &rt, const ctl::Panels &panels, hw::QuickUsb &usb,
              hw::FpgaConfig &config);
  ~Acquisition();
  Acquisition(const Acquisition &) = delete;
  Acquisition &operator=(const Acquisition &) = delete;

  // Reads one block in the mode of Main.ReadOutMode, decodes it into the shared state, derives
  // the statistics, refreshes the displays and records it when recording is on. 0 done; -1 the
  // read failed, or a FRAMES block was short or held no frame; -10 the module is lost.
  int ReadShowFrame();
  // Whether the module this program drives is lost: asks the library when it is not known to
  // be, and remembers a loss (the acquisition state keeps its last figures).
  bool moduleLost();
  // Starts or stops the continuous acquisition (Main.AcqTimer).
  int ContinuousReadStartStop();

  // Closes the record file if one is open and switches recording off (the test panel's
  // read-out switch does so before it starts or stops the FRAMES read-out).
  void EndRecording();

  // Callbacks.
  int ReadFrame(int panel, int control, int event);             // tick of Main.AcqTimer
  int ContiReads(int panel, int control, int event);            // start/stop button
  int ReadData__(int panel, int control, int event);            // single-read button
  int TimerRefresh(int panel, int control, int event);          // tick of TabBData.RefreshTimer
  int KeyCallback(int panel, int control, int event, int key);  // main panel keys
  int UpdatePanelSumMax(int panel, int control, int event);     // sums display switches
  int SaveToFile(int panel, int control, int event);            // choose the record file
  int EndFile(int panel, int control, int event);               // end of the record
  int SaveToFileFast(int panel, int control, int event);        // choose the capture base path
  int ReadRawAndStore(int panel, int control, int event);       // raw capture
  int OpenAndCheck(int panel, int control, int event);          // replay: open, first block
  int NextPartInFile(int panel, int control, int event);        // replay: next block

  // Where ReadShowFrame takes its blocks from: `source` instead of the module or the generator
  // (a replay file, a test's source); null goes back to them.
  void setBlockSource(BlockSource *source) { source_ = source; }

  // ---- display switches
  int ViewRaw = 0;    // raw-data panel open: show the raw words
  int ViewFrame = 0;  // frame panel open: show the frame text
  int ShowGraph = 1;  // draw the two data graphs
  int ShowNormPlots = 1;
  int PlotCH[kChannels] = {1, 1, 1, 1, 1, 1, 1, 1};
  int HandlePlotAdc = 0, HandlePlotCfc = 0;
  int SumPlotHandle[kChannels] = {};
  int SizeOfFrameShort = blk::kDefaultFrameWords;
  uint16_t SizeOfFrameByte = 2 * blk::kDefaultFrameWords;

  // ---- continuous acquisition
  double StartTime = 0;
  double NewTime = 0;  // seconds since StartTime, taken before each timer-driven read
  int WaitUSB = 0;     // a tick's read is in progress
  int TimeCount = 0;   // ticks left before the read period is shown again
  double AcqIntervalSeconds = 0.02;
  int ReadErrorCount = 0;  // dropped ticks and failed reads; never reset
  double LastTickTime = 0, PeriodStartTime = 0;

  // ---- record file
  std::string FileName;             // path of the chosen record file
  int WriteIntoFile = 0;            // recording on: lines are written while a file is open
  std::FILE *FileHandle = nullptr;  // the open record file; null = none
  // Opens `path` for appending as the record file (closing one still open). A file that cannot
  // be opened is reported in Main.InfoBox and recording stops; false then.
  bool openRecordFile(const std::string &path);
  // Wall-clock seconds for the date line of the record header.
  std::function<long long()> wallClock;

  // ---- raw capture and replay
  std::string FileNameForFast;               // base path of the capture part files
  int64_t OffsetInTheFileHighSpeed = 0;      // word offset of the next replay block; 0 = closed
  std::string conversionPath;                // text conversion of a capture's first words
  CaptureMonitor *captureMonitor = nullptr;  // the desktop program's progress dialog
  CaptureResult lastCapture;                 // what the last capture did
  bool replayOpen() const { return replay_.isOpen(); }

  // ---- the block of the last call
  const uint8_t *readBuffer() const { return buffer_; }
  uint32_t delivered() const { return delivered_; }
  int readMode() const { return mode_; }
  // The three arrays of the last SINGLE_VALUE block (zeros, CFC counts, ADC values).
  const SingleValueBlock &singleValues() const { return single_; }

  // Called by TimerRefresh after the read: the barcode focus routine of the test panel.
  std::function<void()> refreshIdentification;

 private:
  // Consecutive failed module reads that mean the module is lost.
  static constexpr int kLostAfterFailedReads = 25;

  // Read cycle.
  int processFrames(double now);
  void loseModule();
  int failedModuleReads_ = 0;
  void processSums(double now);
  int focus() const;

  // Displays (display.cpp).
  void showRawView();
  void showDacTable();
  void showFrameText();
  void showStatusLightsFrames();
  void showStatusLightsSums();
  void showFrameStatistics(const FrameStats &stats);
  void plotSums(int sum);
  void showStatusTable();
  void plotDataGraphs(bool hardware);

  // The block source of the next read: an injected one, else the module or the generator.
  BlockSource &blockSource();

  // Record file steps (record.cpp).
  void openRecord();
  void recordLine();
  void closeRecord();
  void closeRecordAtStop();
  void endRecording();
  void writeRecord(const std::string &text);
  void recordFailed(const char *what, const std::string &path, int error);
  void appendSingleValueTable();

  // Raw capture and replay (capture.cpp, replay.cpp).
  void convertAndPlotCapture(std::string &messages);
  void showNextReplayBlock();

  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  hw::QuickUsb &usb_;
  hw::FpgaConfig &config_;

  // The read buffer: 1000 words. Bytes beyond the delivered count are zero.
  alignas(8) uint8_t buffer_[blk::kReadBufferBytes] = {};
  uint32_t delivered_ = 0;
  int mode_ = 0;
  SingleValueBlock single_;
  uint16_t words_[blk::kReadBufferBytes / 2] = {};  // the raw words, for the RAWDATA graphs
  std::string line_;                                // formatting buffer of the text views
  std::string record_;                              // formatting buffer of the record lines

  ModuleSource module_;
  GeneratorSource generator_;
  BlockSource *source_ = nullptr;
  FileSource replay_;          // FileHandleHighSpeed: the file being replayed
  std::vector<uint8_t> bulk_;  // capture and replay buffer, allocated on first use
  std::vector<uint16_t> replayWords_;
};

}  // namespace acq
