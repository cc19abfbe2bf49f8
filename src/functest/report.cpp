#include "functest/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "ctl/test_panel.h"
#include "functest/verdict.h"
#include "rt/format.h"

namespace functest {

std::string AppendToFile(const std::string &path, const std::string &text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return std::strerror(errno);
  struct stat before {};
  const bool regular = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
  size_t done = 0;
  std::string reason;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      reason = std::strerror(errno);
      break;
    }
    done += static_cast<size_t>(n);
  }
  // A line written in part (a full disk) is taken back: the file keeps its last whole line.
  if (!reason.empty() && done > 0 && regular) (void)::ftruncate(fd, before.st_size);
  if (::close(fd) != 0 && reason.empty()) reason = std::strerror(errno);
  return reason;
}

int (*FlushToDisk)(int fd) = ::fsync;

std::string SyncFile(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  std::string reason;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && FlushToDisk(fd) != 0)
    reason = std::strerror(errno);
  ::close(fd);
  return reason;
}

std::string DataHome() {
  namespace fs = std::filesystem;
  const char *xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return (fs::path(xdg) / "tessock").string();
  const char *home = std::getenv("HOME");
  return (fs::path(home && home[0] ? home : ".") / ".local" / "share" / "tessock").string();
}

std::string DefaultReportFolder() {
  return (std::filesystem::path(DataHome()) / "reports").string();
}

std::string ReportPrefixPath(const std::string &prefix) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (prefix.find('/') == std::string::npos) {
    const std::string folder = DefaultReportFolder();
    // A folder that cannot be made is named by the report's own failure to be created.
    fs::create_directories(folder, ec);
    return (fs::path(folder) / prefix).string();
  }
  const fs::path whole = fs::absolute(prefix, ec);
  return ec ? prefix : whole.lexically_normal().string();
}

std::string ClaimReportName(const std::string &prefix, int card, std::string &name) {
  for (int n = 0; n >= 0 && n < INT32_MAX; ++n) {
    name = prefix + rt::format("_DN_%d_%d.txt", card, n);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::strerror(errno);
    }
    ::close(fd);
    // The record follows its report: a record left under that name (its report deleted) is
    // another run's, so the number is passed over.
    const std::string record = RecordPathFor(name);
    const int rfd =
        ::open(record.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0644);
    if (rfd >= 0) {
      ::close(rfd);
      return {};
    }
    const int err = errno;
    ::unlink(name.c_str());
    if (err != EEXIST) return std::strerror(err);
  }
  return "no free report number";
}

namespace {

// ISO 8601 local time with its zone offset, e.g. 2026-12-07T09:15:02+01:00.
std::string isoTime(long long unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm tm {};
  localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &tm);
  std::string s = buf;
  if (s.size() >= 5) s.insert(s.size() - 2, ":");  // +0100 -> +01:00
  return s;
}

nlohmann::json number(double v) {
  if (std::isfinite(v)) return v;
  return nullptr;  // JSON has no infinity or NaN
}

}  // namespace

std::string RecordPathFor(const std::string &reportFileName) {
  const std::string ext = ".txt";
  if (reportFileName.size() >= ext.size() &&
      reportFileName.compare(reportFileName.size() - ext.size(), ext.size(), ext) == 0)
    return reportFileName.substr(0, reportFileName.size() - ext.size()) + ".jsonl";
  return reportFileName + ".jsonl";
}

std::string FailCopyName(const std::string &reportFileName, float errorCounts) {
  const size_t keep = reportFileName.size() >= 4 ? reportFileName.size() - 4 : 0;
  return reportFileName.substr(0, keep) +
         rt::format("_FAIL_with_%d_", static_cast<int>(errorCounts)) + ".fai";
}

std::string ProgramVersion() { return std::string("tessock ") + TESSOCK_VERSION; }

bool Report::Begin(const std::string &fileName, std::string &reason) {
  ReportFileName = fileName;
  recordPath_ = RecordPathFor(fileName);
  reportFailureShown_ = recordFailureShown_ = sinkFailureShown_ = false;
  lost_.clear();
  stepState_ = -1;
  stepTitle_.clear();
  reason = AppendToFile(ReportFileName, "");
  if (!reason.empty()) return false;
  // The record is a companion: when it cannot be written the report still is.
  const std::string recordReason = AppendToFile(recordPath_, "");
  if (!recordReason.empty()) lostLine("Test record not written", recordPath_ + ": " + recordReason);
  recordFailureShown_ = !recordReason.empty();
  return true;
}

void Report::notice(const std::string &what, const std::string &detail) {
  rt_.InsertTextBoxLine(panels_.TestCFCPanel, ctl::Test::LogBox, -1, what + ": " + detail);
}

void Report::lostLine(const std::string &what, const std::string &detail) {
  if (lost_.empty()) lost_ = what + ": " + detail;
  notice(what, detail);
}

void Report::sinkProblem(const std::string &reason) {
  if (reason.empty() || sinkFailureShown_) return;
  sinkFailureShown_ = true;
  notice("Results store not written", reason);
}

void Report::appendLine(const std::string &line) {
  buffer_.assign(line);
  buffer_ += '\n';
  const std::string reason = AppendToFile(ReportFileName, buffer_);
  // A failed write is said once in the log box; the run goes on and the box keeps the lines,
  // but the run cannot pass any more.
  if (!reason.empty() && !reportFailureShown_) {
    reportFailureShown_ = true;
    lostLine("Report not written", ReportFileName + ": " + reason);
  }
}

void Report::appendRecord(const std::string &json) {
  if (recordPath_.empty()) return;
  const std::string reason = AppendToFile(recordPath_, json + '\n');
  if (!reason.empty() && !recordFailureShown_) {
    recordFailureShown_ = true;
    lostLine("Test record not written", recordPath_ + ": " + reason);
  }
}

int Report::WriteToLog(const std::string &line) {
  rt_.InsertTextBoxLine(panels_.TestCFCPanel, ctl::Test::LogBox, -1, line);
  appendLine(line);
  return 0;
}

int Report::WriteToLogC(const std::string &text, int passed, int weight) {
  return writeResult(text, passed, weight, nullptr);
}

int Report::WriteToLogC(const std::string &text, int passed, int weight, const Measurement &m) {
  return writeResult(text, passed, weight, &m);
}

int Report::writeResult(const std::string &text, int passed, int weight, const Measurement *m) {
  if (!passed) ErrorCounts += static_cast<float>(weight);
  WriteToLog((passed ? "PASSED : " : "***FAILED : ") + text);
  nlohmann::json r = {{"type", "result"},      {"state", stepState_},   {"step", stepTitle_},
                      {"check", text},         {"passed", passed != 0}, {"weight", weight},
                      {"clock", number(clock)}};
  if (m) {
    r["value"] = number(m->value);
    r["unit"] = m->unit;
    if (m->low) r["low"] = number(*m->low);
    if (m->high) r["high"] = number(*m->high);
    if (!m->basis.empty()) r["basis"] = m->basis;
    if (m->shown)
      r["shown"] = {
          {"name", m->shown->name}, {"value", number(m->shown->value)}, {"unit", m->shown->unit}};
  }
  appendRecord(r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (sink_)
    sinkProblem(sink_->resultWritten(
        ResultEvent{stepState_, stepTitle_, text, passed != 0, weight, clock, m}));
  return 0;
}

int Report::WriteMessage(const std::string &title) {
  rt_.SetCtrlVal(panels_.TestCFCPanel, ctl::Test::StepTitle, title);
  return 0;
}

void Report::WriteHeader(const RunInfo &info) {
  WriteToLog(ReportFileName);
  WriteToLog("");
  WriteToLog("FUNCTIONAL TEST OF THE TUNNEL ACQUISITION BOARD FOR THE KVR ");
  WriteToLog(" ");
  // ctime's text ends in its own line break, so an empty line follows it in the file.
  WriteToLog(rt::ctimeText(info.wallTime));
  WriteToLog(kDashes61);
  WriteToLog(" ");
  WriteToLog(rt::format("Device number send through the fiber : %d", info.cardNumber));
  WriteToLog(" ");
  WriteToLog(rt::format("PCB version : NVB-31207-V%d", info.pcbVersion));
  WriteToLog(" ");
  WriteToLog("Comments :");
  for (const std::string &line : info.comments) WriteToLog(line);
  WriteToLog(" ");
  WriteToLog(kDashes61);
}

void Report::RecordRun(const RunInfo &info) {
  nlohmann::json r = {{"type", "run"},
                      {"variant", info.variant},
                      {"start", isoTime(info.wallTime)},
                      {"cardNumber", info.cardNumber},
                      {"barcodes",
                       {{"device1", info.deviceBarcode1},
                        {"device2", info.deviceBarcode2},
                        {"board", info.boardBarcode},
                        {"otr1", info.otr1Barcode},
                        {"otr2", info.otr2Barcode}}},
                      {"pcbVersion", info.pcbVersion},
                      {"comments", info.comments},
                      {"report", ReportFileName},
                      {"module", info.module},
                      {"program", ProgramVersion()}};
  if (!station_.empty()) r["station"] = station_;
  // The steps switched on: a run that left steps out is not taken for a whole one.
  if (info.stepsOn) r["steps"] = *info.stepsOn;
  appendRecord(r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (sink_)
    sinkProblem(sink_->runBegun(
        RunEvent{info, isoTime(info.wallTime), ReportFileName, ProgramVersion(), station_}));
}

void Report::RecordStep(int state, const std::string &title, double clockNow) {
  setStep(state, title);
  nlohmann::json r = {
      {"type", "step"}, {"state", state}, {"title", title}, {"clock", number(clockNow)}};
  appendRecord(r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (sink_) sinkProblem(sink_->stepBegun(state, title, clockNow));
}

void Report::RecordAction(const std::string &by, const std::string &action, double clockNow) {
  const nlohmann::json r = {
      {"type", "action"}, {"by", by}, {"action", action}, {"clock", number(clockNow)}};
  appendRecord(r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string Report::Verdict(bool stopped) const {
  return VerdictOfRun(
             {.ended = true, .stopped = stopped, .errorCounts = ErrorCounts, .lost = lost_})
      .verdict;
}

void Report::RecordEnd(bool stopped, const std::string &failCopy, double clockNow) {
  // The report is on the disk before the run is said to be over (the record after its end).
  if (lost_.empty() && !ReportFileName.empty())
    if (const std::string why = SyncFile(ReportFileName); !why.empty())
      lostLine("Report not written", ReportFileName + ": " + why);
  const std::string verdict = Verdict(stopped);
  nlohmann::json r = {{"type", "end"},
                      {"errorCounts", number(ErrorCounts)},
                      {"verdict", verdict},
                      {"failCopy", failCopy.empty() ? nlohmann::json() : nlohmann::json(failCopy)},
                      {"how", stopped ? "stopped" : "ended"},
                      {"clock", number(clockNow)}};
  if (!lost_.empty() || !endReason.empty())
    r["reason"] = lost_.empty() ? endReason : endReason.empty() ? lost_ : lost_ + "; " + endReason;
  appendRecord(r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (!recordPath_.empty() && !recordFailureShown_) {
    if (const std::string why = SyncFile(recordPath_); !why.empty()) {
      recordFailureShown_ = true;
      lostLine("Test record not written", recordPath_ + ": " + why);
    }
  }
  std::string unstored;
  if (sink_) {
    sinkProblem(sink_->runEnded(
        EndEvent{ErrorCounts, stopped, failCopy, clockNow, Verdict(stopped), lost_}));
    unstored = sink_->unsettled();
    // A run faster than the sink's first attempt hears of its problem only now.
    sinkProblem(sink_->unsaidProblem());
  }
  // What the run could not keep is said at its end, in the log box and in a pop-up.
  std::string message;
  if (!lost_.empty())
    message = "The run is INCOMPLETE: " + lost_ + ". Its report and record lack lines.";
  if (!unstored.empty() && sink_->unsettledRefused())
    message += (message.empty() ? "" : "\n") + std::string("Not stored: ") + unstored +
               ". The store refuses them until its administrator mends it; then "
               "tessock-cli --sync stores the record " +
               recordPath_ + " (or --import its folder).";
  else if (!unstored.empty())
    message += (message.empty() ? "" : "\n") + std::string("Not stored yet: ") + unstored +
               ". They are stored when the store is free; should the program end first, "
               "tessock-cli --sync stores the record " +
               recordPath_ + " (or --import its folder).";
  if (!lost_.empty()) lostAtEnd_ = true;
  if (!message.empty()) {
    rt_.InsertTextBoxLine(panels_.TestCFCPanel, ctl::Test::LogBox, -1, message);
    rt_.MessagePopup("Test results not all kept", message);
  }
}

}  // namespace functest
