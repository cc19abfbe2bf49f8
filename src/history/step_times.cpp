// How long each step of the functional test took in earlier runs: what the running test
// estimates its time left from.
//
// The question costs the same on a store of a hundred runs and of a hundred thousand: for each
// state it walks the index steps(state, id) over the newest kStepsLookedAt steps and keeps the
// newest kRunsPerStep that count; a step's end is the start of the next step of its run
// (steps_run) or, for a run's last step, its last result line (results_run).
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "history/step_time_asker.h"
#include "history/store_internal.h"
#include "rt/format.h"

namespace history {

namespace {

// The newest runs of a step that count; older ones describe benches and boards of the past.
constexpr int kRunsPerStep = 20;
// The newest steps of a state looked at to find them: a state whose newest steps do not count
// (runs stopped, or without a duration) costs this many lookups, not one per run of the store.
constexpr int kStepsLookedAt = 100;

// A step's bench seconds: from its start to the next step's, the last one to its last line.
constexpr const char *kSeconds =
    "(COALESCE((SELECT n.clock FROM steps n WHERE n.run_id = s.run_id AND n.id > s.id ORDER BY "
    "n.id LIMIT 1), (SELECT MAX(r.clock) FROM results r WHERE r.run_id = s.run_id AND "
    "r.step_id = s.id)) - s.clock)";

}  // namespace

const char *const detail::kStepStateIndex =
    "CREATE INDEX IF NOT EXISTS steps_state ON steps(state, id)";

std::map<int, double> Store::stepSeconds(std::string &error) {
  std::map<int, double> out;
  // A connection opened for this question only is closed again: a read-only one left open
  // would be the store's last at exit, and could not fold the write-ahead log into the file.
  struct CloseAfter {
    Database &db;
    bool close;
    ~CloseAfter() {
      if (close) db.close();
    }
  } closeAfter{db_, !db_.isOpen()};
  if (!ensureReadable(error)) return out;
  // The states that have steps, found by walking the index from one state to the next.
  std::vector<long long> states;
  {
    Statement st = db_.prepare(
        "WITH RECURSIVE states(n) AS (SELECT MIN(state) FROM steps UNION ALL SELECT (SELECT "
        "MIN(state) FROM steps WHERE state > states.n) FROM states WHERE states.n IS NOT NULL) "
        "SELECT n FROM states WHERE n IS NOT NULL",
        error);
    if (!st) {
      error = name_ + ": " + error;
      return out;
    }
    while (st.step()) states.push_back(st.integer(0));
    if (!st.error().empty()) {
      error = name_ + ": " + st.error();
      return out;
    }
  }
  // The newest steps of the state (a walk of the index, never more), then those of finished
  // runs with a duration, newest first. The alias is needed by PostgreSQL.
  Statement st = db_.prepare(
      std::string("SELECT recent.seconds FROM (SELECT s.id AS id, s.run_id AS run_id, ") +
          kSeconds +
          " AS seconds FROM steps s WHERE s.state = ?1 AND s.clock IS NOT NULL ORDER BY "
          "s.id DESC LIMIT " +
          std::to_string(kStepsLookedAt) +
          ") AS recent JOIN runs ON runs.id = recent.run_id WHERE runs.finished = 1 AND "
          "runs.verdict IN ('PASSED', 'FAILED') AND recent.seconds >= 0 ORDER BY recent.id DESC "
          "LIMIT " +
          std::to_string(kRunsPerStep),
      error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  for (const long long state : states) {
    st.reset();
    st.bind(1, state);
    std::vector<double> v;
    while (st.step()) v.push_back(st.real(0));
    if (!st.error().empty()) {
      error = name_ + ": " + st.error();
      return {};
    }
    if (v.empty()) continue;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    out[static_cast<int>(state)] = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }
  return out;
}

}  // namespace history

// ------------------------------------------------------------------------- off the bench

namespace history {

// What the asker and its question's thread share; the thread holds it too, so that a question
// that outlives the asker (a server that never answers) touches nothing freed.
struct StepTimeAsker::Shared {
  mutable std::mutex mutex;
  bool out = false;       // a thread is asking
  bool lateSaid = false;  // the question of this run was said late
  std::chrono::steady_clock::time_point asked;
  std::optional<functest::StepEstimates> answer;
};

StepTimeAsker::StepTimeAsker(std::string location)
    : location_(location.empty() ? configuredStoreLocation() : std::move(location)),
      shared_(std::make_shared<Shared>()) {}

StepTimeAsker::~StepTimeAsker() = default;

void StepTimeAsker::ask() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->answer.reset();
    shared_->lateSaid = false;
    shared_->asked = std::chrono::steady_clock::now();
    if (shared_->out) return;
    shared_->out = true;
  }
  // Detached: the program never waits for it, not even at its end.
  std::thread([shared = shared_, location = location_] {
    functest::StepEstimates a;
    {
      Store store(location);
      a.seconds = store.stepSeconds(a.problem);
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->out = false;
    if (!a.problem.empty()) a.seconds.clear();
    shared->answer = std::move(a);
  }).detach();
}

std::optional<functest::StepEstimates> StepTimeAsker::answer() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->answer) return std::exchange(shared_->answer, std::nullopt);
  const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - shared_->asked;
  if (!shared_->out || shared_->lateSaid || waited.count() < kLateSeconds) return std::nullopt;
  shared_->lateSaid = true;
  return functest::StepEstimates{{},
                                 rt::format("%s: no answer to the step-time question in %.0f s",
                                            ShownLocation(location_).c_str(), kLateSeconds)};
}

bool StepTimeAsker::pending() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->out;
}

}  // namespace history
