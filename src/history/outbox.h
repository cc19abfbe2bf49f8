// Runs that wait for the results store: while a run is being stored, a small file names its
// record in a folder kept per store (beside the default store, under outbox/, named after the
// store's identity: a file's absolute path, a server without its password). The writer removes
// it once the run's end is in the store. What is left belongs to runs the store did not take
// whole (the server was away, the program ended first, or was killed): `--sync` and the desktop
// program import those records, which completes the runs, and remove the entries.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "history/store.h"

namespace history {

class Outbox {
 public:
  explicit Outbox(const std::string &storeLocation);
  ~Outbox();
  Outbox(const Outbox &) = delete;
  Outbox &operator=(const Outbox &) = delete;
  const std::string &folder() const { return folder_; }

  // Notes the run of a report as waiting (its record beside it), under this process's id and
  // start, so that a later process given the same id is not taken for its writer.
  void add(const std::string &report);
  void remove(const std::string &report);
  // The writer that noted runs here is done: what it left is settled.
  void release();

  struct Entry {
    std::string file, record;
    long long pid = 0, writer = 0;
    long long start = 0;  // when the process started (clock ticks after boot); 0: not known
  };
  // The waiting runs; with `settledOnly`, without those a writer still at work is writing (one
  // of a running program, or of this one).
  std::vector<Entry> entries(bool settledOnly) const;

  struct SyncResult {
    int records = 0;  // records imported whole, their entries removed
    ImportSummary summary;
  };
  // Imports the records of the settled entries into `store` (open for writing); an entry whose
  // record is gone is removed and named, one the store did not take whole (a line left out, or
  // not stored at all) stays.
  // `stop`, asked before each record: true ends the sync there (what is left keeps its entry).
  SyncResult sync(Store &store, const std::function<bool()> &stop = {});

 private:
  std::string entryFile(const std::string &record) const;
  std::string folder_;
  long long writer_;  // this outbox's number in the process, once it has noted a run
};

}  // namespace history
