// Record file steps of the read cycle and of the continuous acquisition.
//
// TODO(record files): the record file itself is not written yet. These four hooks are the only
// places the acquisition touches it; they are called only while WriteIntoFile is set, which
// nothing sets until SaveToFile exists.
#include "acq/acquisition.h"
#include "ctl/main_panel.h"

namespace acq {

// At a start with recording on: open FileName for appending (closing a handle still open from
// the previous run) and write the header block of the read-out mode.
void Acquisition::openRecord() {}

// After each processed block with recording on: the data line (or table) of the block's mode.
void Acquisition::recordLine() {}

// Closes FileHandle.
void Acquisition::closeRecord() {}

// A stop or a lost module: the record file is closed unless multiple-run saving keeps it open.
void Acquisition::closeRecordAtStop() {
  if (!(WriteIntoFile && FileHandle && !config_.FileSaveMultipleRun)) return;
  closeRecord();
  rt_.SetCtrlVal(panels_.MainPanel, ctl::Main::RecordFileName, " ");
  FileName.assign(1, ' ');  // one blank, as shown
  WriteIntoFile = 0;
  FileHandle = 0;
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
