#include "history/outbox.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

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

bool processAlive(long long pid) {
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The outboxes of this process that note runs, while they live.
std::mutex writersMutex;
std::set<long long> &writers() {
  static std::set<long long> live;
  return live;
}
std::atomic<long long> nextWriter{1};

bool writerAlive(long long pid, long long writer) {
  if (pid != ::getpid()) return processAlive(pid);
  std::lock_guard<std::mutex> lock(writersMutex);
  return writers().count(writer) != 0;
}

}  // namespace

Outbox::Outbox(const std::string &storeLocation)
    : folder_((fs::path(defaultStorePath()).parent_path() / "outbox" /
               hashName(storeLocation.empty() ? configuredStoreLocation() : storeLocation))
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
  // Written aside and renamed: a reader never sees half an entry.
  const std::string file = entryFile(record), scratch = file + ".new";
  {
    std::ofstream out(scratch, std::ios::trunc);
    out << ::getpid() << " " << writer_ << "\n" << record << "\n";
    if (!out) return;
  }
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
    std::ifstream in(e.file);
    if (!(in >> e.pid >> e.writer) || !std::getline(in >> std::ws, e.record) || e.record.empty())
      continue;
    if (settledOnly && writerAlive(e.pid, e.writer)) continue;
    out.push_back(e);
  }
  return out;
}

Outbox::SyncResult Outbox::sync(Store &store) {
  SyncResult result;
  for (const Entry &e : entries(true)) {
    std::error_code ec;
    if (!fs::exists(e.record, ec)) {
      result.summary.problems.push_back(e.record +
                                        ": the record is gone; the run stays as the "
                                        "store holds it");
      fs::remove(e.file, ec);
      continue;
    }
    if (store.importRecord(e.record, result.summary)) {
      fs::remove(e.file, ec);
      ++result.records;
    }
  }
  return result;
}

}  // namespace history
