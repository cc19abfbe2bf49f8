// The questions of the results store: runs, their steps and lines, the failures ranked and the
// measured values of a check, over the runs a filter selects.
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

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

// The WHERE clause of a filter over `runs`, with its parameters in order.
struct Where {
  std::string sql;
  std::vector<std::string> texts;
  std::optional<long long> card;
};

Where whereOf(const Filter &f, int version) {
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

// The columns of Store::runColumns, before a query's own.
constexpr int kRunColumnCount = 20;

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
  r.reason = st.text(15);
  r.station = st.text(16);
  r.board = st.text(17);
  r.storeStart = st.text(18);
  r.storeEnd = st.text(19);
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
  std::vector<RunRow> out;
  if (!ensureReadable(error)) return out;
  const Where w = whereOf(filter, version_);
  Statement st = db_.prepare("SELECT " + runColumns() + " FROM runs" + w.sql +
                                 " ORDER BY substr(runs.start, 1, 19), runs.id",
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

std::vector<FailureRow> Store::failures(const Filter &filter, std::string &error, bool perStation) {
  std::vector<FailureRow> out;
  if (!ensureReadable(error)) return out;
  const Where w = whereOf(filter, version_);
  const std::string station =
      perStation && version_ >= 3 ? "COALESCE(runs.station, '')" : std::string("''");
  const std::string failed = "SUM(CASE WHEN results.passed = 0 THEN 1 ELSE 0 END)";
  Statement st = db_.prepare(
      "SELECT " + station + ", results.check_name, " + failed +
          ", COUNT(*), COUNT(DISTINCT CASE WHEN results.passed = 0 THEN results.run_id END) "
          "FROM results JOIN runs ON runs.id = results.run_id" +
          w.sql + " GROUP BY " + (perStation ? station + ", " : std::string()) +
          "results.check_name HAVING " + failed + " > 0 ORDER BY 1, 3 DESC, 5 DESC, 2",
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

std::vector<YieldRow> Store::yield(const Filter &filter, YieldBy by, std::string &error) {
  std::vector<YieldRow> out;
  if (!ensureReadable(error)) return out;
  const Where w = whereOf(filter, version_);
  // A board is known by its barcode, else by its card number.
  Statement st = db_.prepare(
      std::string("SELECT substr(runs.start, 1, 10), ") +
          (version_ >= 3 ? "COALESCE(runs.station, '')" : "''") +
          ", COALESCE(NULLIF(runs.board_barcode, ''), 'card ' || COALESCE(runs.card, 0)), " +
          detail::kVerdictExpr + " FROM runs" + w.sql +
          " AND runs.finished = 1 ORDER BY substr(runs.start, 1, 19), runs.id",
      error);
  if (!st) {
    error = name_ + ": " + error;
    return out;
  }
  bindWhere(st, w);
  std::map<std::string, YieldRow> groups;
  std::map<std::string, std::set<std::string>> seen;  // boards met per group
  while (st.step()) {
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
  // The check names holding the text, found by walking the name index from one name to the next
  // (a few lookups per name instead of a scan of every result line), then their lines by name.
  std::vector<std::string> names;
  {
    Statement st = db_.prepare(
        "WITH RECURSIVE names(n) AS (SELECT MIN(check_name) FROM results UNION ALL SELECT "
        "(SELECT MIN(check_name) FROM results WHERE check_name > names.n) FROM names WHERE "
        "names.n IS NOT NULL) SELECT n FROM names WHERE n IS NOT NULL AND instr(n, ?1) > 0",
        error);
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
  const Where w = whereOf(filter, version_);
  std::string in;
  for (size_t k = 0; k < names.size(); ++k)
    in += (k ? ", ?" : "?") + std::to_string(2 + w.texts.size() + k);
  // The run's line counts are not asked for here (0): they would cost two counts per value.
  Statement st =
      db_.prepare("SELECT " + runColumns(false) + ", " + kResultColumns +
                      " FROM results JOIN runs ON runs.id = results.run_id" + w.sql +
                      " AND results.value IS NOT NULL AND results.check_name IN (" + in +
                      ") ORDER BY results.check_name, substr(runs.start, 1, 19), runs.id, "
                      "results.line",
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

}  // namespace history
