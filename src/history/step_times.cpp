// How long each step of the functional test took in earlier runs: what the running test
// estimates its time left from.
#include <algorithm>

#include "history/store_internal.h"

namespace history {

namespace {

// The newest runs of a step that count; older ones describe benches and boards of the past.
constexpr size_t kRunsPerStep = 20;

}  // namespace

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
  // A step ends where the next one of its run begins; the last one at its last result line.
  Statement st = db_.prepare(
      "SELECT state, seconds FROM (SELECT s.id AS id, s.state AS state, "
      "COALESCE(LEAD(s.clock) OVER (PARTITION BY s.run_id ORDER BY s.id), "
      "(SELECT MAX(r.clock) FROM results r WHERE r.step_id = s.id)) - s.clock AS seconds "
      "FROM steps s JOIN runs ON runs.id = s.run_id WHERE runs.finished = 1 AND "
      "runs.verdict IN ('PASSED', 'FAILED') AND s.clock IS NOT NULL) "
      "WHERE seconds IS NOT NULL AND seconds >= 0 ORDER BY state, id DESC",
      error);
  if (!st) {
    error = path_ + ": " + error;
    return out;
  }
  std::map<int, std::vector<double>> seen;
  while (st.step()) {
    std::vector<double> &v = seen[static_cast<int>(st.integer(0))];
    if (v.size() < kRunsPerStep) v.push_back(st.real(1));
  }
  if (!st.error().empty()) {
    error = path_ + ": " + st.error();
    return {};
  }
  for (auto &[state, v] : seen) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    out[state] = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }
  return out;
}

}  // namespace history
