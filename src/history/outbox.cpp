#include "history/outbox.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "functest/report.h"
#include "rt/format.h"

namespace history {

namespace fs = std::filesystem;

namespace {

// FNV-1a: a short, stable name for a location (a server URI's password never shows in it).
std::string hashName(const std::string &text) {
  unsigned long long h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return rt::format("%016llx", h);
}

// When the process started, in clock ticks since boot (field 22 of /proc/PID/stat); 0 when it
// is not known. A process id reused by another program has another start.
long long processStart(long long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return 0;
  // The command name (field 2) is in parentheses and may hold blanks: count after its end.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int k = 3; k <= 22 && fields >> field; ++k)
    if (k == 22) return std::atoll(field.c_str());
  return 0;
}

// Whether the process that noted an entry still runs: its id is there and, when the entry
// says when it started, with that start.
bool processAlive(long long pid, long long start) {
  if (pid <= 0 || !(::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) return false;
  return start == 0 || processStart(pid) == start;
}

// The outboxes of this process that note runs, while they live.
std::mutex writersMutex;
std::set<long long> &writers() {
  static std::set<long long> live;
  return live;
}
std::atomic<long long> nextWriter{1};

bool writerAlive(long long pid, long long writer, long long start) {
  if (pid != ::getpid() || (start != 0 && start != processStart(pid)))
    return processAlive(pid, start);
  std::lock_guard<std::mutex> lock(writersMutex);
  return writers().count(writer) != 0;
}

}  // namespace

Outbox::Outbox(const std::string &storeLocation)
    : folder_((fs::path(defaultStorePath()).parent_path() / "outbox" /
               hashName(StoreIdentity(storeLocation.empty() ? configuredStoreLocation()
                                                            : storeLocation)))
                  .string()),
      writer_(nextWriter++) {}

Outbox::~Outbox() { release(); }

void Outbox::release() {
  std::lock_guard<std::mutex> lock(writersMutex);
  writers().erase(writer_);
}

std::string Outbox::entryFile(const std::string &record) const {
  return (fs::path(folder_) / (hashName(record) + ".run")).string();
}

void Outbox::add(const std::string &report) {
  if (report.empty()) return;
  std::error_code ec;
  const std::string record = fs::absolute(functest::RecordPathFor(report), ec).string();
  fs::create_directories(folder_, ec);
  {
    std::lock_guard<std::mutex> lock(writersMutex);
    writers().insert(writer_);
  }
  // Written aside, flushed to the disk and renamed: a reader never sees half an entry, and a
  // machine that stops (power cut) keeps it whole or without it, never empty.
  const std::string file = entryFile(record), scratch = file + ".new";
  {
    std::ofstream out(scratch, std::ios::trunc);
    out << ::getpid() << " " << writer_ << " " << processStart(::getpid()) << "\n"
        << record << "\n";
    if (!out) return;
  }
  (void)functest::SyncFile(scratch);
  fs::rename(scratch, file, ec);
}

void Outbox::remove(const std::string &report) {
  if (report.empty()) return;
  std::error_code ec;
  fs::remove(entryFile(fs::absolute(functest::RecordPathFor(report), ec).string()), ec);
}

std::vector<Outbox::Entry> Outbox::entries(bool settledOnly) const {
  std::vector<Entry> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (it->path().extension() != ".run") continue;
    Entry e;
    e.file = it->path().string();
    // "PID WRITER [START]" (entries of earlier versions have no start), then the record.
    std::ifstream in(e.file);
    std::string owner;
    if (!std::getline(in, owner) || !std::getline(in, e.record) || e.record.empty()) continue;
    std::istringstream words(owner);
    if (!(words >> e.pid >> e.writer)) continue;
    if (!(words >> e.start)) e.start = 0;
    if (settledOnly && writerAlive(e.pid, e.writer, e.start)) continue;
    out.push_back(e);
  }
  return out;
}

Outbox::SyncResult Outbox::sync(Store &store, const std::function<bool()> &stop) {
  SyncResult result;
  for (const Entry &e : entries(true)) {
    if (stop && stop()) break;
    std::error_code ec;
    if (!fs::exists(e.record, ec)) {
      result.summary.problems.push_back(e.record +
                                        ": the record is gone; the run stays as the "
                                        "store holds it");
      fs::remove(e.file, ec);
      continue;
    }
    // A record the store could not take whole (a line left out) keeps its entry: the run is not
    // what was tested until someone has looked at it.
    const size_t problems = result.summary.problems.size();
    if (store.importRecord(e.record, result.summary) &&
        result.summary.problems.size() == problems) {
      fs::remove(e.file, ec);
      ++result.records;
    }
  }
  return result;
}

}  // namespace history
