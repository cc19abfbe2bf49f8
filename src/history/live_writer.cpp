#include "history/live_writer.h"

#include <chrono>

#include "rt/format.h"

namespace history {

namespace {

// How long a write waits on another program's lock before the writer looks again (and sees a
// stop), and how long it rests after a failure before the next try.
constexpr int kBusyMs = 250;
constexpr auto kRetryPause = std::chrono::milliseconds(500);
// How often an idle writer with automatic sync looks at the outbox.
constexpr auto kSyncEvery = std::chrono::seconds(30);

}  // namespace

LiveWriter::LiveWriter(std::string path, bool autoSync)
    : store_(path), outbox_(path), autoSync_(autoSync) {
  store_.setInterrupt(&interrupt_);
  thread_ = std::thread([this] { loop(); });
}

LiveWriter::~LiveWriter() { finish(0); }

std::string LiveWriter::push(Event &&e) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (e.kind == Event::Run) {
    overflowed_ = false;
    report_ = e.report;
  }
  // A run the store refused: its lines are not queued.
  if (e.kind != Event::Run && !refusedRun_.empty() && refusedRun_ == report_)
    return std::exchange(unsaid_, std::string());
  if (stopping_ || overflowed_ || queue_.size() >= kQueueLimit) {
    // Keeping order matters more than any single line: once one is refused, the rest of the run
    // waits for the import of its record, so the store never holds a run with a gap.
    if (!overflowed_ && !stopping_)
      unsaid_ = store_.path() + ": the queue of lines to store is full";
    overflowed_ = true;
  } else {
    queue_.push_back(std::move(e));
    changed_.notify_all();
  }
  return std::exchange(unsaid_, std::string());
}

std::string LiveWriter::runBegun(const functest::RunEvent &run) {
  Event e;
  e.kind = Event::Run;
  e.info = run.info;
  e.start = run.start;
  e.report = run.report;
  e.program = run.program;
  e.station = run.station;
  // Noted before anything else: should the store never get the run, its record is found.
  outbox_.add(run.report);
  return push(std::move(e));
}

std::string LiveWriter::stepBegun(int state, const std::string &title, double clock) {
  Event e;
  e.kind = Event::Step;
  e.state = state;
  e.title = title;
  e.clock = clock;
  return push(std::move(e));
}

std::string LiveWriter::resultWritten(const functest::ResultEvent &r) {
  Event e;
  e.kind = Event::Result;
  e.state = r.state;
  e.title = r.step;
  e.check = r.check;
  e.passed = r.passed;
  e.weight = r.weight;
  e.clock = r.clock;
  if (r.measurement) e.measurement = *r.measurement;
  return push(std::move(e));
}

std::string LiveWriter::runEnded(const functest::EndEvent &end) {
  Event e;
  e.kind = Event::End;
  e.end = end;
  return push(std::move(e));
}

std::string LiveWriter::write(const Event &e) {
  switch (e.kind) {
    case Event::Run:
      return store_.runBegun(functest::RunEvent{e.info, e.start, e.report, e.program, e.station});
    case Event::Step:
      return store_.stepBegun(e.state, e.title, e.clock);
    case Event::Result:
      return store_.resultWritten(functest::ResultEvent{e.state, e.title, e.check, e.passed,
                                                        e.weight, e.clock,
                                                        e.measurement ? &*e.measurement : nullptr});
    case Event::End:
      return store_.runEnded(e.end);
  }
  return {};
}

void LiveWriter::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  auto nextSync = std::chrono::steady_clock::now();
  for (;;) {
    const auto ready = [this] { return !queue_.empty() || stopping_; };
    if (!autoSync_) {
      changed_.wait(lock, ready);
    } else if (!changed_.wait_until(lock, nextSync, ready)) {
      lock.unlock();
      syncOutbox();
      lock.lock();
      nextSync = std::chrono::steady_clock::now() + kSyncEvery;
      continue;
    }
    if (queue_.empty() || abandon_) break;
    const Event &e = queue_.front();  // only this thread removes events
    lock.unlock();
    if (!store_.isOpen()) {
      std::string reason;
      if (!store_.open(reason, kBusyMs)) {
        const bool refused = store_.lastFailureRefused();
        lock.lock();
        if (refused) {
          refuse(reason);
          continue;
        }
        failing_ = true;
        busy_ = false;
        if (problem_ != reason) unsaid_ = problem_ = reason;
        changed_.notify_all();
        changed_.wait_for(lock, kRetryPause, [this] { return abandon_; });
        continue;
      }
    }
    std::string reason = write(e);
    if (!reason.empty() && store_.lastFailureRefused()) {
      store_.close();
      lock.lock();
      refuse(reason);
      continue;
    }
    const bool busy = !reason.empty() && store_.lastFailureBusy();
    // A run the store holds already (its report and start) is not added to: its lines wait for
    // nobody. With report names claimed exclusively this does not happen in a live run.
    const bool skip = !reason.empty() && e.kind == Event::Run && store_.runWasStored();
    if (!reason.empty() && !busy && !skip) store_.close();  // opened afresh for the next try
    if (e.kind == Event::Run) writing_ = e.report;
    // The run's end is stored (or the whole run was): it no longer waits.
    if ((reason.empty() && e.kind == Event::End) || skip) outbox_.remove(writing_);
    lock.lock();
    if (reason.empty() || skip) {
      if (skip) {
        unsaid_ = reason;
        // Drop the rest of that run: it is stored already.
        queue_.pop_front();
        while (!queue_.empty() && queue_.front().kind != Event::Run) queue_.pop_front();
      } else {
        queue_.pop_front();
      }
      failing_ = busy_ = false;
      problem_.clear();
      changed_.notify_all();
      continue;
    }
    failing_ = true;
    busy_ = busy;
    if (problem_ != reason) {
      problem_ = reason;
      unsaid_ = busy ? reason + " (the lines wait and are stored when it is free)" : reason;
    }
    changed_.notify_all();
    if (!busy) changed_.wait_for(lock, kRetryPause, [this] { return abandon_; });
  }
}

void LiveWriter::refuse(const std::string &reason) {
  // The run of the front event: the one being written, or a new one that could not begin.
  const Event &front = queue_.front();
  const std::string run = front.kind == Event::Run ? front.report : writing_;
  writing_ = run;
  refusedRun_ = run;
  queue_.pop_front();
  while (!queue_.empty() && queue_.front().kind != Event::Run) queue_.pop_front();
  failing_ = true;
  busy_ = false;
  problem_ = reason;
  unsaid_ = reason + "; the run is not stored (its record keeps it for tessock-cli --sync)";
  changed_.notify_all();
}

void LiveWriter::syncOutbox() {
  if (outbox_.entries(true).empty()) return;
  std::string reason;
  if (!store_.isOpen() && !store_.open(reason, kBusyMs)) return;  // tried again later
  // Quiet when it works; a record that does not import whole is said with the next event.
  const Outbox::SyncResult r = outbox_.sync(store_, [this] { return stopSync_.load(); });
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopSync_) syncCut_ = true;
  if (!r.summary.problems.empty()) unsaid_ = r.summary.problems.front();
}

std::string LiveWriter::pendingText() {
  int results = 0;
  bool end = false;
  for (const Event &e : queue_) {
    results += e.kind == Event::Result;
    end = end || e.kind == Event::End;
  }
  const bool refused = !refusedRun_.empty() && refusedRun_ == report_;
  if (queue_.empty() && !overflowed_ && !refused) return {};
  std::string what = queue_.empty()
                         ? "lines of the run "
                         : std::to_string(results) + " result line" + (results == 1 ? "" : "s") +
                               (end ? " and the end" : "") + " of the run ";
  what += report_ + " are not in the results store " + store_.path();
  if (!problem_.empty()) what += " (" + problem_ + ")";
  const size_t waiting = outbox_.entries(false).size();
  if (waiting > 1)
    what += "; " + std::to_string(waiting) + " runs in all wait for the store (tessock-cli --sync)";
  return what;
}

std::string LiveWriter::unsettled() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  changed_.wait_until(lock, until, [this] { return queue_.empty() || (failing_ && !busy_); });
  return pendingText();
}

bool LiveWriter::unsettledRefused() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !refusedRun_.empty() && refusedRun_ == report_;
}

std::string LiveWriter::unsaidProblem() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(unsaid_, std::string());
}

std::string LiveWriter::finish(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) return {};
  stopping_ = true;
  stopSync_ = true;
  changed_.notify_all();
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(seconds * 1e3));
  changed_.wait_until(lock, until, [this] { return queue_.empty() || (failing_ && !busy_); });
  std::string left = pendingText();
  if (!left.empty()) left += "; its record is " + functest::RecordPathFor(report_);
  abandon_ = true;
  interrupt_ = true;
  changed_.notify_all();
  lock.unlock();
  thread_.join();
  outbox_.release();
  if (left.empty() && syncCut_) {
    const size_t waiting = outbox_.entries(true).size();
    if (waiting)
      return rt::format(
          "%zu run%s that waited for the results store %s stay%s in its outbox "
          "(the program ended during their sync; tessock-cli --sync stores them)",
          waiting, waiting == 1 ? "" : "s", store_.path().c_str(), waiting == 1 ? "s" : "");
  }
  return left;
}

}  // namespace history
