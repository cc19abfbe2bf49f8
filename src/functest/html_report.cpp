#include "functest/html_report.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <locale>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "ctl/test_panel.h"
#include "functest/report.h"
#include "functest/sequencer.h"
#include "functest/svg_chart.h"
#include "functest/verdict.h"
#include "rt/format.h"
#include "rt/input_file.h"

namespace functest {

namespace {

using nlohmann::json;

// Records are small (a full run holds a few hundred lines); this bounds what a page is made of.
constexpr size_t kRecordLimit = 64u << 20;

// The states of the steps that have a plot of their own.
constexpr int kHvState = 5, kCalibrationState = 6, kLinearityState = 3, kDacState = 4,
              k10pAState = 13;

struct Result {
  int line = 0;  // 1.. in record order
  int state = -1;
  std::string step, check, unit, basis, shownText;
  bool passed = false;
  std::optional<double> value, low, high, shown;
  std::string shownUnit;
  double clock = 0;
};

struct Section {
  int state = -1;
  std::string title;
  std::optional<double> clock;
  std::vector<Result> results;
  int failed = 0;
};

std::optional<double> numberOf(const json &j, const char *key) {
  if (!j.contains(key) || !j[key].is_number()) return std::nullopt;
  return j[key].get<double>();
}

std::string textOf(const json &j, const char *key) {
  return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

std::string h(const std::string &text) { return EscapeXml(text); }

std::string figure(const std::optional<double> &v) {
  if (!v) return "";
  if (!std::isfinite(*v)) return "&mdash;";
  return rt::format("%.6g", *v);
}

// The channel a check text names: "CH3", "CHANNEL 3", "ch3" (1..8), or "Dac_ch2" (counted from
// 0 by the DAC step). 0 when it names none.
int channelOf(const std::string &check) {
  std::string up;
  for (char c : check) up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const bool fromZero = up.find("DAC_CH") != std::string::npos;
  for (const char *key : {"CHANNEL ", "CH"}) {
    for (size_t at = up.find(key); at != std::string::npos; at = up.find(key, at + 1)) {
      const size_t d = at + std::strlen(key);
      if (d < up.size() && std::isdigit(static_cast<unsigned char>(up[d]))) {
        const int n = up[d] - '0' + (fromZero ? 1 : 0);
        if (n >= 1 && n <= 8) return n;
      }
    }
  }
  return 0;
}

// The current of a linearity line: "(12.500000 uA)".
std::optional<double> microAmpsOf(const std::string &check) {
  const size_t open = check.find('(');
  const size_t unit = check.find(" uA)");
  if (open == std::string::npos || unit == std::string::npos || unit < open) return std::nullopt;
  try {
    return std::stod(check.substr(open + 1, unit - open - 1));
  } catch (const std::exception &) {
    return std::nullopt;
  }
}

// The name with its extension (of the file's name, not of a folder) replaced by `ext`.
std::string withExtension(const std::string &name, const char *ext) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ext;
  return name.substr(0, dot) + ext;
}

std::string note(const std::string &text) { return "<p class=\"note\">" + h(text) + "</p>\n"; }

// ---------------------------------------------------------------- the plots

std::string hvPlot(const Section &s) {
  SvgChart c;
  c.title = "HV levels: switch points against their limits";
  c.xLabel = "grading line (comparator and direction)";
  c.yLabel = "switch point [V]";
  SvgSeries points{"switch point", "#1f77b4", SvgSeries::Points, {}, {}};
  SvgSeries low{"lower limit", "#2ca02c", SvgSeries::LimitMarks, {}, {}};
  SvgSeries high{"upper limit", "#d62728", SvgSeries::LimitMarks, {}, {}};
  for (const Result &r : s.results) {
    if (r.unit != "V") continue;
    const double x = static_cast<double>(c.xCategories.size());
    std::string name = r.check.substr(0, r.check.find('@'));
    if (name.rfind("Status ", 0) == 0) name.erase(0, 7);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    c.xCategories.push_back(name);
    if (r.value) {
      points.points.push_back({x, *r.value});
      points.failed.push_back(!r.passed);
    }
    if (r.low) low.points.push_back({x, *r.low});
    if (r.high) high.points.push_back({x, *r.high});
  }
  if (c.xCategories.empty()) return {};
  c.series = {points, low, high};
  return RenderSvg(c);
}

// One series per channel named in the check texts; lines that name no channel go to a series
// of their own, called `unnamed` (left out when it is empty).
std::string perChannelPlot(const Section &s, const std::string &unit, SvgChart c, bool lines,
                           const std::function<std::optional<double>(const Result &)> &x,
                           const std::string &unnamed = {}) {
  std::map<int, SvgSeries> byChannel;
  SvgSeries limits{"limits", "#d62728", SvgSeries::LimitMarks, {}, {}};
  for (const Result &r : s.results) {
    const int ch = channelOf(r.check);
    const std::optional<double> xv = x(r);
    if (r.unit != unit || (ch == 0 && unnamed.empty()) || !xv || !r.value) continue;
    SvgSeries &ser = byChannel[ch];
    ser.name = ch ? rt::format("CH%d", ch) : unnamed;
    ser.colour = ch ? ChannelColour(ch - 1) : "#444444";
    ser.style = lines ? SvgSeries::Line : SvgSeries::Points;
    ser.points.push_back({*xv, *r.value});
    ser.failed.push_back(!r.passed);
    if (r.low) limits.points.push_back({*xv, *r.low});
    if (r.high) limits.points.push_back({*xv, *r.high});
  }
  if (byChannel.empty()) return {};
  for (auto &[ch, ser] : byChannel) c.series.push_back(std::move(ser));
  if (!limits.points.empty()) c.series.push_back(limits);
  return RenderSvg(c);
}

// The linearity table the step appends to the text report: a line per measured current, the
// current [A] and the eight channels' running sums, between the second and third line of dashes
// after its heading.
struct LinearityRow {
  double current = 0;
  double sums[8] = {};
};

std::vector<LinearityRow> linearityTableOf(const std::string &report) {
  std::vector<LinearityRow> rows;
  const size_t at = report.rfind("Linearity test result structure\n");
  if (at == std::string::npos) return rows;
  std::istringstream in(report.substr(at));
  in.imbue(std::locale::classic());
  std::string line;
  int dashes = 0;
  while (std::getline(in, line) && dashes < 3) {
    if (line.rfind("-----", 0) == 0) {
      ++dashes;
      continue;
    }
    if (dashes != 2) continue;
    std::istringstream fields(line);
    fields.imbue(std::locale::classic());
    LinearityRow r;
    fields >> r.current;
    for (double &s : r.sums) fields >> s;
    if (fields) rows.push_back(r);
  }
  return rows;
}

// The measured line and the tolerance band an out-of-range line names: "Mesure line 3 (...)
// OutOfRange CH4 : 0.000000 not between 39 and 41".
struct OutOfRange {
  int line = 0;
  double low = 0, high = 0;
};
std::optional<OutOfRange> outOfRangeOf(const std::string &check) {
  OutOfRange o;
  const size_t at = check.find("Mesure line ");
  const size_t band = check.find("not between ");
  if (at == std::string::npos || band == std::string::npos) return std::nullopt;
  if (std::sscanf(check.c_str() + at, "Mesure line %d", &o.line) != 1 ||
      std::sscanf(check.c_str() + band, "not between %lf and %lf", &o.low, &o.high) != 2)
    return std::nullopt;
  return o;
}

// Each channel's running sum per microampere at each line of the table: a linear channel is a
// level line, a dead one lies at zero. Lines out of range are ringed, with the band their report
// line names (the lines within range name none: their band is in the linearity file).
std::string linearityPlot(const std::vector<LinearityRow> &rows, const Section &s) {
  SvgChart c;
  c.title = "Linearity per channel: running sum per input current";
  c.xLabel = "input current (lines of the linearity file, in measuring order)";
  c.yLabel = "running sum / current [counts/frame per uA]";
  std::vector<SvgSeries> channels(8);
  auto perMicroAmp = [&](size_t k, double sum) {
    const double uA = rows[k].current * 1e6;
    return uA != 0 ? sum / uA : 0.0;
  };
  for (size_t k = 0; k < rows.size(); ++k) {
    c.xCategories.push_back(rt::format("%.0e A", rows[k].current));
    for (int ch = 0; ch < 8; ++ch)
      channels[ch].points.push_back({double(k), perMicroAmp(k, rows[k].sums[ch])});
  }
  SvgSeries band{"tolerance", "#d62728", SvgSeries::LimitMarks, {}, {}};
  for (const Result &r : s.results) {
    const int ch = channelOf(r.check);
    const std::optional<OutOfRange> o = outOfRangeOf(r.check);
    if (r.passed || ch == 0 || !o || o->line < 1 || o->line > static_cast<int>(rows.size()))
      continue;
    const size_t k = static_cast<size_t>(o->line - 1);
    SvgSeries &ser = channels[ch - 1];
    ser.failed.resize(rows.size(), false);
    ser.failed[k] = true;
    // The line prints its band in whole counts: a band below one count reads "0 and 0".
    if (o->high <= o->low) continue;
    band.points.push_back({double(k), perMicroAmp(k, o->low)});
    band.points.push_back({double(k), perMicroAmp(k, o->high)});
  }
  for (int ch = 0; ch < 8; ++ch) {
    channels[ch].name = rt::format("CH%d", ch + 1);
    channels[ch].colour = ChannelColour(ch);
    channels[ch].style = SvgSeries::Line;
    c.series.push_back(std::move(channels[ch]));
  }
  if (!band.points.empty()) c.series.push_back(band);
  return RenderSvg(c);
}

std::string periodPlot(const Section *calibration, const Section *tenPa) {
  SvgChart c;
  c.title = "Bias periods per channel";
  c.xLabel = "channel";
  c.yLabel = "integrator period [s]";
  for (int ch = 1; ch <= 8; ++ch) c.xCategories.push_back(rt::format("CH%d", ch));
  SvgSeries cal{"calibration: newest period", "#1f77b4", SvgSeries::Points, {}, {}};
  SvgSeries mean{"10 pA: mean period", "#ff7f0e", SvgSeries::Points, {}, {}};
  SvgSeries limits{"limits", "#d62728", SvgSeries::LimitMarks, {}, {}};
  if (calibration)
    for (const Result &r : calibration->results) {
      const int ch = channelOf(r.check);
      if (r.unit != "s" || ch == 0) continue;
      if (r.value) {
        cal.points.push_back({ch - 1.0, *r.value});
        cal.failed.push_back(!r.passed);
      }
      if (r.low) limits.points.push_back({ch - 1.0, *r.low});
      if (r.high) limits.points.push_back({ch - 1.0, *r.high});
    }
  if (tenPa)
    for (const Result &r : tenPa->results) {
      const int ch = channelOf(r.check);
      if (ch == 0 || !r.shown || r.shownUnit != "s") continue;
      mean.points.push_back({ch - 1.0, *r.shown});
      mean.failed.push_back(!r.passed);
    }
  if (cal.points.empty() && mean.points.empty()) return {};
  for (SvgSeries *ser : {&cal, &mean, &limits})
    if (!ser->points.empty()) c.series.push_back(*ser);
  return RenderSvg(c);
}

// ---------------------------------------------------------------- the page

const char *kStyle = R"css(
body { font-family: "DejaVu Sans", Arial, sans-serif; font-size: 13px; margin: 18px; color: #111; }
h1 { font-size: 20px; margin: 0 0 8px 0; }
h2 { font-size: 16px; margin: 22px 0 6px 0; border-bottom: 1px solid #999; }
table { border-collapse: collapse; margin: 4px 0 10px 0; }
th, td { border: 1px solid #bbb; padding: 2px 6px; text-align: left; vertical-align: top; }
th { background: #eee; }
td.num { text-align: right; font-family: "DejaVu Sans Mono", monospace; white-space: nowrap; }
td.check { font-family: "DejaVu Sans Mono", monospace; white-space: pre-wrap; }
.pass { color: #0a6b0a; font-weight: bold; }
.fail { color: #c00; font-weight: bold; }
tr.failed td { background: #fde8e8; }
.verdict { font-size: 28px; font-weight: bold; padding: 8px 16px; display: inline-block;
  color: #fff; border-radius: 4px; }
.v-PASSED { background: #1a7f1a; } .v-FAILED { background: #c00; }
.v-STOPPED { background: #b36b00; } .v-UNFINISHED, .v-INCOMPLETE { background: #666; }
.note { color: #555; font-style: italic; margin: 2px 0 10px 0; }
svg.plot { max-width: 100%; height: auto; display: block; }
@media print { body { margin: 0; } h2 { page-break-after: avoid; } tr { page-break-inside: avoid; }
  svg.plot { page-break-inside: avoid; } }
)css";

}  // namespace

std::string HtmlReportPathFor(const std::string &name) { return withExtension(name, ".html"); }

std::string HtmlReportFromRecord(const std::string &recordText, const std::string &recordName,
                                 const std::string &reportText) {
  json run, end;
  std::vector<Section> sections;
  std::map<int, size_t> sectionOf;  // by state, the latest section of it
  int unreadable = 0, lineNo = 0;
  std::istringstream in(recordText);
  std::string text;
  auto sectionFor = [&](int state, const std::string &title) -> Section & {
    auto it = sectionOf.find(state);
    if (it == sectionOf.end() || sections[it->second].title != title) {
      sections.push_back(Section{state, title, std::nullopt, {}, 0});
      sectionOf[state] = sections.size() - 1;
      return sections.back();
    }
    return sections[it->second];
  };
  while (std::getline(in, text)) {
    if (text.empty()) continue;
    const json j = json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("type") || !j["type"].is_string()) {
      ++unreadable;
      continue;
    }
    const std::string type = j["type"];
    const int state =
        j.contains("state") && j["state"].is_number_integer() ? j["state"].get<int>() : -1;
    if (type == "run") {
      run = j;
    } else if (type == "end") {
      end = j;
    } else if (type == "step") {
      // A step run again starts a section of its own.
      sectionOf.erase(state);
      sectionFor(state, textOf(j, "title")).clock = numberOf(j, "clock");
    } else if (type == "result") {
      Result r;
      r.line = ++lineNo;
      r.state = state;
      r.step = textOf(j, "step");
      r.check = textOf(j, "check");
      r.passed = j.contains("passed") && j["passed"].is_boolean() && j["passed"].get<bool>();
      r.value = j.contains("value") && j["value"].is_null() && j.contains("unit")
                    ? std::optional<double>(std::nan(""))
                    : numberOf(j, "value");
      r.unit = textOf(j, "unit");
      r.low = numberOf(j, "low");
      r.high = numberOf(j, "high");
      r.basis = textOf(j, "basis");
      r.clock = numberOf(j, "clock").value_or(0);
      if (j.contains("shown") && j["shown"].is_object()) {
        r.shown = numberOf(j["shown"], "value");
        r.shownUnit = textOf(j["shown"], "unit");
        r.shownText = textOf(j["shown"], "name") + " " + figure(r.shown) + " " + r.shownUnit;
      }
      Section &s = sectionFor(state, r.step.empty() ? std::string("(no step)") : r.step);
      if (!r.passed) ++s.failed;
      s.results.push_back(std::move(r));
    }
  }

  int failed = 0, total = 0;
  for (const Section &s : sections) {
    failed += s.failed;
    total += static_cast<int>(s.results.size());
  }
  // Lines that could not be read may have held anything: the run cannot pass on the rest.
  const RunVerdict ruled =
      VerdictOfRun({.ended = end.is_object(),
                    .stopped = textOf(end, "how") == "stopped",
                    .written = textOf(end, "verdict"),
                    .errorCounts = end.is_object() ? numberOf(end, "errorCounts") : std::nullopt,
                    .lost = unreadable > 0 ? rt::format("%d line%s of the record could not be read",
                                                        unreadable, unreadable == 1 ? "" : "s")
                                           : std::string()});
  const std::string &verdict = ruled.verdict;
  const std::string report = textOf(run, "report");
  // The steps switched on at the start (a record written before they were kept has none).
  std::optional<std::vector<int>> stepsOn;
  if (run.contains("steps") && run["steps"].is_array()) {
    stepsOn.emplace();
    for (const json &s : run["steps"])
      if (s.is_number_integer() && s.get<int>() >= 0 && s.get<int>() < kStates)
        stepsOn->push_back(s.get<int>());
  }
  const bool partial = PartialRun(textOf(run, "variant"), stepsOn);
  const std::string shown = ShownVerdict(verdict, textOf(run, "variant"), stepsOn);

  std::string o;
  o += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  o +=
      "<title>" +
      h("Functional test " + shown + ": card " +
        (run.contains("cardNumber") ? run["cardNumber"].dump() : std::string("?")) + " " + report) +
      "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  o += "<h1>Functional test of the VELTRA acquisition board</h1>\n";
  o += "<div class=\"verdict v-" + h(verdict) + "\" id=\"verdict\">" + h(shown);
  if (failed > 0) o += rt::format(" &ndash; %d failed line%s", failed, failed == 1 ? "" : "s");
  o += "</div>\n";
  if (partial) {
    std::string off;
    for (const std::string &t : StepsNotRun(*stepsOn)) off += "<li>" + h(t) + "</li>";
    o += "<div class=\"note\" id=\"not-run\">A partial run: " + std::to_string(stepsOn->size()) +
         " of " + std::to_string(kTestSteps) + " steps were switched on. Not run:<ul>" + off +
         "</ul></div>\n";
  }
  if (end.is_object() && !textOf(end, "reason").empty())
    o += note("Reason: " + textOf(end, "reason"));
  if (!end.is_object())
    o += note("The record has no end line: the run did not end in the program.");
  else if (!ruled.note.empty() && unreadable == 0)
    o += note("Verdict " + verdict + ": " + ruled.note + ".");

  // Header and barcodes.
  o += "<h2>Run</h2>\n<table>\n";
  auto row = [&](const std::string &k, const std::string &v) {
    o += "<tr><th>" + h(k) + "</th><td>" + h(v) + "</td></tr>\n";
  };
  row("Report", report);
  row("Record", recordName);
  row("Started", textOf(run, "start"));
  row("Variant", textOf(run, "variant"));
  row("Device number (fibre)", run.contains("cardNumber") ? run["cardNumber"].dump() : "");
  if (run.contains("pcbVersion") && run["pcbVersion"].is_number_integer())
    row("PCB version", "NVB-31207-V" + run["pcbVersion"].dump());
  if (run.contains("barcodes") && run["barcodes"].is_object()) {
    const json &b = run["barcodes"];
    row("Device barcode 1", textOf(b, "device1"));
    row("Device barcode 2", textOf(b, "device2"));
    row("Board barcode", textOf(b, "board"));
    row("OTR1 barcode", textOf(b, "otr1"));
    row("OTR2 barcode", textOf(b, "otr2"));
  }
  std::string comments;
  if (run.contains("comments") && run["comments"].is_array())
    for (const json &c : run["comments"])
      if (c.is_string()) comments += (comments.empty() ? "" : "\n") + c.get<std::string>();
  row("Comments", comments);
  row("QuickUSB module", textOf(run, "module"));
  row("Program", textOf(run, "program"));
  if (end.is_object()) {
    row("Ended", textOf(end, "how"));
    row("Failed lines", std::to_string(failed) + " of " + std::to_string(total));
    row("Fail copy", textOf(end, "failCopy"));
  }
  o += "</table>\n";
  if (unreadable > 0)
    o += note(rt::format("%d line%s of the record could not be read and %s not shown.", unreadable,
                         unreadable == 1 ? "" : "s", unreadable == 1 ? "is" : "are"));

  // Steps at a glance, then the failed lines.
  o += "<h2>Steps</h2>\n<table>\n<tr><th>Step</th><th>Result lines</th><th>Failed</th>"
       "<th>Verdict</th></tr>\n";
  for (size_t k = 0; k < sections.size(); ++k) {
    const Section &s = sections[k];
    o += rt::format("<tr><td><a href=\"#step%zu\">", k) + h(s.title) + "</a></td>";
    o += rt::format("<td class=\"num\">%zu</td><td class=\"num\">%d</td>", s.results.size(),
                    s.failed);
    o += s.failed ? "<td class=\"fail\">FAILED</td>" : "<td class=\"pass\">PASSED</td>";
    o += "</tr>\n";
  }
  o += "</table>\n";
  if (failed > 0) {
    o += "<h2>Failed lines</h2>\n<ol>\n";
    for (const Section &s : sections)
      for (const Result &r : s.results)
        if (!r.passed)
          o += rt::format("<li><a href=\"#r%d\">", r.line) + h(s.title + ": " + r.check) +
               "</a></li>\n";
    o += "</ol>\n";
  }

  // The plots.
  const Section *byState[kStates] = {};
  for (const Section &s : sections)
    if (s.state >= 0 && s.state < kStates) byState[s.state] = &s;
  o += "<h2>Plots</h2>\n";
  if (const Section *hv = byState[kHvState]) {
    const std::string svg = hvPlot(*hv);
    o += svg.empty() ? note("HV levels: the record holds no switch point.") : svg;
  } else {
    o += note("HV levels: the step was not run.");
  }
  const Section *lin = byState[kLinearityState];
  if (const std::vector<LinearityRow> table = linearityTableOf(reportText); lin && !table.empty()) {
    o += linearityPlot(table, *lin);
  } else if (lin) {
    SvgChart c;
    c.title = "Linearity per channel: measurements out of range";
    c.xLabel = "input current [uA]";
    c.yLabel = "running sum [counts/frame]";
    const std::string svg = perChannelPlot(*lin, "counts/frame", c, false,
                                           [](const Result &r) { return microAmpsOf(r.check); });
    o += svg.empty() ? note("Linearity: no measurement out of range.") : svg;
    o += note(
        "The record holds the linearity measurements that were out of range, with their "
        "tolerance band; the text report with its linearity table is not beside the record.");
  } else {
    o += note("Linearity: the step was not run.");
  }
  if (const Section *dac = byState[kDacState]) {
    SvgChart c;
    c.title = "DAC counters per channel";
    c.xLabel = "time into the step [s]";
    c.yLabel = "DAC counter [counts]";
    const double start = dac->clock.value_or(0);
    const std::string svg = perChannelPlot(
        *dac, "count", c, true,
        [start](const Result &r) { return std::optional<double>(r.clock - start); },
        "lowest of all channels");
    o += svg.empty() ? note("DAC counters: the record holds no counter value.") : svg;
    o += note(
        "The record holds the counters only where a check was made on them (the overflow "
        "check's lowest counter, a counter that did not advance by one); the climb itself "
        "is in the text report's DAC TEST lines.");
  } else {
    o += note("DAC counters: the step was not run.");
  }
  {
    const std::string svg = periodPlot(byState[kCalibrationState], byState[k10pAState]);
    o += svg.empty() ? note("Bias periods: neither the calibration nor the 10 pA step was run.")
                     : svg;
    if (!svg.empty())
      o += note(
          "Calibration: the newest whole period of each channel (none: the channel had no "
          "whole period). 10 pA: the mean period the report line shows.");
  }

  // A table per step.
  for (size_t k = 0; k < sections.size(); ++k) {
    const Section &s = sections[k];
    o += rt::format("<h2 id=\"step%zu\">", k) + h(s.title);
    if (s.clock) o += rt::format(" <small>(at %.2f s)</small>", *s.clock);
    o += "</h2>\n";
    if (s.results.empty()) {
      o += note("No result line.");
      continue;
    }
    o += "<table>\n<tr><th>#</th><th>Check</th><th>Value</th><th>Unit</th><th>Low</th>"
         "<th>High</th><th>Verdict</th></tr>\n";
    for (const Result &r : s.results) {
      o += rt::format("<tr id=\"r%d\"%s><td class=\"num\">%d</td>", r.line,
                      r.passed ? "" : " class=\"failed\"", r.line);
      o += "<td class=\"check\">" + h((r.passed ? "PASSED : " : "***FAILED : ") + r.check);
      if (!r.basis.empty() || !r.shownText.empty()) {
        o += "<br><small>";
        if (!r.basis.empty()) o += h("value: " + r.basis);
        if (!r.basis.empty() && !r.shownText.empty()) o += "; ";
        if (!r.shownText.empty()) o += h("shown: " + r.shownText);
        o += "</small>";
      }
      o += "</td><td class=\"num\">" + figure(r.value) + "</td><td>" + h(r.unit) +
           "</td><td class=\"num\">" + figure(r.low) + "</td><td class=\"num\">" + figure(r.high) +
           "</td>";
      o += r.passed ? "<td class=\"pass\">PASSED</td>" : "<td class=\"fail\">FAILED</td>";
      o += "</tr>\n";
    }
    o += "</table>\n";
  }
  o += "</body>\n</html>\n";
  return o;
}

std::string WriteHtmlReport(const std::string &recordPath, std::string &htmlPath) {
  htmlPath = HtmlReportPathFor(recordPath);
  const rt::InputFile record = rt::readInputFile(recordPath, kRecordLimit);
  if (!record.ok()) return recordPath + ": " + record.problem;
  // The text report beside the record, for its linearity table; the page is made without it
  // when it is not there.
  const rt::InputFile reportFile =
      rt::readInputFile(withExtension(recordPath, ".txt"), kRecordLimit);
  const std::string page = HtmlReportFromRecord(record.text, recordPath,
                                                reportFile.ok() ? reportFile.text : std::string());
  const std::string scratch = htmlPath + ".part";
  std::remove(scratch.c_str());
  if (std::string why = AppendToFile(scratch, page); !why.empty()) {
    std::remove(scratch.c_str());
    return htmlPath + ": " + why;
  }
  if (std::rename(scratch.c_str(), htmlPath.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    std::remove(scratch.c_str());
    return htmlPath + ": " + why;
  }
  return {};
}

std::string HtmlReportSink::runBegun(const RunEvent &run) {
  report_ = run.report;
  lastPage_.clear();
  return {};
}

std::string HtmlReportSink::runEnded(const EndEvent &) {
  if (report_.empty()) return {};
  std::string page;
  if (const std::string why = WriteHtmlReport(RecordPathFor(report_), page); !why.empty())
    rt_.InsertTextBoxLine(panels_.TestCFCPanel, ctl::Test::LogBox, -1,
                          "HTML report not written: " + why);
  else
    lastPage_ = page;
  return {};
}

}  // namespace functest
