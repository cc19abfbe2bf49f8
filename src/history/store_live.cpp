// Writing the results store: the rows of a run, as the live run tells them (the run sink) and as
// an import inserts them.
#include "functest/report.h"
#include "functest/sequencer.h"
#include "functest/verdict.h"
#include "history/store_internal.h"

namespace history {

long long Store::insertRun(const NewRun &n, bool &existed, bool &finished, std::string &reason) {
  existed = finished = false;
  Statement st = db_.prepare(
      "INSERT INTO runs(variant, start, card, device_barcode1, device_barcode2, board_barcode, "
      "otr1_barcode, otr2_barcode, pcb_version, comments, report, program, origin, station, "
      "start_utc, steps_on, store_start) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17) "
      "ON CONFLICT(report, start) DO NOTHING RETURNING id",
      reason);
  if (!st) return 0;
  st.bind(1, n.variant).bind(2, n.start);
  if (n.card) st.bind(3, *n.card);
  for (int k = 0; k < 5; ++k) st.bind(4 + k, n.barcodes[k]);
  if (n.pcb) st.bind(9, *n.pcb);
  st.bind(10, n.comments).bind(11, n.report).bind(12, n.program).bind(13, n.origin);
  if (!n.station.empty()) st.bind(14, n.station);
  if (const std::string utc = detail::UtcInstant(n.start); !utc.empty()) st.bind(15, utc);
  const std::string steps = n.stepsOn ? functest::StepsText(*n.stepsOn) : std::string();
  if (n.stepsOn) st.bind(16, steps);
  // A file's store takes the writer's clock; a server puts its own (store_roles.cpp).
  st.bind(17, detail::UtcNowText());
  const long long id = st.step() ? st.integer(0) : 0;
  if (!st.error().empty()) {
    reason = st.error();
    return 0;
  }
  if (id) return id;
  // No row back: a run with this report and start is there already.
  Statement there =
      db_.prepare("SELECT id, finished FROM runs WHERE report = ?1 AND start = ?2", reason);
  if (!there) return 0;
  there.bind(1, n.report).bind(2, n.start);
  if (!there.step()) {
    reason = there.error().empty() ? "the run was neither stored nor found" : there.error();
    return 0;
  }
  existed = true;
  finished = there.integer(1) != 0;
  return there.integer(0);
}

long long Store::insertStep(long long runId, int ordinal, int state, const std::string &title,
                            double clock, std::string &reason) {
  Statement st = db_.prepare(
      "INSERT INTO steps(run_id, ordinal, state, title, clock) VALUES(?1, ?2, ?3, ?4, ?5) "
      "ON CONFLICT(run_id, ordinal) DO NOTHING RETURNING id",
      reason);
  if (!st) return 0;
  st.bind(1, runId).bind(2, static_cast<long long>(ordinal));
  st.bind(3, static_cast<long long>(state)).bind(4, title).bind(5, clock);
  long long id = st.step() ? st.integer(0) : 0;
  if (!st.error().empty()) {
    reason = st.error();
    return 0;
  }
  if (id) return id;
  Statement there = db_.prepare("SELECT id FROM steps WHERE run_id = ?1 AND ordinal = ?2", reason);
  if (!there) return 0;
  there.bind(1, runId).bind(2, static_cast<long long>(ordinal));
  id = there.step() ? there.integer(0) : 0;
  if (!id) reason = there.error().empty() ? "the step was neither stored nor found" : there.error();
  return id;
}

bool Store::insertResult(long long runId, long long stepId, int line, const ResultRow &r,
                         bool &added, std::string &reason) {
  added = false;
  Statement st = db_.prepare(
      "INSERT INTO results(run_id, step_id, line, state, step, check_text, check_name, passed, "
      "weight, clock, value, unit, low, high) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14) "
      "ON CONFLICT(run_id, line) DO NOTHING RETURNING 1",
      reason);
  if (!st) return false;
  st.bind(1, runId);
  if (stepId) st.bind(2, stepId);
  st.bind(3, static_cast<long long>(line)).bind(4, static_cast<long long>(r.state));
  st.bind(5, r.step).bind(6, r.check).bind(7, CheckName(r.check));
  st.bind(8, r.passed ? 1LL : 0LL).bind(9, static_cast<long long>(r.weight)).bind(10, r.clock);
  st.bind(11, r.value);
  if (r.value || !r.unit.empty()) st.bind(12, r.unit);
  st.bind(13, r.low).bind(14, r.high);
  added = st.step();
  if (!st.error().empty()) {
    reason = st.error();
    return false;
  }
  return true;
}

bool Store::finishRun(long long runId, const std::string &verdict, double errorCounts,
                      const std::string &how, const std::string &failCopy,
                      const std::string &reason, std::string &error) {
  Statement st = db_.prepare(
      "UPDATE runs SET finished = 1, verdict = ?2, error_counts = ?3, how = ?4, fail_copy = ?5, "
      "reason = ?6, store_end = ?7 WHERE id = ?1 AND finished = 0",
      error);
  if (!st) return false;
  st.bind(1, runId).bind(2, verdict).bind(3, errorCounts).bind(4, how);
  if (!failCopy.empty()) st.bind(5, failCopy);
  if (!reason.empty()) st.bind(6, reason);
  st.bind(7, detail::UtcNowText());
  if (!st.run()) {
    error = st.error();
    return false;
  }
  return true;
}

// Each event is one committed row. A failed event leaves the live state as it was, so the same
// event given again (the writer's retry) is stored exactly once.
std::string Store::runBegun(const functest::RunEvent &run) {
  liveRun_ = liveStep_ = 0;
  liveLine_ = liveSteps_ = 0;
  runWasStored_ = false;
  std::string reason;
  if (!open(reason)) return reason;
  NewRun n;
  const functest::RunInfo &info = run.info;
  n.variant = info.variant;
  n.start = run.start;
  n.card = info.cardNumber;
  n.barcodes[0] = info.deviceBarcode1;
  n.barcodes[1] = info.deviceBarcode2;
  n.barcodes[2] = info.boardBarcode;
  n.barcodes[3] = info.otr1Barcode;
  n.barcodes[4] = info.otr2Barcode;
  n.pcb = info.pcbVersion;
  for (size_t k = 0; k < info.comments.size(); ++k)
    n.comments += (k ? "\n" : "") + info.comments[k];
  n.report = run.report;
  n.program = run.program;
  n.origin = "live";
  n.station = run.station;
  n.stepsOn = info.stepsOn;
  // A run there unfinished (an import of its record, or this writer's own insert whose commit
  // was lost) is carried on: its lines go in by their numbers, once each. A finished one is
  // never reopened.
  bool existed = false, finished = false;
  const long long id = insertRun(n, existed, finished, reason);
  if (!id) return name_ + ": " + refusal(reason, true);
  if (finished) {
    runWasStored_ = true;
    return name_ + ": a run of " + run.report + " started " + run.start + " is already stored";
  }
  liveRun_ = id;
  return {};
}

std::string Store::stepBegun(int state, const std::string &title, double clock) {
  if (!liveRun_) return {};  // the run's own problem has been said
  std::string reason;
  const long long step = insertStep(liveRun_, liveSteps_ + 1, state, title, clock, reason);
  if (!step) return name_ + ": " + refusal(reason, true);
  liveStep_ = step;
  ++liveSteps_;
  return {};
}

std::string Store::resultWritten(const functest::ResultEvent &e) {
  if (!liveRun_) return {};
  ResultRow r;
  r.state = e.state;
  r.step = e.step;
  r.check = e.check;
  r.passed = e.passed;
  r.weight = e.weight;
  r.clock = e.clock;
  if (e.measurement) {
    r.value = e.measurement->value;
    r.unit = e.measurement->unit;
    r.low = e.measurement->low;
    r.high = e.measurement->high;
  }
  std::string reason;
  bool added = false;
  if (!insertResult(liveRun_, liveStep_, liveLine_ + 1, r, added, reason))
    return name_ + ": " + refusal(reason, true);
  ++liveLine_;
  return {};
}

std::string Store::runEnded(const functest::EndEvent &e) {
  if (!liveRun_) return {};
  const std::string verdict = functest::VerdictOfRun({.ended = true,
                                                      .stopped = e.stopped,
                                                      .written = e.verdict,
                                                      .errorCounts = e.errorCounts,
                                                      .lost = e.reason})
                                  .verdict;
  std::string error;
  if (!finishRun(liveRun_, verdict, e.errorCounts, e.stopped ? "stopped" : "ended", e.failCopy,
                 e.reason, error))
    return name_ + ": " + refusal(error, true);
  liveRun_ = liveStep_ = 0;
  return {};
}

}  // namespace history
