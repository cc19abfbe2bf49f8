// Opening the results store: where it lives, how it is recognised, created and brought up to
// date, and the checks of the questions' filters.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "functest/report.h"
#include "history/store_internal.h"
#include "rt/format.h"
#include "rt/input_file.h"

namespace history {

namespace fs = std::filesystem;

namespace {

// The tables of the current version, made in one transaction with the store's marks. Written in
// SQLite's types; the PostgreSQL backend maps them (database_postgres.cpp).
constexpr const char *kSchema = R"sql(
CREATE TABLE runs(
  id INTEGER PRIMARY KEY,
  variant TEXT NOT NULL DEFAULT '',
  start TEXT NOT NULL,
  card INTEGER,
  device_barcode1 TEXT, device_barcode2 TEXT, board_barcode TEXT,
  otr1_barcode TEXT, otr2_barcode TEXT,
  pcb_version INTEGER,
  comments TEXT,
  report TEXT NOT NULL,
  program TEXT,
  origin TEXT NOT NULL,
  finished INTEGER NOT NULL DEFAULT 0,
  verdict TEXT,
  error_counts REAL,
  how TEXT,
  fail_copy TEXT,
  reason TEXT,
  station TEXT,
  start_utc TEXT,
  steps_on TEXT,
  store_start TEXT,
  store_end TEXT,
  stored_by TEXT,
  UNIQUE(report, start));
CREATE TABLE steps(
  id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  state INTEGER NOT NULL,
  title TEXT NOT NULL,
  clock REAL,
  ordinal INTEGER);
CREATE TABLE results(
  id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  step_id INTEGER REFERENCES steps(id) ON DELETE CASCADE,
  line INTEGER NOT NULL,
  state INTEGER,
  step TEXT,
  check_text TEXT NOT NULL,
  check_name TEXT NOT NULL,
  passed INTEGER NOT NULL,
  weight INTEGER NOT NULL DEFAULT 1,
  clock REAL,
  value REAL, unit TEXT, low REAL, high REAL);
CREATE UNIQUE INDEX results_run ON results(run_id, line);
CREATE INDEX results_name ON results(check_name);
CREATE INDEX steps_run ON steps(run_id);
CREATE UNIQUE INDEX steps_ordinal ON steps(run_id, ordinal);
CREATE INDEX runs_start_utc ON runs(start_utc);
CREATE INDEX runs_board ON runs(board_barcode);
CREATE INDEX runs_station ON runs(station, start);
CREATE INDEX runs_start ON runs(start);
)sql";

// Version 1 (no marks, user_version 1) to 2: the reason of an incomplete run, and the stopped
// runs that version stored as PASSED or FAILED.
constexpr const char *kFromVersion1 = R"sql(
ALTER TABLE runs ADD COLUMN reason TEXT;
UPDATE runs SET verdict = 'STOPPED' WHERE finished = 1 AND how = 'stopped';
)sql";

// Version 2 to 3: the bench (station) a run ran on, and the indexes of the lab's questions.
// Runs stored before have no station.
constexpr const char *kFromVersion2 = R"sql(
ALTER TABLE runs ADD COLUMN station TEXT;
CREATE INDEX runs_board ON runs(board_barcode);
CREATE INDEX runs_station ON runs(station, start);
CREATE INDEX runs_start ON runs(start);
)sql";

// Version 3 to 4: the keys that make every insert an upsert (a result line is unique within its
// run by its line number, a step by its ordinal), and the start's instant in UTC. Duplicates that
// concurrent writers of earlier versions could leave are merged first, the row stored first kept:
// steps alike in run, state, title and clock become one (their results follow), then result
// lines of one run and number. The twins are found by one sort (a window), not by a question per
// step: a server without statistics of a freshly filled table answered that through the state
// index, half the table for each step.
constexpr const char *kFromVersion3 = R"sql(
ALTER TABLE runs ADD COLUMN start_utc TEXT;
ALTER TABLE steps ADD COLUMN ordinal INTEGER;
CREATE TEMP TABLE step_twins AS SELECT id, keep FROM (SELECT id, MIN(id) OVER (PARTITION BY
  run_id, state, title, clock) AS keep FROM steps) AS w WHERE id <> keep;
UPDATE results SET step_id = step_twins.keep FROM step_twins WHERE step_twins.id = results.step_id;
DELETE FROM steps WHERE id IN (SELECT id FROM step_twins);
DROP TABLE step_twins;
DELETE FROM results WHERE EXISTS (SELECT 1 FROM results r WHERE r.run_id = results.run_id AND
  r.line = results.line AND r.id < results.id);
UPDATE steps SET ordinal = n.k FROM (SELECT id, ROW_NUMBER() OVER (PARTITION BY run_id ORDER BY
  id) AS k FROM steps) AS n WHERE n.id = steps.id;
DROP INDEX results_run;
CREATE UNIQUE INDEX results_run ON results(run_id, line);
CREATE UNIQUE INDEX steps_ordinal ON steps(run_id, ordinal);
)sql";

// Version 4 to 5: the steps a run had switched on ("13,14,0", in run order), so that a run that
// left steps out is not taken for a whole one. Runs stored before have none (NULL: not known).
constexpr const char *kFromVersion4 = R"sql(
ALTER TABLE runs ADD COLUMN steps_on TEXT;
)sql";

// Version 5 to 6: when the store received a run's start and its end, by its own clock (a
// server's; a file's store: the writer's UTC clock), and the role that stored it. Runs stored
// before have neither.
constexpr const char *kFromVersion5 = R"sql(
ALTER TABLE runs ADD COLUMN store_start TEXT;
ALTER TABLE runs ADD COLUMN store_end TEXT;
ALTER TABLE runs ADD COLUMN stored_by TEXT;
)sql";

enum class Kind { Empty, Current, Older, Newer, Foreign };

struct Identity {
  Kind kind = Kind::Foreign;
  long long version = 0, applicationId = 0;
};

long long count(Database &db, const std::string &sql, std::string &error) {
  Statement st = db.prepare(sql, error);
  if (!st) return -1;
  const long long v = st.step() ? st.integer(0) : -1;
  if (!st.error().empty()) error = st.error();
  return v;
}

// Reads the marks and the tables; writes nothing.
bool identify(Database &db, Identity &id, std::string &error) {
  long long tables = 0;
  if (!db.connection().readMarks(id.applicationId, id.version, tables, error)) return false;
  if (id.applicationId == Store::kApplicationId) {
    id.kind = id.version == Store::kVersion  ? Kind::Current
              : id.version > Store::kVersion ? Kind::Newer
                                             : Kind::Older;
  } else if (id.applicationId != 0) {
    id.kind = Kind::Foreign;
  } else if (tables == 0 && id.version == 0) {
    id.kind = Kind::Empty;
  } else if (id.version == 1 && tables == 3 && !db.isServer()) {
    // The stores made before the marks: exactly their three tables with their columns.
    const long long columns = count(
        db,
        "SELECT (SELECT COUNT(*) FROM pragma_table_info('runs') WHERE name IN ('report', 'start', "
        "'origin', 'finished', 'verdict', 'how', 'fail_copy')) + (SELECT COUNT(*) FROM "
        "pragma_table_info('steps') WHERE name IN ('run_id', 'state', 'title')) + (SELECT "
        "COUNT(*) FROM pragma_table_info('results') WHERE name IN ('run_id', 'step_id', 'line', "
        "'check_text', 'check_name', 'passed'))",
        error);
    id.kind = columns == 16 ? Kind::Older : Kind::Foreign;
  } else {
    id.kind = Kind::Foreign;
  }
  return error.empty();
}

}  // namespace

namespace detail {

bool IsEndVerdict(const std::string &v) {
  return v == "PASSED" || v == "FAILED" || v == "STOPPED" || v == "INCOMPLETE";
}

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string UtcInstant(const std::string &start) {
  static const std::regex kIso(
      "([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(\\.[0-9]+)?"
      "(Z|([+-])([0-9]{2}):?([0-9]{2}))?");
  std::smatch m;
  if (!std::regex_match(start, m, kIso)) return {};
  struct tm tm {};
  tm.tm_year = std::stoi(m[1].str()) - 1900;
  tm.tm_mon = std::stoi(m[2].str()) - 1;
  tm.tm_mday = std::stoi(m[3].str());
  tm.tm_hour = std::stoi(m[4].str());
  tm.tm_min = std::stoi(m[5].str());
  tm.tm_sec = std::stoi(m[6].str());
  long long t = static_cast<long long>(timegm(&tm));
  if (m[9].matched) {
    const long long offset = std::stoll(m[10].str()) * 3600 + std::stoll(m[11].str()) * 60;
    t -= m[9].str() == "-" ? -offset : offset;
  }
  const time_t u = static_cast<time_t>(t);
  struct tm out {};
  gmtime_r(&u, &out);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &out);
  return std::string(buffer) + "Z";
}

bool ValidIsoDateTime(const std::string &t) {
  static const std::regex kIso(
      "([0-9]{4}-[0-9]{2}-[0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(\\.[0-9]+)?"
      "(Z|[+-][0-9]{2}:?[0-9]{2})?");
  std::smatch m;
  if (!std::regex_match(t, m, kIso) || !ValidDate(m[1].str())) return false;
  return std::stoi(m[2].str()) <= 23 && std::stoi(m[3].str()) <= 59 && std::stoi(m[4].str()) <= 60;
}

}  // namespace detail

std::string defaultStorePath() {
  return (fs::path(functest::DataHome()) / "results.sqlite").string();
}

std::string ConfiguredResults(const std::string &key) {
  const char *xdg = std::getenv("XDG_CONFIG_HOME");
  fs::path base;
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char *home = std::getenv("HOME");
    base = fs::path(home && home[0] ? home : ".") / ".config";
  }
  const std::string file = (base / "tessock" / "results.conf").string();
  const rt::PathCheck check = rt::checkPath(file);
  if (!check.exists || !check.problem.empty()) return {};
  std::ifstream in(file);
  std::string line, value;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    auto trim = [](std::string t) {
      const size_t a = t.find_first_not_of(" \t\r"), b = t.find_last_not_of(" \t\r");
      return a == std::string::npos ? std::string() : t.substr(a, b - a + 1);
    };
    if (trim(line.substr(0, eq)) == key) value = trim(line.substr(eq + 1));
  }
  return value;
}

std::string configuredStoreLocation() {
  const std::string configured = ConfiguredResults("results-db");
  return configured.empty() ? defaultStorePath() : configured;
}

std::string defaultStation() {
  if (std::string configured = ConfiguredResults("station"); !configured.empty()) return configured;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return "bench";
  return host;
}

bool ValidDate(const std::string &d) {
  static const std::regex kDate("[0-9]{4}-[0-9]{2}-[0-9]{2}");
  if (!std::regex_match(d, kDate)) return false;
  const int year = std::atoi(d.substr(0, 4).c_str());
  const int month = std::atoi(d.substr(5, 2).c_str()), day = std::atoi(d.substr(8, 2).c_str());
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

bool ValidFilter(const Filter &f, std::string &error) {
  for (const std::string *d : {&f.from, &f.to})
    if (!d->empty() && !ValidDate(*d)) {
      error = "date '" + *d + "' is not a calendar date YYYY-MM-DD";
      return false;
    }
  const std::string v = detail::Upper(f.verdict);
  if (!v.empty() && !detail::IsEndVerdict(v) && v != "UNFINISHED") {
    error = "verdict '" + f.verdict + "' is not PASSED, FAILED, STOPPED, INCOMPLETE or UNFINISHED";
    return false;
  }
  return true;
}

Store::Store(std::string path)
    : path_(path.empty() ? configuredStoreLocation() : std::move(path)),
      name_(ShownLocation(path_)) {}

Store::~Store() = default;

// Checks the open file's marks; on the writable connection makes a new store or brings an
// older one up to date, in one transaction. Anything else is refused untouched.
bool Store::recognise(bool writable, std::string &reason) {
  Identity id;
  std::string error;
  if (!identify(db_, id, error)) {
    reason = name_ + ": " + refusal(error, writable);
    return false;
  }
  // A lab's store is made by its administrator, as the owner of its tables: a bench that made
  // it would own them, and could rewrite every run.
  const auto notSetUp = [&] {
    refused_ = true;
    reason = name_ + ": the results store is not set up; its administrator sets it up with " +
             "tessock-cli --results-db " + name_ + " --init-store";
    return false;
  };
  if (writable && id.kind == Kind::Empty && db_.isServer() && !settingUp_) return notSetUp();
  // A store that another program is making at this moment can look half made to the separate
  // reads of its marks and tables: a file without marks is judged under the write lock (or, on
  // a read-only connection, looked at once more) before it is called foreign.
  if (id.kind == Kind::Foreign && id.applicationId == 0 && !writable) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!identify(db_, id, error)) {
      reason = name_ + ": " + error;
      return false;
    }
  }
  if (id.kind == Kind::Foreign && !(writable && id.applicationId == 0)) {
    reason = name_ + ": not a Tessock results store; it is left as it is";
    return false;
  }
  if (id.kind == Kind::Newer) {
    reason = name_ + ": a results store of a newer version (" + std::to_string(id.version) +
             ", this program knows " + std::to_string(kVersion) + "); it is left as it is";
    return false;
  }
  if (id.kind == Kind::Current || (!writable && id.kind == Kind::Older)) {
    version_ = static_cast<int>(id.version);
    return true;
  }
  if (!writable) return true;  // empty: the caller answers with an empty store
  // Another program may be making or converting the same store: look again under the lock.
  Transaction tx(db_);
  if (!tx.ok() || !identify(db_, id, error)) {
    reason = name_ + ": " + (tx.ok() ? error : tx.error());
    return false;
  }
  if (id.kind == Kind::Current) {
    version_ = kVersion;
    return true;
  }
  if (id.kind == Kind::Empty && db_.isServer() && !settingUp_) return notSetUp();
  if (id.kind != Kind::Empty && id.kind != Kind::Older) {
    reason =
        name_ + (id.kind == Kind::Foreign
                     ? ": not a Tessock results store; it is left as it is"
                     : ": not a Tessock results store of a known version; it is left as it is");
    return false;
  }
  // Every step from the store's version to this one, in the one transaction.
  std::string change;
  if (id.kind == Kind::Empty) {
    change = db_.connection().schemaSql(kSchema);
  } else {
    if (id.version < 2) change += kFromVersion1;
    if (id.version < 3) change += kFromVersion2;
    if (id.version < 4) change += kFromVersion3;
    if (id.version < 5) change += kFromVersion4;
    if (id.version < 6) change += kFromVersion5;
    tell(rt::format("bringing the results store %s from version %lld to %d", name_.c_str(),
                    id.version, kVersion));
  }
  const std::string rules = db_.isServer() ? detail::ServerRulesSql() : std::string();
  const std::string marks = db_.connection().marksSql(kApplicationId, kVersion);
  // Bringing a large store up to date takes longer than a statement is usually allowed.
  if (id.kind == Kind::Older && !db_.connection().setStatementSeconds(3600, error)) {
    reason = name_ + ": " + error;
    return false;
  }
  if (!db_.exec(change, error)) {
    if (db_.isServer() && db_.lastFailureRefused() && !settingUp_) {
      refused_ = true;
      reason = name_ + ": the results store is of version " + std::to_string(id.version) +
               " and this role may not bring it up to date (" + error +
               "); its administrator does it with tessock-cli --results-db " + name_ +
               " --init-store";
      return false;
    }
    reason = name_ + ": " + error;
    return false;
  }
  // On a server, the store's rules (store_roles.cpp) come after the last step, on its tables.
  if ((id.kind == Kind::Older && id.version < 4 && !fillStartInstants(error)) ||
      (db_.isServer() && !db_.exec(rules, error)) || !db_.exec(marks, error) || !tx.commit()) {
    reason = name_ + ": " + (error.empty() ? tx.error() : error);
    return false;
  }
  if (id.kind == Kind::Older) {
    tell(rt::format("the results store %s is up to date", name_.c_str()));
    if (!db_.connection().setStatementSeconds(0, error)) {
      reason = name_ + ": " + error;
      return false;
    }
  }
  schemaChange_ = id.kind == Kind::Empty
                      ? "made, version " + std::to_string(kVersion)
                      : "brought up to date from version " + std::to_string(id.version) + " to " +
                            std::to_string(kVersion);
  version_ = kVersion;
  return true;
}

void Store::tell(const std::string &what) const {
  if (progress_) progress_(what);
}

// Every run's start as its instant in UTC, from the local text and its offset. A store of many
// runs takes a while: what is done is told every 10,000 runs.
bool Store::fillStartInstants(std::string &error) {
  std::vector<std::pair<long long, std::string>> starts;
  {
    Statement st = db_.prepare("SELECT id, start FROM runs WHERE start_utc IS NULL", error);
    if (!st) return false;
    while (st.step()) starts.emplace_back(st.integer(0), st.text(1));
    if (!st.error().empty()) {
      error = st.error();
      return false;
    }
  }
  // A thousand runs a statement (one round trip to a server for each, not one for each run).
  constexpr size_t kChunk = 1000;
  const auto chunkSql = [](size_t rows) {
    std::string values;
    for (size_t k = 0; k < rows; ++k)
      values += rt::format("%s(CAST(?%zu AS BIGINT), CAST(?%zu AS TEXT))", k ? ", " : "", 2 * k + 1,
                           2 * k + 2);
    return "WITH v(id, utc) AS (VALUES " + values +
           ") UPDATE runs SET start_utc = v.utc FROM v WHERE runs.id = v.id";
  };
  Statement full;
  for (size_t from = 0; from < starts.size(); from += kChunk) {
    const size_t rows = std::min(kChunk, starts.size() - from);
    Statement part;
    if (rows == kChunk && !full) full = db_.prepare(chunkSql(rows), error);
    if (rows < kChunk) part = db_.prepare(chunkSql(rows), error);
    Statement &up = rows == kChunk ? full : part;
    if (!up) return false;
    for (size_t k = 0; k < rows; ++k) {
      const std::string utc = detail::UtcInstant(starts[from + k].second);
      up.bind(static_cast<int>(2 * k + 1), starts[from + k].first);
      if (utc.empty())
        up.bindNull(static_cast<int>(2 * k + 2));
      else
        up.bind(static_cast<int>(2 * k + 2), utc);
    }
    if (!up.run()) {
      error = up.error();
      return false;
    }
    const size_t done = from + rows;
    if (done % 10000 == 0 || done == starts.size())
      tell(rt::format("results store %s: start instants of %zu of %zu runs", name_.c_str(), done,
                      starts.size()));
  }
  return true;
}

std::string Store::markProblem(std::string &said) {
  Identity id;
  std::string error;
  if (!identify(db_, id, error)) return refusal(error, false);
  switch (id.kind) {
    case Kind::Current:
      said = "a Tessock results store, version " + std::to_string(id.version);
      return {};
    case Kind::Older:
      said = "a Tessock results store of the older version " + std::to_string(id.version) +
             ", brought up to date when written (on a server by --init-store)";
      return {};
    case Kind::Empty:
      if (!db_.isServer()) {
        said = "no results store yet: the first run makes it";
        return {};
      }
      return "the results store is not set up (its administrator runs tessock-cli --results-db " +
             name_ + " --init-store)";
    case Kind::Newer:
      return "a results store of a newer version (" + std::to_string(id.version) +
             ", this program knows " + std::to_string(kVersion) + ")";
    case Kind::Foreign:
      break;
  }
  return "not a Tessock results store";
}

bool Store::open(std::string &reason, int busyMs) {
  refused_ = false;
  // A connection opened for the questions is read-only: a writer opens its own.
  if (db_.isOpen() && writable_ && !db_.lost()) return true;
  db_.close();
  standIn_ = writable_ = false;
  if (isServer()) {
    if (!db_.open(path_, Database::Mode::Write, busyMs, reason) || !recognise(true, reason)) {
      if (reason.rfind(name_, 0) != 0) reason = name_ + ": " + reason;
      db_.close();
      return false;
    }
    std::string ignored;
    db_.exec(detail::kStepStateIndex, ignored);
    db_.exec(detail::kFailedLinesIndex, ignored);
    db_.exec(detail::kNameRunIndex, ignored);
    writable_ = true;
    return true;
  }
  // Only a regular file is a store: SQLite would put its journal beside a device or a pipe.
  const rt::PathCheck existing = rt::checkPath(path_);
  if (existing.exists && !existing.problem.empty()) {
    reason = name_ + ": " + existing.problem;
    return false;
  }
  std::error_code ec;
  const fs::path folder = fs::path(path_).parent_path();
  if (!existing.exists && !folder.empty()) fs::create_directories(folder, ec);
  if (ec) {
    reason = name_ + ": " + ec.message();
    return false;
  }
  if (!db_.open(path_, Database::Mode::Write, busyMs, reason)) {
    reason = name_ + ": " + reason;
    return false;
  }
  if (!recognise(true, reason)) {
    db_.close();
    return false;
  }
  // Write-ahead log: a committed row is in the file the moment its statement returns, whatever
  // happens to the program afterwards, and a reader never blocks the bench.
  std::string why;
  if (!db_.exec("PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;",
                why)) {
    reason = name_ + ": " + why;
    db_.close();
    return false;
  }
  db_.exec(detail::kStepStateIndex, why);
  db_.exec(detail::kFailedLinesIndex, why);
  db_.exec(detail::kNameRunIndex, why);
  writable_ = true;
  return true;
}

bool Store::openReadOnly(std::string &reason) {
  if (db_.isOpen()) return true;
  writable_ = false;
  if (isServer()) {
    Identity id;
    std::string why;
    if (!db_.open(path_, Database::Mode::ReadOnly, 5000, why) || !identify(db_, id, why)) {
      reason = name_ + ": " + (db_.isOpen() ? refusal(why, false) : why);
      db_.close();
      return false;
    }
    if (id.kind != Kind::Empty) {
      if (recognise(false, reason)) return true;
      db_.close();
      return false;
    }
    // A database with no store in it yet answers as an empty store, as a missing file does,
    // until the store is made there.
    db_.close();
    if (!db_.openMemory(why) || !db_.exec(kSchema, why)) {
      reason = name_ + ": " + why;
      db_.close();
      return false;
    }
    version_ = kVersion;
    standIn_ = true;
    return true;
  }
  const rt::PathCheck existing = rt::checkPath(path_);
  bool empty = existing.missing;
  if (existing.exists && !existing.problem.empty()) {
    reason = name_ + ": " + existing.problem;
    return false;
  }
  if (!existing.exists && !existing.missing) {
    reason = name_ + ": " + existing.problem;
    return false;
  }
  if (!empty) {
    // A store in WAL mode on a read-only mount cannot have its -shm made: it is read as an
    // immutable file then (nothing can write it there anyway).
    std::string first;
    bool ok = db_.open(path_, Database::Mode::ReadOnly, 5000, first);
    Identity id;
    std::string probe;
    if (ok && !identify(db_, id, probe)) {
      db_.close();
      probe.clear();
      ok = db_.open(path_, Database::Mode::Immutable, 5000, first);
      if (ok && !identify(db_, id, probe)) {
        db_.close();
        reason = name_ + ": " + probe;
        return false;
      }
    }
    if (!ok) {
      reason = name_ + ": " + first;
      return false;
    }
    if (id.kind == Kind::Empty) {
      db_.close();
      empty = true;
    } else if (!recognise(false, reason)) {
      db_.close();
      return false;
    }
  }
  if (empty) {
    // Nothing stored yet: an empty store in memory answers, and no file is made.
    std::string why;
    if (!db_.openMemory(why) || !db_.exec(kSchema, why)) {
      reason = name_ + ": " + why;
      db_.close();
      return false;
    }
    version_ = kVersion;
  }
  standIn_ = empty;
  return true;
}

bool Store::ensureReadable(std::string &reason) {
  // The empty stand-in answered while there was no store; once the bench has made one (or
  // stored a run in an empty one), the questions read the store. A server connection that was
  // lost (the server restarted, or did not answer) is opened afresh.
  if (db_.isOpen() && (standIn_ || db_.lost() || (db_.isServer() && !db_.connection().alive())))
    db_.close();
  if (!db_.isOpen()) standIn_ = false;
  if (db_.isOpen() || openReadOnly(reason)) return true;
  reason = Redacted(reason, path_);
  return false;
}

std::string Store::startOrder() const {
  // The instant: runs of benches in different zones, and across a change of summer time, in the
  // order they started. Stores before version 4 know only the local text.
  return version_ >= 4 ? "COALESCE(runs.start_utc, '')" : "substr(runs.start, 1, 19)";
}

std::string Store::runColumns(bool counts) const {
  return std::string(
             "runs.id, runs.start, runs.variant, runs.report, COALESCE(runs.program, ''), "
             "COALESCE(runs.how, ''), COALESCE(runs.fail_copy, ''), runs.origin, "
             "COALESCE(runs.card, 0), COALESCE(runs.pcb_version, 0), runs.finished, "
             "COALESCE(runs.error_counts, 0), ") +
         (counts ? "(SELECT COUNT(*) FROM results r WHERE r.run_id = runs.id), "
                   "(SELECT COUNT(*) FROM results r WHERE r.run_id = runs.id AND r.passed = 0), "
                 : "0, 0, ") +
         detail::kVerdictExpr + (version_ >= 2 ? ", COALESCE(runs.reason, '')" : ", ''") +
         (version_ >= 3 ? ", COALESCE(runs.station, '')" : ", ''") +
         ", COALESCE(runs.board_barcode, '')" +
         (version_ >= 5 ? ", COALESCE(runs.steps_on, '-')" : ", '-'") +
         (version_ >= 6 ? ", COALESCE(runs.store_start, ''), COALESCE(runs.store_end, '')"
                        : ", '', ''");
}

}  // namespace history
