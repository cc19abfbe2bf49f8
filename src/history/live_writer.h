// The results store as the live run's sink, off the bench's thread: the report hands each event
// over (a copy, at once) and a writer thread of its own commits the events in order through its
// own connection. While the store is locked by another program or cannot be written, the events
// wait in the queue and are tried again; nothing is dropped and the bench never waits for the
// store. A run whose events could not all be kept stays unfinished in the store and its record
// completes it by import. A store that refuses for good (the role lacks a privilege) is not
// tried again for that run: the refusal is said once and the run's lines wait in its record.
// Each run is noted in the store's outbox (outbox.h) until its end is
// stored, so `--sync` (or the desktop program's writer, by itself) finds what to import.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "functest/report.h"
#include "history/outbox.h"
#include "history/store.h"

namespace history {

class LiveWriter : public functest::RunSink {
 public:
  // `autoSync`: every 30 s while idle (and at once), import the settled runs of the outbox.
  explicit LiveWriter(std::string path = {}, bool autoSync = false);  // empty: defaultStorePath()
  ~LiveWriter() override;
  LiveWriter(const LiveWriter &) = delete;
  LiveWriter &operator=(const LiveWriter &) = delete;

  // The sink: each queues a copy of its event and answers at once, empty unless the writer has
  // met a new problem since the last answer (the store's file and the reason).
  std::string runBegun(const functest::RunEvent &run) override;
  std::string stepBegun(int state, const std::string &title, double clock) override;
  std::string resultWritten(const functest::ResultEvent &result) override;
  std::string runEnded(const functest::EndEvent &end) override;
  // Waits up to a second for the queue while the writer gets on with it, then names what is
  // not stored yet.
  std::string unsettled() override;
  // A problem the writer met that no event's answer has told yet (a run shorter than the
  // writer's first attempt ends before any answer could carry it).
  std::string unsaidProblem() override;
  // Whether the run that unsettled() describes was refused for good by the store.
  bool unsettledRefused() override;

  // At the program's end: waits up to `seconds` while the store is only locked or does not
  // answer (not when it cannot be written at all), then stops the writer: a statement a server
  // still holds is given up at once (a connection being opened is bounded by its connect
  // timeout); an automatic sync under way stops after the record it is storing, the others keep
  // their outbox entries. Names what was not stored, empty when everything was.
  std::string finish(double seconds);

  // Events at most in the queue; a run that would pass it keeps its stored lines, unfinished.
  static constexpr size_t kQueueLimit = 100000;

 private:
  struct Event {
    enum Kind { Run, Step, Result, End } kind = Run;
    functest::RunInfo info;
    std::string start, report, program, station;  // run
    int state = -1;
    std::string title;  // the step's title, or the step of a result
    std::string check;
    bool passed = false;
    int weight = 1;
    double clock = 0;
    std::optional<functest::Measurement> measurement;
    functest::EndEvent end;
  };

  std::string push(Event &&e);
  void loop();
  std::string write(const Event &e);
  std::string pendingText();  // with the lock held
  // Drops the front event's run after a final refusal and says it once (with the lock held).
  void refuse(const std::string &reason);
  void syncOutbox();  // on the writer thread

  Store store_;  // the writer thread's own connection
  Outbox outbox_;
  const bool autoSync_;
  std::string writing_;  // the report of the run the writer stores
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Event> queue_;
  bool stopping_ = false, abandon_ = false;
  std::atomic<bool> stopSync_{false};    // finish() asks a sync under way to end
  std::atomic<bool> interrupt_{false};   // finish() gives up a statement the server holds
  bool syncCut_ = false;                 // a sync ended with entries left for that
  bool failing_ = false, busy_ = false;  // the last attempt failed; on a lock
  std::string problem_, unsaid_;         // the last failure; one not yet said to the bench
  std::string report_;                   // the report of the run being queued
  bool overflowed_ = false;              // events of this run were refused by the full queue
  // The report of the run the store refused for good (a privilege the role lacks, a rule of
  // the store, a store not set up): its remaining events are dropped, its record keeps them.
  std::string refusedRun_;
  std::thread thread_;
};

}  // namespace history
