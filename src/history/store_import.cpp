// Importing into the results store: the records (*.jsonl) the runs wrote beside their reports,
// every field checked, and text reports that have no record.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "functest/report.h"
#include "functest/sequencer.h"
#include "functest/verdict.h"
#include "history/store_internal.h"
#include "rt/format.h"

namespace history {

namespace fs = std::filesystem;

namespace {

using nlohmann::json;

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

enum class Field { Text, Integer, Number, Flag, Texts, Object };

// Checks one field of a record line: present when `required`, and of its kind (Number also takes
// null, which the record writes for a figure that is no finite number). Empty when it holds.
std::string check(const json &j, const char *key, Field kind, bool required) {
  const auto it = j.find(key);
  if (it == j.end()) return required ? std::string("'") + key + "' is missing" : std::string();
  bool ok = false;
  const char *want = "";
  switch (kind) {
    case Field::Text:
      ok = it->is_string();
      want = "a text";
      break;
    case Field::Integer:
      ok = it->is_number_integer();
      want = "a whole number";
      break;
    case Field::Number:
      ok = it->is_number() || it->is_null();
      want = "a number";
      break;
    case Field::Flag:
      ok = it->is_boolean();
      want = "true or false";
      break;
    case Field::Texts:
      ok = it->is_array() &&
           std::all_of(it->begin(), it->end(), [](const json &e) { return e.is_string(); });
      want = "a list of texts";
      break;
    case Field::Object:
      ok = it->is_object() &&
           std::all_of(it->begin(), it->end(), [](const json &e) { return e.is_string(); });
      want = "an object of texts";
      break;
  }
  return ok ? std::string() : std::string("'") + key + "' is not " + want + ": " + it->dump();
}

std::string firstProblem(std::initializer_list<std::string> checks) {
  for (const std::string &c : checks)
    if (!c.empty()) return c;
  return {};
}

// What is wrong with a record line of `type`; empty when every field holds.
std::string validate(const std::string &type, const json &j) {
  if (type == "run") {
    std::string p = firstProblem(
        {check(j, "start", Field::Text, true), check(j, "cardNumber", Field::Integer, true),
         check(j, "variant", Field::Text, false), check(j, "report", Field::Text, false),
         check(j, "pcbVersion", Field::Integer, false), check(j, "barcodes", Field::Object, false),
         check(j, "comments", Field::Texts, false), check(j, "program", Field::Text, false),
         check(j, "station", Field::Text, false)});
    if (p.empty() && !detail::ValidIsoDateTime(j["start"].get<std::string>()))
      p = "'start' is not an ISO 8601 date and time: " + j["start"].dump();
    if (p.empty() && j.contains("steps")) {
      bool steps = j["steps"].is_array();
      for (const json &s : steps ? j["steps"] : json::array())
        steps = steps && s.is_number_integer() && s.get<long long>() >= 0 &&
                s.get<long long>() < functest::kStates && s.get<long long>() != functest::kEndState;
      if (!steps) p = "'steps' is not a list of step states: " + j["steps"].dump();
    }
    return p;
  }
  if (type == "step")
    return firstProblem({check(j, "state", Field::Integer, true),
                         check(j, "title", Field::Text, true),
                         check(j, "clock", Field::Number, false)});
  if (type == "result")
    return firstProblem(
        {check(j, "check", Field::Text, true), check(j, "passed", Field::Flag, true),
         check(j, "state", Field::Integer, false), check(j, "step", Field::Text, false),
         check(j, "weight", Field::Integer, false), check(j, "clock", Field::Number, false),
         check(j, "value", Field::Number, false), check(j, "unit", Field::Text, false),
         check(j, "low", Field::Number, false), check(j, "high", Field::Number, false)});
  if (type == "end") {
    std::string p = firstProblem(
        {check(j, "errorCounts", Field::Number, false), check(j, "verdict", Field::Text, false),
         check(j, "how", Field::Text, false), check(j, "reason", Field::Text, false)});
    if (p.empty() && j.contains("failCopy") && !j["failCopy"].is_null() &&
        !j["failCopy"].is_string())
      p = "'failCopy' is not a text: " + j["failCopy"].dump();
    if (p.empty() && j.contains("verdict") &&
        !detail::IsEndVerdict(j["verdict"].get<std::string>()))
      p = "'verdict' is not PASSED, FAILED, STOPPED or INCOMPLETE: " + j["verdict"].dump();
    return p;
  }
  if (type == "action")
    // What the program did in the operator's place: said in the record, no row of the store.
    return firstProblem({check(j, "by", Field::Text, true), check(j, "action", Field::Text, true),
                         check(j, "clock", Field::Number, false)});
  return "unknown line type " + json(type).dump();
}

std::optional<double> number(const json &j, const char *key) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::string text(const json &j, const char *key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

long long integer(const json &j, const char *key, long long fallback) {
  const auto it = j.find(key);
  return it != j.end() && it->is_number_integer() ? it->get<long long>() : fallback;
}

}  // namespace

// One run of a record, its lines checked.
struct Store::Imported {
  NewRun run;
  struct Line {
    bool step = false;
    StepRow s;
    ResultRow r;
  };
  std::vector<Line> lines;
  bool ended = false;
  std::string verdict, how, failCopy, reason;
  double errorCounts = 0;
  std::string lost;  // the first line of the run left out, when one was
};

ImportSummary Store::importFolder(const std::string &folder) {
  ImportSummary summary;
  std::string reason;
  if (!open(reason)) {
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

bool Store::importRecord(const std::string &path, ImportSummary &summary) {
  std::vector<std::string> lines;
  std::string problem;
  if (!open(problem)) {
    summary.problems.push_back(problem);
    return false;
  }
  if (!readLines(path, lines, problem)) {
    summary.problems.push_back(path + ": " + problem);
    return false;
  }
  ++summary.files;
  std::vector<Imported> runs;
  bool refusedRun = false;  // the lines after a run line that was left out belong to no run
  for (size_t k = 0; k < lines.size(); ++k) {
    if (lines[k].empty()) continue;
    const std::string where = path + ": line " + std::to_string(k + 1);
    const json j = json::parse(lines[k], nullptr, false);
    std::string what;
    std::string type;
    if (j.is_discarded() || !j.is_object())
      what = "not a JSON object";
    else if (!j.contains("type") || !j["type"].is_string())
      what = "'type' is missing or not a text";
    else
      what = validate(type = j["type"].get<std::string>(), j);
    if (what.empty() && type != "run" && (runs.empty() || refusedRun || runs.back().ended))
      what = "a " + type + " line outside a run";
    if (!what.empty()) {
      summary.problems.push_back(where + ": " + what + "; left out");
      if (type == "run") refusedRun = true;
      if (!runs.empty() && !runs.back().ended && !refusedRun && runs.back().lost.empty())
        runs.back().lost = where + ": " + what;
      continue;
    }
    if (type == "action") continue;
    if (type == "run") {
      refusedRun = false;
      Imported &n = runs.emplace_back();
      n.run.variant = text(j, "variant");
      n.run.start = text(j, "start");
      n.run.report = text(j, "report");
      if (n.run.report.empty()) n.run.report = path;
      n.run.card = integer(j, "cardNumber", 0);
      if (j.contains("pcbVersion")) n.run.pcb = integer(j, "pcbVersion", 0);
      if (j.contains("barcodes")) {
        const char *keys[5] = {"device1", "device2", "board", "otr1", "otr2"};
        for (int i = 0; i < 5; ++i) n.run.barcodes[i] = text(j["barcodes"], keys[i]);
      }
      if (j.contains("comments"))
        for (const auto &c : j["comments"])
          n.run.comments += (n.run.comments.empty() ? "" : "\n") + c.get<std::string>();
      n.run.program = text(j, "program");
      n.run.station = text(j, "station");
      if (j.contains("steps")) n.run.stepsOn = j["steps"].get<std::vector<int>>();
      n.run.origin = "record";
    } else if (type == "step") {
      Imported::Line &l = runs.back().lines.emplace_back();
      l.step = true;
      l.s.state = static_cast<int>(integer(j, "state", -1));
      l.s.title = text(j, "title");
      l.s.clock = number(j, "clock").value_or(0);
    } else if (type == "result") {
      ResultRow &r = runs.back().lines.emplace_back().r;
      r.state = static_cast<int>(integer(j, "state", -1));
      r.step = text(j, "step");
      r.check = text(j, "check");
      r.passed = j["passed"].get<bool>();
      r.weight = static_cast<int>(integer(j, "weight", 1));
      r.clock = number(j, "clock").value_or(0);
      r.value = number(j, "value");
      r.unit = text(j, "unit");
      r.low = number(j, "low");
      r.high = number(j, "high");
    } else {
      Imported &n = runs.back();
      n.ended = true;
      n.errorCounts = number(j, "errorCounts").value_or(0);
      n.how = text(j, "how");
      n.failCopy = text(j, "failCopy");
      n.reason = text(j, "reason");
      // A run with a line left out is not the run that was tested: it cannot pass.
      const functest::RunVerdict v = functest::VerdictOfRun(
          {.ended = true,
           .stopped = n.how == "stopped",
           .written = text(j, "verdict"),
           .errorCounts = number(j, "errorCounts"),
           .lost = n.lost.empty() ? std::string() : "record line left out: " + n.lost});
      n.verdict = v.verdict;
      if (!n.lost.empty() || n.reason.empty())
        n.reason = v.note;
      else if (!v.note.empty())
        n.reason += "; " + v.note;
    }
  }
  Transaction tx(db_);
  if (!tx.ok()) {
    summary.problems.push_back(path + ": " + tx.error());
    return false;
  }
  ImportSummary added;
  for (const Imported &run : runs) {
    std::string error;
    if (!storeImportedRun(run, added, error)) {
      summary.problems.push_back(path + ": " + error);
      return false;  // the transaction is rolled back: nothing of the file is stored
    }
  }
  if (!tx.commit()) {
    summary.problems.push_back(path + ": " + tx.error());
    return false;
  }
  summary.runs += added.runs;
  summary.results += added.results;
  summary.known += added.known;
  summary.completed += added.completed;
  return true;
}

// Stores one run of a record. Every row is an upsert on its key: a run the store holds in part
// (a live run whose lines could not all be stored, or one being stored live right now) gets the
// lines it lacks and its end; a finished run is left as it is.
bool Store::storeImportedRun(const Imported &in, ImportSummary &summary, std::string &error) {
  bool existed = false, finished = false;
  const long long run = insertRun(in.run, existed, finished, error);
  if (!run) return false;
  if (finished) {
    ++summary.known;
    return true;
  }
  long long step = 0;
  int steps = 0, line = 0, added = 0;
  for (const Imported::Line &l : in.lines) {
    if (l.step) {
      step = insertStep(run, ++steps, l.s.state, l.s.title, l.s.clock, error);
      if (!step) return false;
    } else {
      bool isNew = false;
      if (!insertResult(run, step, ++line, l.r, isNew, error)) return false;
      added += isNew;
    }
  }
  if (in.ended &&
      !finishRun(run, in.verdict, in.errorCounts, in.how, in.failCopy, in.reason, error))
    return false;
  ++(existed ? summary.completed : summary.runs);
  summary.results += added;
  return true;
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
  bool existed = false, finished = false;
  const long long run = insertRun(n, existed, finished, reason);
  if (!run) {
    summary.problems.push_back(path + ": " + reason);
    return;
  }
  if (existed) {
    ++summary.known;
    return;
  }
  int line = 0, failed = 0;
  const bool stopped = std::any_of(lines.begin(), lines.end(), [](const std::string &l) {
    return l.rfind(functest::kStoppedLineStart, 0) == 0;
  });
  for (const ResultRow &r : results) {
    bool added = false;
    if (!insertResult(run, 0, ++line, r, added, reason)) {
      summary.problems.push_back(path + ": " + reason);
      return;
    }
    failed += r.passed ? 0 : 1;
  }
  // A text report does not say whether the run reached its end: its verdict is its lines', or
  // STOPPED when its operator's stop line says so.
  Statement st = db_.prepare(
      "UPDATE runs SET finished = 1, verdict = ?2, error_counts = ?3, how = 'report', store_end = "
      "?4 WHERE id = ?1",
      reason);
  const std::string verdict =
      functest::VerdictOfRun({.ended = true, .stopped = stopped, .errorCounts = failed}).verdict;
  if (!st || !st.bind(1, run)
                  .bind(2, verdict)
                  .bind(3, static_cast<double>(failed))
                  .bind(4, detail::UtcNowText())
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

}  // namespace history
