// The questions of the results store: runs, their steps and lines, the failures ranked and the
// measured values of a check, over the runs a filter selects.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "functest/sequencer.h"
#include "functest/verdict.h"
#include "history/store_internal.h"

namespace history {

namespace {

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

// Every check name of the store, in order, found by walking the name index from one name to the
// next (a few lookups per name instead of a scan of every result line).
constexpr const char *kNameWalk =
    "WITH RECURSIVE names(n) AS (SELECT MIN(check_name) FROM results UNION ALL SELECT "
    "(SELECT MIN(check_name) FROM results WHERE check_name > names.n) FROM names WHERE "
    "names.n IS NOT NULL) SELECT n FROM names WHERE n IS NOT NULL";

// A text's words that can be part of a number a check name shows as "#" (with the brackets and
// separators CheckName keeps beside it).
constexpr const char *kNumberChars = "0123456789.+-eEiInNfFaAtTyY([{)]},;";
bool mayBeInNumber(const std::string &word) {
  return word.find_first_not_of(kNumberChars) == std::string::npos;
}

// What the check name of every check text that contains `text` contains too, so that the names
// to look at are found in the name index first; nullopt when nothing can be told (a number, a
// piece of one, or blanks alone). A word of `text` with a blank or its end on both sides stands
// whole in the check text, and as CheckName makes it in the name; a piece at either end is kept
// as it is, unless it may be part of a number (then only the blank beside it remains).
// `decides`: a name holds it exactly when the text does (one word, no blank, that no number can
// hold: it stands in a word the name keeps as it is), so the lines' texts need not be read.
struct NamePattern {
  std::string text;
  bool decides = false;
};
std::optional<NamePattern> namePattern(const std::string &text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) return std::nullopt;
  if (words.size() == 1 && words[0] == text &&
      text.find_first_not_of(std::string(kNumberChars) + "#") != std::string::npos)
    return NamePattern{text, true};
  const bool blankFirst = std::isspace(static_cast<unsigned char>(text.front())) != 0;
  const bool blankLast = std::isspace(static_cast<unsigned char>(text.back())) != 0;
  NamePattern pattern;
  bool anchored = false;  // a word of the pattern is more than a blank
  for (size_t k = 0; k < words.size(); ++k) {
    const bool whole = (k > 0 || blankFirst) && (k + 1 < words.size() || blankLast);
    std::string form = whole ? CheckName(words[k]) : words[k];
    if (!whole && mayBeInNumber(words[k])) form.clear();
    anchored |= !form.empty();
    if (k > 0) pattern.text += ' ';
    pattern.text += form;
  }
  if (!anchored) return std::nullopt;
  return pattern;
}

// The check filter looks at the lines of these names only; above this many it reads every line.
constexpr size_t kMostNames = 500;

// The WHERE clause of a filter over `runs`, with its parameters in order.
struct Where {
  std::string sql;
  std::vector<std::string> texts;
  std::optional<long long> card;
};

// The lines the check filter looks at: those of these names, whose texts are read unless the
// names decide.
struct CheckLines {
  std::vector<std::string> names;
  bool decides = false;
};

// `lines`: where the check filter looks, when known; else it reads every line.
Where whereOf(const Filter &f, int version, const std::optional<CheckLines> &lines) {
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
  if (!f.verdict.empty()) text(std::string(detail::kVerdictExpr) + " =", detail::Upper(f.verdict));
  if (!f.station.empty()) text(version >= 3 ? "COALESCE(runs.station, '') =" : "'' =", f.station);
  if (!f.board.empty()) text("runs.board_barcode =", f.board);
  if (f.check.empty()) return w;
  if (!lines) {
    w.texts.push_back(f.check);
    w.sql +=
        " AND EXISTS (SELECT 1 FROM results x WHERE x.run_id = runs.id AND instr("
        "x.check_text, ?" +
        std::to_string(1 + w.texts.size()) + ") > 0)";
  } else if (lines->names.empty()) {
    w.sql += " AND 1 = 0";
  } else {
    // The runs of the lines of those names (through the index of names and runs), whose text
    // holds it.
    w.sql += " AND runs.id IN (SELECT x.run_id FROM results x WHERE x.check_name IN (";
    for (size_t k = 0; k < lines->names.size(); ++k) {
      w.texts.push_back(lines->names[k]);
      w.sql += (k ? ", ?" : "?") + std::to_string(1 + w.texts.size());
    }
    w.sql += ")";
    if (!lines->decides) {
      w.texts.push_back(f.check);
      w.sql += " AND instr(x.check_text, ?" + std::to_string(1 + w.texts.size()) + ") > 0";
    }
    w.sql += ")";
  }
  return w;
}

// The filter's clause on this store: the names of the check filter's lines looked up first.
bool whereFor(Database &db, const Filter &f, int version, Where &w, std::string &error) {
  std::optional<CheckLines> lines;
  const std::optional<NamePattern> pattern = f.check.empty() ? std::nullopt : namePattern(f.check);
  if (pattern) {
    Statement st = db.prepare(std::string(kNameWalk) + " AND instr(n, ?1) > 0", error);
    if (!st) return false;
    st.bind(1, pattern->text);
    lines.emplace();
    lines->decides = pattern->decides;
    while (st.step()) lines->names.push_back(st.text(0));
    if (!st.error().empty()) return (error = st.error()), false;
    if (lines->names.size() > kMostNames) lines.reset();
  }
  w = whereOf(f, version, lines);
  return true;
}

void bindWhere(Statement &st, const Where &w, int firstText = 2) {
  if (w.card) st.bind(1, *w.card);
  for (size_t k = 0; k < w.texts.size(); ++k) st.bind(firstText + static_cast<int>(k), w.texts[k]);
}

// How many columns runColumns() gives and runFrom() reads: what a question asks after them
// starts there.
constexpr int kRunColumnCount = 21;

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
  r.reason = st.text(15);
  // Runs stored by older versions of the program are shown by today's rule.
  r.verdict = functest::VerdictOfRun({.ended = r.finished,
                                      .stopped = r.how == "stopped",
                                      .written = st.text(14),
                                      .errorCounts = r.errorCounts})
                  .verdict;
  r.station = st.text(16);
  r.board = st.text(17);
  r.stepsOn = functest::ParseSteps(st.text(18));
  r.storeStart = st.text(19);
  r.storeEnd = st.text(20);
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

std::vector<RunRow> Store::runs(const Filter &filter, std::string &error) {
  return runs(filter, 0, 0, error);
}

std::vector<RunRow> Store::runs(const Filter &filter, size_t offset, size_t limit,
                                std::string &error) {
  std::vector<RunRow> out;
  if (!ensureReadable(error)) return out;
  Where w;
  if (!whereFor(db_, filter, version_, w, error)) {
    error = name_ + ": " + error;
    return out;
  }
  const std::string page =
      limit ? rt::format(" LIMIT %zu OFFSET %zu", limit, offset) : std::string();
  Statement st = db_.prepare("SELECT " + runColumns() + " FROM runs" + w.sql + " ORDER BY " +
                                 startOrder() + ", runs.id" + page,
                             error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  bindWhere(st, w);
  while (st.step()) out.push_back(runFrom(st));
  if (!st.error().empty()) error = st.error();
  if (!error.empty() && error.rfind(name_, 0) != 0) error = name_ + ": " + error;
  return out;
}

long long Store::countRuns(const Filter &filter, std::string &error) {
  if (!ensureReadable(error)) return 0;
  Where w;
  if (!whereFor(db_, filter, version_, w, error)) {
    error = name_ + ": " + error;
    return 0;
  }
  Statement st = db_.prepare("SELECT COUNT(*) FROM runs" + w.sql, error);
  if (!st) {
    error = name_ + ": " + error;
    return 0;
  }
  bindWhere(st, w);
  const long long n = st.step() ? st.integer(0) : 0;
  if (!st.error().empty()) error = name_ + ": " + st.error();
  return n;
}

std::vector<std::string> Store::checkNames(std::string &error) {
  std::vector<std::string> out;
  if (!ensureReadable(error)) return out;
  Statement st = db_.prepare(kNameWalk, error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  while (st.step()) out.push_back(st.text(0));
  if (!st.error().empty()) {
    error = name_ + ": " + st.error();
    out.clear();
  }
  return out;
}

std::vector<StepRow> Store::steps(long long runId, std::string &error) {
  std::vector<StepRow> out;
  if (!ensureReadable(error)) return out;
  Statement st = db_.prepare(
      "SELECT id, state, title, COALESCE(clock, 0) FROM steps WHERE run_id = ?1 ORDER BY id",
      error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  st.bind(1, runId);
  while (st.step())
    out.push_back({st.integer(0), static_cast<int>(st.integer(1)), st.text(2), st.real(3)});
  if (!st.error().empty()) error = st.error();
  if (!error.empty() && error.rfind(name_, 0) != 0) error = name_ + ": " + error;
  return out;
}

std::vector<ResultRow> Store::results(long long runId, std::string &error) {
  std::vector<ResultRow> out;
  if (!ensureReadable(error)) return out;
  Statement st = db_.prepare(
      std::string("SELECT ") + kResultColumns + " FROM results WHERE run_id = ?1 ORDER BY line",
      error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  st.bind(1, runId);
  while (st.step()) out.push_back(resultFrom(st, 0));
  if (!st.error().empty()) error = st.error();
  if (!error.empty() && error.rfind(name_, 0) != 0) error = name_ + ": " + error;
  return out;
}

bool Store::linesOfRuns(const std::vector<long long> &runIds,
                        const std::function<bool(long long, const std::vector<StepRow> &,
                                                 const std::vector<ResultRow> &)> &each,
                        std::string &error) {
  if (!ensureReadable(error)) return false;
  const auto failed = [&](const std::string &why) {
    error = why.rfind(name_, 0) == 0 ? why : name_ + ": " + why;
    return false;
  };
  // Two questions per batch instead of two per run: a month's export is thousands of runs, and
  // on a server each question is a round trip.
  constexpr size_t kBatch = 256;
  for (size_t from = 0; from < runIds.size(); from += kBatch) {
    const size_t to = std::min(runIds.size(), from + kBatch);
    std::string ids;
    for (size_t k = from; k < to; ++k) ids += (k == from ? "" : ",") + std::to_string(runIds[k]);
    std::map<long long, std::vector<StepRow>> steps;
    std::map<long long, std::vector<ResultRow>> results;
    {
      Statement st = db_.prepare(
          "SELECT run_id, id, state, title, COALESCE(clock, 0) FROM steps "
          "WHERE run_id IN (" +
              ids + ") ORDER BY run_id, id",
          error);
      if (!st) return failed(error);
      while (st.step())
        steps[st.integer(0)].push_back(
            {st.integer(1), static_cast<int>(st.integer(2)), st.text(3), st.real(4)});
      if (!st.error().empty()) return failed(st.error());
    }
    {
      Statement st =
          db_.prepare(std::string("SELECT run_id, ") + kResultColumns +
                          " FROM results WHERE run_id IN (" + ids + ") ORDER BY run_id, line",
                      error);
      if (!st) return failed(error);
      while (st.step()) results[st.integer(0)].push_back(resultFrom(st, 1));
      if (!st.error().empty()) return failed(st.error());
    }
    // A run asked for twice gets its lines both times.
    for (size_t k = from; k < to; ++k)
      if (!each(runIds[k], steps[runIds[k]], results[runIds[k]])) return false;
  }
  return true;
}

// The failed lines by name (for `failures`) and by run (each run's count of failed lines); failed
// lines are few in a store of mostly good runs, so both stay small.
const char *const detail::kNameRunIndex =
    "CREATE INDEX IF NOT EXISTS results_name_run ON results(check_name, run_id)";

const char *const detail::kFailedLinesIndex =
    "CREATE INDEX IF NOT EXISTS results_failed ON results(check_name, run_id) WHERE passed = 0; "
    "CREATE INDEX IF NOT EXISTS results_failed_run ON results(run_id) WHERE passed = 0";

std::vector<FailureRow> Store::failures(const Filter &filter, std::string &error, bool perStation) {
  std::vector<FailureRow> out;
  if (!ensureReadable(error)) return out;
  Where w;
  if (!whereFor(db_, filter, version_, w, error)) {
    error = name_ + ": " + error;
    return out;
  }
  const std::string station =
      perStation && version_ >= 3 ? "COALESCE(runs.station, '')" : std::string("''");
  const std::string by = perStation ? "1, 2" : "2";
  // The failed lines first, through the index of failed lines (a few in a store of mostly good
  // runs), then, for each name (and station) that failed, its lines checked, through the index
  // of names and runs: the cost follows the failures and their checks, not every line of the
  // store. (A join of the failed names with the lines had PostgreSQL read every line: it cannot
  // tell that few names failed.) The filter's parameters serve both under the same numbers.
  Statement st = db_.prepare(
      "WITH f AS (SELECT " + station +
          " AS station, results.check_name AS name, COUNT(*) AS failed, COUNT(DISTINCT "
          "results.run_id) AS runs FROM results JOIN runs ON runs.id = results.run_id" +
          w.sql + " AND results.passed = 0 GROUP BY " + by +
          ") SELECT f.station, f.name, f.failed, (SELECT COUNT(*) FROM results JOIN runs ON "
          "runs.id = results.run_id" +
          w.sql + " AND results.check_name = f.name AND " + station +
          " = f.station), f.runs FROM f ORDER BY 1, 3 DESC, 5 DESC, 2",
      error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  bindWhere(st, w);
  while (st.step())
    out.push_back({st.text(0), st.text(1), static_cast<int>(st.integer(2)),
                   static_cast<int>(st.integer(3)), static_cast<int>(st.integer(4))});
  if (!st.error().empty()) error = st.error();
  if (!error.empty() && error.rfind(name_, 0) != 0) error = name_ + ": " + error;
  return out;
}

namespace {

// "YYYY-Www", the ISO 8601 week of a date "YYYY-MM-DD" (the week of its Thursday).
std::string isoWeek(const std::string &date) {
  using namespace std::chrono;
  const year_month_day ymd{year{std::atoi(date.substr(0, 4).c_str())},
                           month{static_cast<unsigned>(std::atoi(date.substr(5, 2).c_str()))},
                           day{static_cast<unsigned>(std::atoi(date.substr(8, 2).c_str()))}};
  if (!ymd.ok()) return date;
  const sys_days d{ymd};
  const unsigned iso = weekday{d}.iso_encoding();  // Monday 1 .. Sunday 7
  const sys_days thursday = d + days{4 - static_cast<int>(iso)};
  const year y = year_month_day{thursday}.year();
  const int week = (thursday - sys_days{y / January / 1}).count() / 7 + 1;
  return rt::format("%04d-W%02d", static_cast<int>(y), week);
}

}  // namespace

std::string RunRow::shownVerdict() const {
  return functest::ShownVerdict(verdict, variant, stepsOn);
}

std::vector<YieldRow> Store::yield(const Filter &filter, YieldBy by, std::string &error,
                                   bool partialRuns) {
  std::vector<YieldRow> out;
  if (!ensureReadable(error)) return out;
  Where w;
  if (!whereFor(db_, filter, version_, w, error)) {
    error = name_ + ": " + error;
    return out;
  }
  // A board is known by its barcode, else by its card number.
  Statement st = db_.prepare(
      std::string("SELECT substr(runs.start, 1, 10), ") +
          (version_ >= 3 ? "COALESCE(runs.station, '')" : "''") +
          ", COALESCE(NULLIF(runs.board_barcode, ''), 'card ' || COALESCE(runs.card, 0)), " +
          detail::kVerdictExpr + ", runs.variant, " +
          (version_ >= 5 ? "COALESCE(runs.steps_on, '-')" : "'-'") + " FROM runs" + w.sql +
          " AND runs.finished = 1 ORDER BY " + startOrder() + ", runs.id",
      error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  bindWhere(st, w);
  std::map<std::string, YieldRow> groups;
  std::map<std::string, std::set<std::string>> seen;  // boards met per group
  while (st.step()) {
    if (!partialRuns && functest::PartialRun(st.text(4), functest::ParseSteps(st.text(5))))
      continue;
    const std::string day = st.text(0), station = st.text(1), board = st.text(2);
    const std::string group = by == YieldBy::Day    ? day
                              : by == YieldBy::Week ? isoWeek(day)
                                                    : station;
    YieldRow &g = groups[group];
    g.group = group;
    ++g.runs;
    if (seen[group].insert(board).second) {
      ++g.boards;
      g.firstPassed += st.text(3) == "PASSED";
    } else {
      ++g.retests;
    }
  }
  if (!st.error().empty()) error = name_ + ": " + st.error();
  for (auto &[key, row] : groups) out.push_back(row);
  return out;
}

std::vector<ValueRow> Store::values(const std::string &check, const Filter &filter,
                                    std::string &error) {
  std::vector<ValueRow> out;
  if (!ensureReadable(error)) return out;
  // The check names holding the text, from the name index, then their lines by name.
  std::vector<std::string> names;
  {
    Statement st = db_.prepare(std::string(kNameWalk) + " AND instr(n, ?1) > 0", error);
    if (!st) {
      error = name_ + ": " + error;
      return out;
    }
    st.bind(1, check);
    while (st.step()) names.push_back(st.text(0));
    if (!st.error().empty()) {
      error = name_ + ": " + st.error();
      return out;
    }
  }
  if (names.empty()) return out;
  Where w;
  if (!whereFor(db_, filter, version_, w, error)) {
    error = name_ + ": " + error;
    return out;
  }
  std::string in;
  for (size_t k = 0; k < names.size(); ++k)
    in += (k ? ", ?" : "?") + std::to_string(2 + w.texts.size() + k);
  // The run's line counts are not asked for here (0): they would cost two counts per value.
  Statement st =
      db_.prepare("SELECT " + runColumns(false) + ", " + kResultColumns +
                      " FROM results JOIN runs ON runs.id = results.run_id" + w.sql +
                      " AND results.value IS NOT NULL AND results.check_name IN (" + in +
                      ") ORDER BY results.check_name, " + startOrder() + ", runs.id, results.line",
                  error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  bindWhere(st, w);
  for (size_t k = 0; k < names.size(); ++k)
    st.bind(2 + static_cast<int>(w.texts.size() + k), names[k]);
  while (st.step()) out.push_back({runFrom(st), resultFrom(st, kRunColumnCount)});
  if (!st.error().empty()) error = st.error();
  if (!error.empty() && error.rfind(name_, 0) != 0) error = name_ + ": " + error;
  return out;
}

std::vector<ValueRow> Store::newestValues(const std::string &name, const Filter &filter,
                                          size_t limit, std::string &error) {
  std::vector<ValueRow> out;
  if (!ensureReadable(error)) return out;
  Where w;
  if (!whereFor(db_, filter, version_, w, error)) {
    error = name_ + ": " + error;
    return out;
  }
  // Walked from the newest run back (the runs' start index; CROSS JOIN keeps SQLite from
  // reading every line of the name first), each run's lines of the name found through the index
  // of names and runs, until `limit` are found. The order within a run is left open: ordering by
  // line would send SQLite through every line of each run.
  Statement st = db_.prepare(
      "SELECT " + runColumns(false) + ", " + kResultColumns + " FROM runs CROSS JOIN results" +
          w.sql + " AND results.run_id = runs.id AND results.check_name = ?" +
          std::to_string(2 + w.texts.size()) +
          " AND results.value IS NOT NULL ORDER BY runs.start DESC, runs.id DESC LIMIT " +
          std::to_string(limit),
      error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  bindWhere(st, w);
  st.bind(2 + static_cast<int>(w.texts.size()), name);
  while (st.step()) out.push_back({runFrom(st), resultFrom(st, kRunColumnCount)});
  if (!st.error().empty()) error = st.error();
  if (!error.empty() && error.rfind(name_, 0) != 0) error = name_ + ": " + error;
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace history
