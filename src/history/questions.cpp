#include "history/questions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <pugixml.hpp>
#include <sstream>
#include <string_view>

#include "functest/sequencer.h"
#include "rt/format.h"

namespace history {

namespace {

// XML 1.0 has no place for control characters; an imported file may carry some.
std::string xmlSafe(const std::string &text) {
  std::string s = text;
  for (char &c : s)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') c = '?';
  return s;
}

std::string numberText(double v) { return rt::format("%.6g", v); }

std::string limitsText(const ResultRow &r) {
  if (!r.low && !r.high) return "-";
  return (r.low ? numberText(*r.low) : std::string("-inf")) + " .. " +
         (r.high ? numberText(*r.high) : std::string("+inf"));
}

// The date and time of a start, without seconds' zone: "2026-12-07 09:15:02".
std::string startText(const std::string &start) {
  std::string s = start.substr(0, 19);
  if (s.size() > 10 && s[10] == 'T') s[10] = ' ';
  return s;
}

std::string trimmed(const std::string &s) {
  const size_t end = s.find_last_not_of(" \t");
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

// A text cell: one that a spreadsheet would take for a formula (or, after a tab or carriage
// return it skips, for a formula's start) begins with a quote mark, whatever follows; the
// numbers of a table are written as numbers, never through here.
std::string csvText(const std::string &text) {
  std::string t = xmlSafe(text);
  if (!t.empty() && std::string_view("=+-@\t\r").find(t[0]) != std::string_view::npos) t = "'" + t;
  if (t.find_first_of(",\"\r\n") == std::string::npos) return t;
  std::string q = "\"";
  for (char c : t) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

std::string csvLine(std::initializer_list<std::string> cells) {
  std::string line;
  for (const std::string &c : cells) line += (line.empty() ? "" : ",") + c;
  return line + "\r\n";
}

std::string stationText(const std::string &station) { return station.empty() ? "-" : station; }

}  // namespace

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  s.count = static_cast<int>(values.size());
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.min = values.front();
  s.max = values.back();
  const size_t mid = values.size() / 2;
  s.median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
  return s;
}

std::string RunsTable(const std::vector<RunRow> &runs, bool storeTimes) {
  // The verdict column is as wide as its widest cell ("PASSED – 3 of 15 steps"), counted in
  // characters, so that the columns after it stay in line.
  const auto shownWidth = [](const std::string &text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
  };
  std::vector<std::string> verdicts;
  verdicts.reserve(runs.size());
  size_t verdictWidth = 10;
  for (const RunRow &r : runs) {
    verdicts.push_back(r.shownVerdict());
    verdictWidth = std::max(verdictWidth, shownWidth(verdicts.back()));
  }
  const auto padded = [&](const std::string &text) {
    return text + std::string(verdictWidth - std::min(verdictWidth, shownWidth(text)), ' ');
  };
  std::string out =
      rt::format("%6s  %-19s  %-12s  %6s  %-7s  %s  %-7s  %6s  %5s  ", "RUN", "START", "STATION",
                 "CARD", "VARIANT", padded("VERDICT").c_str(), "END", "FAILED", "LINES");
  if (storeTimes) rt::appendFormat(out, "%-20s  %-20s  ", "STORE START", "STORE END");
  out += "REPORT\n";
  for (size_t i = 0; i < runs.size(); ++i) {
    const RunRow &r = runs[i];
    rt::appendFormat(out, "%6lld  %-19s  %-12s  %6lld  %-7s  %s  %-7s  %6d  %5d  ", r.id,
                     startText(r.start).c_str(), stationText(r.station).c_str(), r.card,
                     r.variant.empty() ? "-" : r.variant.c_str(), padded(verdicts[i]).c_str(),
                     r.finished ? (r.how.empty() ? "ended" : r.how.c_str()) : "-", r.failedLines,
                     r.resultLines);
    if (storeTimes)
      rt::appendFormat(out, "%-20s  %-20s  ", r.storeStart.empty() ? "-" : r.storeStart.c_str(),
                       r.storeEnd.empty() ? "-" : r.storeEnd.c_str());
    out += r.report + "\n";
    // A bench whose clock is off files its runs under the wrong day: said on a line of its own
    // under the run's (the report stays the last field of the run's line).
    if (const std::optional<long long> d = ClockDifference(r); ClockDiffers(d))
      rt::appendFormat(out, "%6s  %s\n", "!", ClockDifferenceText(*d).c_str());
  }
  rt::appendFormat(out, "%zu run%s\n", runs.size(), runs.size() == 1 ? "" : "s");
  return out;
}

std::string FailuresTable(const std::vector<FailureRow> &rows) {
  const bool perStation =
      std::any_of(rows.begin(), rows.end(), [](const FailureRow &f) { return !f.station.empty(); });
  std::string out = perStation ? rt::format("%-12s  ", "STATION") : std::string();
  rt::appendFormat(out, "%6s  %7s  %5s  %s\n", "FAILED", "CHECKED", "RUNS", "CHECK");
  for (const FailureRow &f : rows) {
    if (perStation) rt::appendFormat(out, "%-12s  ", stationText(f.station).c_str());
    rt::appendFormat(out, "%6d  %7d  %5d  %s\n", f.failed, f.checked, f.runs, f.name.c_str());
  }
  rt::appendFormat(out, "%zu check%s failed\n", rows.size(), rows.size() == 1 ? "" : "s");
  return out;
}

std::string ValuesTable(const std::vector<ValueRow> &rows) {
  std::string out;
  size_t k = 0;
  while (k < rows.size()) {
    size_t end = k;
    std::vector<double> values;
    while (end < rows.size() && rows[end].result.name == rows[k].result.name)
      values.push_back(*rows[end++].result.value);
    const Spread s = SpreadOf(values);
    const ResultRow &first = rows[k].result;
    rt::appendFormat(out, "%s\n", first.name.c_str());
    rt::appendFormat(out, "  %d value%s  min %s  median %s  max %s  %s  limits %s\n", s.count,
                     s.count == 1 ? "" : "s", numberText(s.min).c_str(),
                     numberText(s.median).c_str(), numberText(s.max).c_str(),
                     first.unit.empty() ? "-" : first.unit.c_str(), limitsText(first).c_str());
    // A bench that reads a check apart from the others shows in its own spread.
    std::map<std::string, std::vector<double>> byStation;
    for (size_t j = k; j < end; ++j)
      byStation[rows[j].run.station].push_back(*rows[j].result.value);
    if (byStation.size() > 1)
      for (const auto &[station, list] : byStation) {
        const Spread p = SpreadOf(list);
        rt::appendFormat(out, "  station %-12s  %d value%s  min %s  median %s  max %s\n",
                         stationText(station).c_str(), p.count, p.count == 1 ? "" : "s",
                         numberText(p.min).c_str(), numberText(p.median).c_str(),
                         numberText(p.max).c_str());
      }
    rt::appendFormat(out, "  %6s  %-19s  %-12s  %6s  %14s  %-6s  %s\n", "RUN", "START", "STATION",
                     "CARD", "VALUE", "RESULT", "LIMITS");
    for (; k < end; ++k) {
      const ValueRow &v = rows[k];
      rt::appendFormat(out, "  %6lld  %-19s  %-12s  %6lld  %14s  %-6s  %s\n", v.run.id,
                       startText(v.run.start).c_str(), stationText(v.run.station).c_str(),
                       v.run.card, numberText(*v.result.value).c_str(),
                       v.result.passed ? "PASSED" : "FAILED", limitsText(v.result).c_str());
    }
  }
  if (rows.empty()) out = "no measured values\n";
  return out;
}

std::string YieldTable(const std::vector<YieldRow> &rows, const std::string &by) {
  std::string heading = by;
  for (char &c : heading) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string out = rt::format("%-12s  %6s  %10s  %7s  %5s  %7s\n", heading.c_str(), "BOARDS",
                               "FIRST-PASS", "YIELD", "RUNS", "RETESTS");
  for (const YieldRow &y : rows)
    rt::appendFormat(out, "%-12s  %6d  %10d  %6.1f%%  %5d  %7d\n", stationText(y.group).c_str(),
                     y.boards, y.firstPassed, y.boards ? 100.0 * y.firstPassed / y.boards : 0.0,
                     y.runs, y.retests);
  rt::appendFormat(out, "%zu group%s\n", rows.size(), rows.size() == 1 ? "" : "s");
  return out;
}

std::string RunsCsv(const std::vector<RunRow> &runs) {
  std::string out = csvLine({"run", "start", "station", "board", "card", "variant", "verdict",
                             "end", "failed", "lines", "program", "report", "steps"});
  for (const RunRow &r : runs)
    out += csvLine({std::to_string(r.id), csvText(r.start), csvText(r.station), csvText(r.board),
                    std::to_string(r.card), csvText(r.variant), r.verdict,
                    r.finished ? csvText(r.how.empty() ? "ended" : r.how) : "",
                    std::to_string(r.failedLines), std::to_string(r.resultLines),
                    csvText(r.program), csvText(r.report),
                    // The steps switched on, for a run that left some out ("3 of 15").
                    functest::PartialRun(r.variant, r.stepsOn)
                        ? rt::format("%zu of %d", r.stepsOn->size(), functest::kTestSteps)
                        : std::string()});
  return out;
}

std::string FailuresCsv(const std::vector<FailureRow> &rows) {
  std::string out = csvLine({"station", "failed", "checked", "runs", "check"});
  for (const FailureRow &f : rows)
    out += csvLine({csvText(f.station), std::to_string(f.failed), std::to_string(f.checked),
                    std::to_string(f.runs), csvText(f.name)});
  return out;
}

std::string ValuesCsv(const std::vector<ValueRow> &rows) {
  std::string out = csvLine(
      {"check", "run", "start", "station", "card", "value", "unit", "low", "high", "result"});
  for (const ValueRow &v : rows)
    out += csvLine({csvText(v.result.name), std::to_string(v.run.id), csvText(v.run.start),
                    csvText(v.run.station), std::to_string(v.run.card),
                    rt::format("%.17g", *v.result.value), csvText(v.result.unit),
                    v.result.low ? rt::format("%.17g", *v.result.low) : "",
                    v.result.high ? rt::format("%.17g", *v.result.high) : "",
                    v.result.passed ? "PASSED" : "FAILED"});
  return out;
}

std::string YieldCsv(const std::vector<YieldRow> &rows, const std::string &by) {
  std::string out = csvLine({by, "boards", "first_pass", "yield", "runs", "retests"});
  for (const YieldRow &y : rows)
    out += csvLine({csvText(y.group), std::to_string(y.boards), std::to_string(y.firstPassed),
                    rt::format("%.4f", y.boards ? double(y.firstPassed) / y.boards : 0.0),
                    std::to_string(y.runs), std::to_string(y.retests)});
  return out;
}

std::string JUnitXml(Store &store, const std::vector<RunRow> &runs, std::string &error) {
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  pugi::xml_node root = doc.append_child("testsuites");
  root.append_attribute("name") = "tessock";
  int allTests = 0, allFailures = 0, allErrors = 0, allSkipped = 0, suiteId = 0;
  // The runs' steps and lines are read a few hundred runs per question.
  std::vector<long long> ids;
  ids.reserve(runs.size());
  for (const RunRow &run : runs) ids.push_back(run.id);
  size_t next = 0;
  const auto eachRun = [&](long long, const std::vector<StepRow> &steps,
                           const std::vector<ResultRow> &results) {
    const RunRow &run = runs[next++];
    // The suites in run order: each step, then the lines without a step.
    std::map<long long, std::vector<const ResultRow *>> byStep;
    for (const ResultRow &r : results) byStep[r.stepId].push_back(&r);
    std::vector<std::pair<long long, std::string>> suites;
    std::map<long long, double> stepClock;
    for (const StepRow &s : steps) {
      suites.emplace_back(s.id, s.title);
      stepClock[s.id] = s.clock;
    }
    const std::string host = run.station.empty() ? "unknown" : run.station;
    if (byStep.count(0)) suites.emplace_back(0, "results");
    const std::string package = rt::format("tessock.card%lld.run%lld", run.card, run.id);
    for (const auto &[stepId, title] : suites) {
      const auto &cases = byStep[stepId];
      pugi::xml_node suite = root.append_child("testsuite");
      int failures = 0;
      // Each case lasts from the line before it (the step's start for the first) to its own.
      std::vector<double> times;
      double previous = stepId ? stepClock[stepId] : 0.0, total = 0;
      for (const ResultRow *r : cases) {
        failures += r->passed ? 0 : 1;
        const double t = stepId && r->clock > previous ? r->clock - previous : 0.0;
        times.push_back(t);
        total += t;
        if (stepId) previous = std::max(previous, r->clock);
      }
      suite.append_attribute("name") =
          xmlSafe(rt::format("card %lld run %lld: %s", run.card, run.id, title.c_str())).c_str();
      suite.append_attribute("tests") = static_cast<int>(cases.size());
      suite.append_attribute("failures") = failures;
      suite.append_attribute("errors") = 0;
      suite.append_attribute("skipped") = 0;
      suite.append_attribute("time") = rt::format("%.3f", total).c_str();
      suite.append_attribute("timestamp") = run.start.substr(0, 19).c_str();
      suite.append_attribute("hostname") = xmlSafe(host).c_str();
      suite.append_attribute("id") = suiteId++;
      suite.append_attribute("package") = package.c_str();
      pugi::xml_node props = suite.append_child("properties");
      auto prop = [&](const char *name, const std::string &value) {
        pugi::xml_node p = props.append_child("property");
        p.append_attribute("name") = name;
        p.append_attribute("value") = value.c_str();
      };
      prop("card", std::to_string(run.card));
      prop("report", xmlSafe(run.report));
      prop("verdict", run.shownVerdict());
      prop("station", xmlSafe(run.station));
      prop("program", xmlSafe(run.program));
      for (size_t k = 0; k < cases.size(); ++k) {
        const ResultRow *r = cases[k];
        pugi::xml_node c = suite.append_child("testcase");
        c.append_attribute("name") = xmlSafe(trimmed(r->check)).c_str();
        c.append_attribute("classname") = xmlSafe(package + "." + r->name).c_str();
        c.append_attribute("time") = rt::format("%.3f", times[k]).c_str();
        if (!r->passed) {
          pugi::xml_node f = c.append_child("failure");
          f.append_attribute("message") = xmlSafe(r->check).c_str();
          f.append_attribute("type") = "FAILED";
          std::string detail = "***FAILED : " + r->check;
          if (r->value)
            detail +=
                "\nvalue " + numberText(*r->value) + " " + r->unit + ", limits " + limitsText(*r);
          f.text().set(xmlSafe(detail).c_str());
        }
      }
      allTests += static_cast<int>(cases.size());
      allFailures += failures;
    }
    // The steps a partial run did not run are skipped cases of a suite of their own: a
    // dashboard sees that the board was not tested whole.
    if (functest::PartialRun(run.variant, run.stepsOn)) {
      const std::vector<std::string> off = functest::StepsNotRun(*run.stepsOn);
      pugi::xml_node suite = root.append_child("testsuite");
      suite.append_attribute("name") =
          xmlSafe(rt::format("card %lld run %lld: steps not run", run.card, run.id)).c_str();
      suite.append_attribute("tests") = static_cast<int>(off.size());
      suite.append_attribute("failures") = 0;
      suite.append_attribute("errors") = 0;
      suite.append_attribute("skipped") = static_cast<int>(off.size());
      suite.append_attribute("time") = "0";
      suite.append_attribute("timestamp") = run.start.substr(0, 19).c_str();
      suite.append_attribute("hostname") = xmlSafe(host).c_str();
      suite.append_attribute("id") = suiteId++;
      suite.append_attribute("package") = package.c_str();
      for (const std::string &title : off) {
        pugi::xml_node c = suite.append_child("testcase");
        c.append_attribute("name") = xmlSafe(title).c_str();
        c.append_attribute("classname") = (package + ".steps").c_str();
        c.append_attribute("time") = "0";
        c.append_child("skipped").append_attribute("message") = "switched off for this run";
      }
      allTests += static_cast<int>(off.size());
      allSkipped += static_cast<int>(off.size());
    }
    // A run that did not come to a whole end (stopped, unfinished, lines lost) is an error of
    // its own suite: a dashboard must not count it as a run that passed.
    if (run.verdict != "PASSED" && run.verdict != "FAILED") {
      std::string why = run.reason;
      if (why.empty())
        why = run.verdict == "STOPPED"      ? "the run was stopped before its end"
              : run.verdict == "UNFINISHED" ? "the run has no end (the program ended during it)"
                                            : "the run is not complete";
      pugi::xml_node suite = root.append_child("testsuite");
      suite.append_attribute("name") =
          xmlSafe(rt::format("card %lld run %lld: run", run.card, run.id)).c_str();
      suite.append_attribute("tests") = 1;
      suite.append_attribute("failures") = 0;
      suite.append_attribute("errors") = 1;
      suite.append_attribute("skipped") = 0;
      suite.append_attribute("time") = "0";
      suite.append_attribute("timestamp") = run.start.substr(0, 19).c_str();
      suite.append_attribute("hostname") = xmlSafe(host).c_str();
      suite.append_attribute("id") = suiteId++;
      suite.append_attribute("package") = package.c_str();
      pugi::xml_node c = suite.append_child("testcase");
      c.append_attribute("name") = "run complete";
      c.append_attribute("classname") = (package + ".run").c_str();
      c.append_attribute("time") = "0";
      pugi::xml_node e = c.append_child("error");
      e.append_attribute("message") = xmlSafe(why).c_str();
      e.append_attribute("type") = run.verdict.c_str();
      e.text().set(xmlSafe(run.verdict + ": " + why).c_str());
      ++allTests;
      ++allErrors;
    }
    return true;
  };
  if (!store.linesOfRuns(ids, eachRun, error)) return {};
  root.append_attribute("tests") = allTests;
  root.append_attribute("failures") = allFailures;
  root.append_attribute("errors") = allErrors;
  if (allSkipped > 0) root.append_attribute("skipped") = allSkipped;
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

}  // namespace history
