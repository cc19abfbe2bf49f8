#include "history/store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "functest/report.h"
#include "rt/format.h"

namespace history {

namespace fs = std::filesystem;

namespace {

// Schema version 1.
constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS runs(
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
  UNIQUE(report, start));
CREATE TABLE IF NOT EXISTS steps(
  id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  state INTEGER NOT NULL,
  title TEXT NOT NULL,
  clock REAL);
CREATE TABLE IF NOT EXISTS results(
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
CREATE INDEX IF NOT EXISTS results_run ON results(run_id, line);
CREATE INDEX IF NOT EXISTS results_name ON results(check_name);
CREATE INDEX IF NOT EXISTS steps_run ON steps(run_id);
PRAGMA user_version = 1;
)sql";

// The verdict a run shows: the end's verdict, or UNFINISHED while the run has no end.
constexpr const char *kVerdictExpr =
    "(CASE WHEN runs.finished = 0 THEN 'UNFINISHED' ELSE COALESCE(runs.verdict, '') END)";

bool isNumberWord(const std::string &w) {
  if (w.empty()) return false;
  std::string lower;
  for (char c : w) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t signless = (lower[0] == '+' || lower[0] == '-') ? 1 : 0;
  const std::string body = lower.substr(signless);
  if (body == "nan" || body == "inf" || body == "infinity") return true;
  if (body.empty() || !(std::isdigit(static_cast<unsigned char>(body[0])) || body[0] == '.'))
    return false;
  if (body.find_first_of("0123456789") == std::string::npos) return false;
  if (body.size() > 1 && body[0] == '0' && body[1] == 'x') return false;
  char *end = nullptr;
  std::strtod(w.c_str(), &end);
  return end && *end == '\0';
}

// The figures a record line may hold as null (JSON has no infinity or NaN).
std::optional<double> jsonNumber(const nlohmann::json &j, const char *key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::string jsonText(const nlohmann::json &j, const char *key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

long long jsonInt(const nlohmann::json &j, const char *key, long long fallback) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return fallback;
  const double v = it->get<double>();
  if (!(v >= -9.0e15 && v <= 9.0e15)) return fallback;
  return static_cast<long long>(v);
}

// "Mon Dec  7 09:15:02 2026" -> "2026-12-07T09:15:02"; empty when the text is not a ctime date.
std::string ctimeToIso(const std::string &text) {
  static const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char weekday[4] = {}, month[4] = {};
  int day = 0, h = 0, m = 0, s = 0, year = 0, used = 0;
  if (std::sscanf(text.c_str(), "%3s %3s %d %d:%d:%d %d%n", weekday, month, &day, &h, &m, &s, &year,
                  &used) != 7)
    return {};
  int mon = 0;
  while (mon < 12 && std::strcmp(kMonths[mon], month) != 0) ++mon;
  if (mon == 12 || day < 1 || day > 31 || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 60 ||
      year < 1900 || year > 9999)
    return {};
  return rt::format("%04d-%02d-%02dT%02d:%02d:%02d", year, mon + 1, day, h, m, s);
}

bool validDate(const std::string &d) {
  static const std::regex kDate("[0-9]{4}-[0-9]{2}-[0-9]{2}");
  if (!std::regex_match(d, kDate)) return false;
  const int month = std::atoi(d.substr(5, 2).c_str()), day = std::atoi(d.substr(8, 2).c_str());
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The WHERE clause of a filter over `runs`, with its parameters in order.
struct Where {
  std::string sql;
  std::vector<std::string> texts;
  std::optional<long long> card;
};

Where whereOf(const Filter &f) {
  Where w;
  w.sql = " WHERE 1 = 1";
  // Parameters: card first (index 1) when present, then the texts in order.
  if (f.card) {
    w.sql += " AND runs.card = ?1";
    w.card = f.card;
  }
  auto text = [&](const std::string &clause, const std::string &value) {
    w.texts.push_back(value);
    w.sql += " AND " + clause + " ?" + std::to_string(1 + w.texts.size());
  };
  if (!f.from.empty()) text("substr(runs.start, 1, 10) >=", f.from);
  if (!f.to.empty()) text("substr(runs.start, 1, 10) <=", f.to);
  if (!f.verdict.empty()) text(std::string(kVerdictExpr) + " =", upper(f.verdict));
  if (!f.check.empty()) {
    w.texts.push_back(f.check);
    w.sql +=
        " AND EXISTS (SELECT 1 FROM results x WHERE x.run_id = runs.id AND instr("
        "x.check_text, ?" +
        std::to_string(1 + w.texts.size()) + ") > 0)";
  }
  return w;
}

void bindWhere(Statement &st, const Where &w, int firstText = 2) {
  if (w.card) st.bind(1, *w.card);
  for (size_t k = 0; k < w.texts.size(); ++k) st.bind(firstText + static_cast<int>(k), w.texts[k]);
}

constexpr const char *kRunColumns =
    "runs.id, runs.start, runs.variant, runs.report, COALESCE(runs.program, ''), "
    "COALESCE(runs.how, ''), COALESCE(runs.fail_copy, ''), runs.origin, COALESCE(runs.card, 0), "
    "COALESCE(runs.pcb_version, 0), runs.finished, COALESCE(runs.error_counts, 0), "
    "(SELECT COUNT(*) FROM results r WHERE r.run_id = runs.id), "
    "(SELECT COUNT(*) FROM results r WHERE r.run_id = runs.id AND r.passed = 0), ";

RunRow runFrom(const Statement &st) {
  RunRow r;
  r.id = st.integer(0);
  r.start = st.text(1);
  r.variant = st.text(2);
  r.report = st.text(3);
  r.program = st.text(4);
  r.how = st.text(5);
  r.failCopy = st.text(6);
  r.origin = st.text(7);
  r.card = st.integer(8);
  r.pcbVersion = static_cast<int>(st.integer(9));
  r.finished = st.integer(10) != 0;
  r.errorCounts = st.real(11);
  r.resultLines = static_cast<int>(st.integer(12));
  r.failedLines = static_cast<int>(st.integer(13));
  r.verdict = st.text(14);
  return r;
}

constexpr const char *kResultColumns =
    "results.run_id, COALESCE(results.step_id, 0), results.line, COALESCE(results.state, -1), "
    "COALESCE(results.step, ''), results.check_text, results.check_name, "
    "COALESCE(results.unit, ''), results.passed, results.weight, COALESCE(results.clock, 0), "
    "results.value, results.low, results.high";

ResultRow resultFrom(const Statement &st, int base) {
  ResultRow r;
  r.runId = st.integer(base + 0);
  r.stepId = st.integer(base + 1);
  r.line = static_cast<int>(st.integer(base + 2));
  r.state = static_cast<int>(st.integer(base + 3));
  r.step = st.text(base + 4);
  r.check = st.text(base + 5);
  r.name = st.text(base + 6);
  r.unit = st.text(base + 7);
  r.passed = st.integer(base + 8) != 0;
  r.weight = static_cast<int>(st.integer(base + 9));
  r.clock = st.real(base + 10);
  r.value = st.optionalReal(base + 11);
  r.low = st.optionalReal(base + 12);
  r.high = st.optionalReal(base + 13);
  return r;
}

}  // namespace

std::string defaultStorePath() {
  const char *xdg = std::getenv("XDG_DATA_HOME");
  fs::path base;
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char *home = std::getenv("HOME");
    base = fs::path(home && home[0] ? home : ".") / ".local" / "share";
  }
  return (base / "tessock" / "results.sqlite").string();
}

std::string CheckName(const std::string &checkText) {
  std::string out;
  std::istringstream words(checkText);
  std::string w;
  while (words >> w) {
    // The number may stand in brackets or before a separator: "(0.000010", "12.5]", "3,".
    size_t a = 0, b = w.size();
    while (a < b && std::strchr("([{", w[a])) ++a;
    while (b > a && std::strchr(")]},;", w[b - 1])) --b;
    std::string core = w.substr(a, b - a);
    if (isNumberWord(core)) w = w.substr(0, a) + "#" + w.substr(b);
    if (!out.empty()) out += ' ';
    out += w;
  }
  return out;
}

bool ValidFilter(const Filter &f, std::string &error) {
  for (const std::string *d : {&f.from, &f.to})
    if (!d->empty() && !validDate(*d)) {
      error = "date '" + *d + "' is not YYYY-MM-DD";
      return false;
    }
  const std::string v = upper(f.verdict);
  if (!v.empty() && v != "PASSED" && v != "FAILED" && v != "UNFINISHED") {
    error = "verdict '" + f.verdict + "' is not PASSED, FAILED or UNFINISHED";
    return false;
  }
  return true;
}

// ------------------------------------------------------------------------------ opening

Store::Store(std::string path) : path_(path.empty() ? defaultStorePath() : std::move(path)) {}

Store::~Store() = default;

bool Store::open(std::string &reason) {
  if (db_.isOpen()) return true;
  std::error_code ec;
  const fs::path folder = fs::path(path_).parent_path();
  if (!folder.empty()) fs::create_directories(folder, ec);
  if (ec) {
    reason = path_ + ": " + ec.message();
    return false;
  }
  if (!db_.open(path_, reason)) {
    reason = path_ + ": " + reason;
    return false;
  }
  // Write-ahead log: a committed row is in the file the moment its statement returns, whatever
  // happens to the program afterwards, and a reader never blocks the bench.
  std::string why;
  if (!db_.exec("PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;",
                why) ||
      !db_.exec(kSchema, why)) {
    reason = path_ + ": " + why;
    db_.close();
    return false;
  }
  return true;
}

bool Store::ensureOpen(std::string &reason) { return db_.isOpen() || open(reason); }

struct Store::NewRun {
  std::string variant, start;
  std::optional<long long> card;
  std::string barcodes[5];
  std::optional<long long> pcb;
  std::string comments, report, program, origin;
};

long long Store::insertRun(const NewRun &n, std::string &reason) {
  Statement st = db_.prepare(
      "INSERT OR IGNORE INTO runs(variant, start, card, device_barcode1, device_barcode2, "
      "board_barcode, otr1_barcode, otr2_barcode, pcb_version, comments, report, program, origin) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)",
      reason);
  if (!st) return 0;
  st.bind(1, n.variant).bind(2, n.start);
  if (n.card) st.bind(3, *n.card);
  for (int k = 0; k < 5; ++k) st.bind(4 + k, n.barcodes[k]);
  if (n.pcb) st.bind(9, *n.pcb);
  st.bind(10, n.comments).bind(11, n.report).bind(12, n.program).bind(13, n.origin);
  if (!st.run()) {
    reason = st.error();
    return 0;
  }
  return db_.changes() > 0 ? db_.lastInsertId() : 0;
}

bool Store::insertResult(long long runId, long long stepId, int line, const ResultRow &r,
                         std::string &reason) {
  Statement st = db_.prepare(
      "INSERT INTO results(run_id, step_id, line, state, step, check_text, check_name, passed, "
      "weight, clock, value, unit, low, high) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)",
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
  if (!st.run()) {
    reason = st.error();
    return false;
  }
  return true;
}

// ------------------------------------------------------------------------------ the live run

std::string Store::runBegun(const functest::RunEvent &run) {
  liveRun_ = liveStep_ = 0;
  liveLine_ = 0;
  std::string reason;
  if (!ensureOpen(reason)) return reason;
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
  liveRun_ = insertRun(n, reason);
  if (!liveRun_ && reason.empty())
    reason = path_ + ": a run of " + run.report + " started " + run.start + " is already stored";
  return liveRun_ ? std::string() : reason;
}

std::string Store::stepBegun(int state, const std::string &title, double clock) {
  if (!liveRun_) return {};  // the run's own problem has been said
  std::string reason;
  Statement st =
      db_.prepare("INSERT INTO steps(run_id, state, title, clock) VALUES(?1, ?2, ?3, ?4)", reason);
  if (!st) return path_ + ": " + reason;
  st.bind(1, liveRun_).bind(2, static_cast<long long>(state)).bind(3, title).bind(4, clock);
  if (!st.run()) return path_ + ": " + st.error();
  liveStep_ = db_.lastInsertId();
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
  if (!insertResult(liveRun_, liveStep_, ++liveLine_, r, reason)) return path_ + ": " + reason;
  return {};
}

std::string Store::runEnded(const functest::EndEvent &e) {
  if (!liveRun_) return {};
  const long long id = liveRun_;
  liveRun_ = liveStep_ = 0;
  std::string reason;
  Statement st = db_.prepare(
      "UPDATE runs SET finished = 1, verdict = ?2, error_counts = ?3, how = ?4, fail_copy = ?5 "
      "WHERE id = ?1",
      reason);
  if (!st) return path_ + ": " + reason;
  st.bind(1, id).bind(2, std::string(e.errorCounts > 0 ? "FAILED" : "PASSED"));
  st.bind(3, e.errorCounts).bind(4, std::string(e.stopped ? "stopped" : "ended"));
  if (!e.failCopy.empty()) st.bind(5, e.failCopy);
  if (!st.run()) return path_ + ": " + st.error();
  return {};
}

// ------------------------------------------------------------------------------ import

ImportSummary Store::importFolder(const std::string &folder) {
  ImportSummary summary;
  std::string reason;
  if (!ensureOpen(reason)) {
    summary.problems.push_back(reason);
    return summary;
  }
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    summary.problems.push_back(folder + ": not a folder");
    return summary;
  }
  static const std::regex kReportName(".*_DN_-?[0-9]+_[0-9]+\\.txt");
  std::vector<fs::path> records, reports;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code fileEc;
    if (!it->is_regular_file(fileEc)) continue;
    const fs::path &p = it->path();
    const std::string name = p.filename().string();
    if (p.extension() == ".jsonl")
      records.push_back(p);
    else if (std::regex_match(name, kReportName))
      reports.push_back(p);
  }
  if (ec) summary.problems.push_back(folder + ": " + ec.message());
  std::sort(records.begin(), records.end());
  std::sort(reports.begin(), reports.end());
  for (const fs::path &p : records) importRecord(p.string(), summary);
  for (const fs::path &p : reports) {
    std::error_code e2;
    if (fs::exists(functest::RecordPathFor(p.string()), e2)) continue;  // the record says more
    importReport(p.string(), summary);
  }
  return summary;
}

namespace {

// A file's lines, read whole; false when it cannot be read or is beyond `limit` bytes.
bool readLines(const std::string &path, std::vector<std::string> &lines, std::string &problem) {
  constexpr std::uintmax_t kLimit = 256u << 20;
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) {
    problem = ec.message();
    return false;
  }
  if (size > kLimit) {
    problem = "larger than 256 MiB";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = std::strerror(errno);
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return true;
}

}  // namespace

void Store::importRecord(const std::string &path, ImportSummary &summary) {
  std::vector<std::string> lines;
  std::string problem;
  if (!readLines(path, lines, problem)) {
    summary.problems.push_back(path + ": " + problem);
    return;
  }
  ++summary.files;
  Transaction tx(db_);
  if (!tx.ok()) {
    summary.problems.push_back(path + ": " + tx.error());
    return;
  }
  long long run = 0, step = 0;
  bool skipping = false;  // inside a run the store already holds
  int line = 0, added = 0, runs = 0;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (lines[k].empty()) continue;
    const std::string where = path + ": line " + std::to_string(k + 1) + ": ";
    const nlohmann::json j = nlohmann::json::parse(lines[k], nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      summary.problems.push_back(where + "not a JSON object");
      continue;
    }
    const std::string type = jsonText(j, "type");
    std::string reason;
    if (type == "run") {
      NewRun n;
      n.variant = jsonText(j, "variant");
      n.start = jsonText(j, "start");
      n.report = jsonText(j, "report");
      if (n.report.empty()) n.report = path;
      if (j.contains("cardNumber")) n.card = jsonInt(j, "cardNumber", 0);
      if (j.contains("pcbVersion")) n.pcb = jsonInt(j, "pcbVersion", 0);
      if (auto b = j.find("barcodes"); b != j.end() && b->is_object()) {
        const char *keys[5] = {"device1", "device2", "board", "otr1", "otr2"};
        for (int i = 0; i < 5; ++i) n.barcodes[i] = jsonText(*b, keys[i]);
      }
      if (auto c = j.find("comments"); c != j.end() && c->is_array())
        for (const auto &line : *c)
          if (line.is_string())
            n.comments += (n.comments.empty() ? "" : "\n") + line.get<std::string>();
      n.program = jsonText(j, "program");
      n.origin = "record";
      step = 0;
      line = 0;
      run = insertRun(n, reason);
      skipping = run == 0 && reason.empty();
      if (skipping) ++summary.known;
      if (run) ++runs;
      if (!reason.empty()) summary.problems.push_back(where + reason);
    } else if (skipping) {
      continue;
    } else if (!run) {
      summary.problems.push_back(where + "a " + type + " line before any run line");
    } else if (type == "step") {
      Statement st = db_.prepare(
          "INSERT INTO steps(run_id, state, title, clock) VALUES(?1, ?2, ?3, ?4)", reason);
      if (st) {
        st.bind(1, run).bind(2, jsonInt(j, "state", -1)).bind(3, jsonText(j, "title"));
        st.bind(4, jsonNumber(j, "clock"));
        if (st.run()) step = db_.lastInsertId();
      }
    } else if (type == "result") {
      ResultRow r;
      r.state = static_cast<int>(jsonInt(j, "state", -1));
      r.step = jsonText(j, "step");
      r.check = jsonText(j, "check");
      r.passed = j.value("passed", false);
      r.weight = static_cast<int>(jsonInt(j, "weight", 1));
      r.clock = jsonNumber(j, "clock").value_or(0);
      r.value = jsonNumber(j, "value");
      r.unit = jsonText(j, "unit");
      r.low = jsonNumber(j, "low");
      r.high = jsonNumber(j, "high");
      if (insertResult(run, step, ++line, r, reason)) ++added;
    } else if (type == "end") {
      Statement st = db_.prepare(
          "UPDATE runs SET finished = 1, verdict = ?2, error_counts = ?3, how = ?4, "
          "fail_copy = ?5 WHERE id = ?1",
          reason);
      if (st) {
        const double errors = jsonNumber(j, "errorCounts").value_or(0);
        std::string verdict = jsonText(j, "verdict");
        if (verdict.empty()) verdict = errors > 0 ? "FAILED" : "PASSED";
        st.bind(1, run).bind(2, verdict).bind(3, errors).bind(4, jsonText(j, "how"));
        if (!jsonText(j, "failCopy").empty()) st.bind(5, jsonText(j, "failCopy"));
        st.run();
      }
      run = 0;
    } else {
      summary.problems.push_back(where + "unknown line type '" + type + "'");
    }
    if (!reason.empty() && type != "run") summary.problems.push_back(where + reason);
  }
  if (!tx.commit()) {
    summary.problems.push_back(path + ": " + tx.error());
    return;
  }
  summary.runs += runs;
  summary.results += added;
}

void Store::importReport(const std::string &path, ImportSummary &summary) {
  std::vector<std::string> lines;
  std::string problem;
  if (!readLines(path, lines, problem)) {
    summary.problems.push_back(path + ": " + problem);
    return;
  }
  ++summary.files;
  NewRun n;
  n.origin = "report";
  n.report = !lines.empty() && !lines[0].empty() ? lines[0] : path;
  std::vector<ResultRow> results;
  bool inComments = false;
  for (size_t k = 0; k < lines.size(); ++k) {
    const std::string &l = lines[k];
    int number = 0;
    if (n.start.empty() && k < 12) n.start = ctimeToIso(l);
    if (std::sscanf(l.c_str(), "Device number send through the fiber : %d", &number) == 1 &&
        !n.card)
      n.card = number;
    else if (std::sscanf(l.c_str(), "PCB version : NVB-31207-V%d", &number) == 1 && !n.pcb)
      n.pcb = number;
    if (l == "Comments :" && results.empty()) {
      inComments = true;
      continue;
    }
    if (inComments) {
      if (l == " " || l == functest::kDashes61) {
        inComments = false;
      } else {
        n.comments += (n.comments.empty() ? "" : "\n") + l;
      }
      continue;
    }
    ResultRow r;
    if (l.rfind("PASSED : ", 0) == 0) {
      r.passed = true;
      r.check = l.substr(9);
    } else if (l.rfind("***FAILED : ", 0) == 0) {
      r.check = l.substr(12);
    } else {
      continue;
    }
    results.push_back(r);
  }
  if (n.start.empty()) {
    summary.problems.push_back(path + ": no test date in the header; the run is not imported");
    return;
  }
  Transaction tx(db_);
  if (!tx.ok()) {
    summary.problems.push_back(path + ": " + tx.error());
    return;
  }
  std::string reason;
  const long long run = insertRun(n, reason);
  if (!run) {
    if (reason.empty())
      ++summary.known;
    else
      summary.problems.push_back(path + ": " + reason);
    return;
  }
  int line = 0, failed = 0;
  for (const ResultRow &r : results) {
    if (!insertResult(run, 0, ++line, r, reason)) {
      summary.problems.push_back(path + ": " + reason);
      return;
    }
    failed += r.passed ? 0 : 1;
  }
  // A text report does not say whether the run reached its end: its verdict is its lines'.
  Statement st = db_.prepare(
      "UPDATE runs SET finished = 1, verdict = ?2, error_counts = ?3, how = 'report' WHERE id = ?1",
      reason);
  if (!st || !st.bind(1, run)
                  .bind(2, std::string(failed ? "FAILED" : "PASSED"))
                  .bind(3, static_cast<double>(failed))
                  .run()) {
    summary.problems.push_back(path + ": " + (st ? st.error() : reason));
    return;
  }
  if (!tx.commit()) {
    summary.problems.push_back(path + ": " + tx.error());
    return;
  }
  ++summary.runs;
  summary.results += static_cast<int>(results.size());
}

// ------------------------------------------------------------------------------ questions

std::vector<RunRow> Store::runs(const Filter &filter, std::string &error) {
  std::vector<RunRow> out;
  if (!ensureOpen(error)) return out;
  const Where w = whereOf(filter);
  Statement st = db_.prepare(std::string("SELECT ") + kRunColumns + kVerdictExpr + " FROM runs" +
                                 w.sql + " ORDER BY substr(runs.start, 1, 19), runs.id",
                             error);
  if (!st) return out;
  bindWhere(st, w);
  while (st.step()) out.push_back(runFrom(st));
  if (!st.error().empty()) error = st.error();
  return out;
}

std::vector<StepRow> Store::steps(long long runId, std::string &error) {
  std::vector<StepRow> out;
  if (!ensureOpen(error)) return out;
  Statement st = db_.prepare(
      "SELECT id, state, title, COALESCE(clock, 0) FROM steps WHERE run_id = ?1 ORDER BY id",
      error);
  if (!st) return out;
  st.bind(1, runId);
  while (st.step())
    out.push_back({st.integer(0), static_cast<int>(st.integer(1)), st.text(2), st.real(3)});
  if (!st.error().empty()) error = st.error();
  return out;
}

std::vector<ResultRow> Store::results(long long runId, std::string &error) {
  std::vector<ResultRow> out;
  if (!ensureOpen(error)) return out;
  Statement st = db_.prepare(
      std::string("SELECT ") + kResultColumns + " FROM results WHERE run_id = ?1 ORDER BY line",
      error);
  if (!st) return out;
  st.bind(1, runId);
  while (st.step()) out.push_back(resultFrom(st, 0));
  if (!st.error().empty()) error = st.error();
  return out;
}

std::vector<FailureRow> Store::failures(const Filter &filter, std::string &error) {
  std::vector<FailureRow> out;
  if (!ensureOpen(error)) return out;
  const Where w = whereOf(filter);
  Statement st = db_.prepare(
      "SELECT results.check_name, SUM(results.passed = 0), COUNT(*), "
      "COUNT(DISTINCT CASE WHEN results.passed = 0 THEN results.run_id END) "
      "FROM results JOIN runs ON runs.id = results.run_id" +
          w.sql +
          " GROUP BY results.check_name HAVING SUM(results.passed = 0) > 0 "
          "ORDER BY 2 DESC, 4 DESC, 1",
      error);
  if (!st) return out;
  bindWhere(st, w);
  while (st.step())
    out.push_back({st.text(0), static_cast<int>(st.integer(1)), static_cast<int>(st.integer(2)),
                   static_cast<int>(st.integer(3))});
  if (!st.error().empty()) error = st.error();
  return out;
}

std::vector<ValueRow> Store::values(const std::string &check, const Filter &filter,
                                    std::string &error) {
  std::vector<ValueRow> out;
  if (!ensureOpen(error)) return out;
  const Where w = whereOf(filter);
  const std::string checkParam = "?" + std::to_string(2 + w.texts.size());
  Statement st =
      db_.prepare(std::string("SELECT ") + kRunColumns + kVerdictExpr + ", " + kResultColumns +
                      " FROM results JOIN runs ON runs.id = results.run_id" + w.sql +
                      " AND results.value IS NOT NULL AND instr(results.check_name, " + checkParam +
                      ") > 0 ORDER BY results.check_name, substr(runs.start, 1, 19), runs.id, "
                      "results.line",
                  error);
  if (!st) return out;
  bindWhere(st, w);
  st.bind(2 + static_cast<int>(w.texts.size()), check);
  while (st.step()) out.push_back({runFrom(st), resultFrom(st, 15)});
  if (!st.error().empty()) error = st.error();
  return out;
}

}  // namespace history
