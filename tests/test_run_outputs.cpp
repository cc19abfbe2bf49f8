// What a run's outputs make of any record: the charts end on any values, with ticks that read
// apart; one verdict rule, whatever the end line says or lacks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "functest/html_report.h"
#include "functest/svg_chart.h"
#include "functest/verdict.h"

namespace {

using functest::ChartAxis;

constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDenorm = std::numeric_limits<double>::denorm_min();

struct ValueSet {
  const char *what;
  std::vector<double> values;
  int notFinite = 0;  // of them
};

const std::vector<ValueSet> kSets = {
    {"ordinary", {0.8, 1.7, 3.2}},
    {"all equal", {19.06, 19.06, 19.06}},
    {"one ulp apart", {19.06, 19.060000000000002}},
    {"a few ulps apart, negative", {-7.25, std::nextafter(-7.25, 0.0), -7.2499999999999964}},
    {"zero alone", {0}},
    {"apart by less than the axis shows", {1000.0, 1000.0 + 1e-8}},
    {"huge", {1e300, 3e300}},
    {"the ends of the doubles", {-kMax, kMax}},
    {"near the top, equal", {kMax, kMax}},
    {"tiny", {1e-300, 3e-300}},
    {"subnormal", {kDenorm, 2 * kDenorm, 5 * kDenorm}},
    {"negative and huge", {-1e250, -1e249}},
    {"around zero", {-1e-12, 1e-12}},
    {"not finite left out", {1.5, kNaN, kInf, -kInf, 2.5}, 3},
    {"nothing finite", {kNaN, kInf}, 2},
};

TEST(Charts, EndOnAnyFiniteValuesWithTicksThatReadApart) {
  for (const ValueSet &set : kSets) {
    SCOPED_TRACE(set.what);
    double lo = kInf, hi = -kInf;
    for (double v : set.values)
      if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    if (std::isfinite(lo)) {
      const ChartAxis a = functest::ChartAxisOf(lo, hi);
      ASSERT_GE(a.ticks.size(), 2u);
      EXPECT_LE(a.ticks.size(), static_cast<size_t>(functest::kMaxAxisTicks));
      EXPECT_LE(a.lo, lo);
      EXPECT_GE(a.hi, hi);
      std::set<std::string> labels;
      for (size_t k = 0; k < a.ticks.size(); ++k) {
        EXPECT_TRUE(std::isfinite(a.ticks[k]));
        EXPECT_TRUE(k == 0 || a.ticks[k] > a.ticks[k - 1]) << k;
        labels.insert(functest::TickText(a.ticks[k], a.step));
      }
      EXPECT_EQ(labels.size(), a.ticks.size()) << "two ticks read alike";
    }
    // The same values in a chart, as lines, points and marks, on both axes.
    functest::SvgChart c;
    c.title = set.what;
    std::vector<std::pair<double, double>> points;
    for (size_t k = 0; k < set.values.size(); ++k)
      points.push_back({static_cast<double>(k), set.values[k]});
    c.series.push_back({"line", "#000", functest::SvgSeries::Line, points, {true}});
    for (auto &p : points) std::swap(p.first, p.second);
    c.series.push_back({"points", "#111", functest::SvgSeries::Points, points, {}});
    const std::string svg = functest::RenderSvg(c);
    EXPECT_EQ(svg.rfind("</svg>\n"), svg.size() - 7);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
    const std::string note =
        "point" + std::string(set.notFinite == 1 ? "" : "s") + " not drawn: no finite value";
    if (set.notFinite)
      EXPECT_NE(svg.find(std::to_string(2 * set.notFinite) + " " + note), std::string::npos) << svg;
    else
      EXPECT_EQ(svg.find("not drawn"), std::string::npos);
  }
}

TEST(Charts, TickLabelsCarryTheDigitsTheStepNeeds) {
  EXPECT_EQ(functest::TickText(19.5, 0.5), "19.5");
  EXPECT_EQ(functest::TickText(2000000, 500000), "2e+06");
  EXPECT_EQ(functest::TickText(1.0000005, 5e-7), "1.0000005");
  EXPECT_EQ(functest::TickText(1e-17, 1), "0");
  EXPECT_EQ(functest::TickText(3, 0), "3");
}

TEST(RunVerdict, StoppedAndUnfinishedRunsNeverPass) {
  using functest::RunEnding;
  struct Case {
    RunEnding end;
    const char *verdict, *note;
  } cases[] = {
      {{.ended = true, .written = "PASSED", .errorCounts = 0}, "PASSED", ""},
      {{.ended = true, .written = "FAILED", .errorCounts = 2}, "FAILED", ""},
      {{.ended = true, .stopped = true, .written = "PASSED", .errorCounts = 0}, "STOPPED", ""},
      {{.ended = true, .stopped = true, .written = "FAILED"}, "STOPPED", ""},
      {{.ended = true, .written = "STOPPED"}, "STOPPED", ""},
      {{.ended = true, .stopped = true, .written = "INCOMPLETE"}, "INCOMPLETE", ""},
      {{.ended = true, .stopped = true, .written = "PASSED", .lost = "line 4 left out"},
       "INCOMPLETE",
       "line 4 left out"},
      {{.ended = false, .written = "PASSED"},
       "UNFINISHED",
       "the run has no end (the program ended during it)"},
      {{.ended = true, .written = "PASSED", .errorCounts = 3},
       "FAILED",
       "the end says PASSED, with 3 failed lines counted"},
      {{.ended = true, .errorCounts = 0},
       "PASSED",
       "the end has no verdict; taken from its count of failed lines"},
      {{.ended = true, .errorCounts = 1.5},
       "FAILED",
       "the end has no verdict; taken from its count of failed lines"},
      {{.ended = true}, "INCOMPLETE", "the end has no verdict and no count of failed lines"},
      {{.ended = true, .written = "passed", .errorCounts = std::nan("")},
       "FAILED",
       "the end's verdict 'passed' is none of PASSED, FAILED, STOPPED or INCOMPLETE; taken from "
       "its count of failed lines"},
  };
  for (const Case &c : cases) {
    const functest::RunVerdict v = functest::VerdictOfRun(c.end);
    EXPECT_EQ(v.verdict, c.verdict) << c.note;
    EXPECT_EQ(v.note, c.note);
  }
}

// The page of a record takes its verdict from the rule, and says what the end lacks.
TEST(RunVerdict, ThePageShowsTheRuledVerdictAndWhatTheEndLacks) {
  const std::string head = R"({"type":"run","start":"2026-12-07T09:15:02+01:00","cardNumber":3})"
                           "\n"
                           R"({"type":"result","check":"Power supply : 5.02 V","passed":true})"
                           "\n";
  struct Case {
    std::string tail;
    const char *banner, *said;
  } cases[] = {
      {R"({"type":"end","errorCounts":0,"verdict":"PASSED","how":"stopped"})", "STOPPED", ""},
      {R"({"type":"end","how":"ended"})", "INCOMPLETE",
       "Verdict INCOMPLETE: the end has no verdict and no count of failed lines."},
      {R"({"type":"end","errorCounts":0,"verdict":"PASSED"})"
       "\n{not json",
       "INCOMPLETE", "1 line of the record could not be read and is not shown."},
      {"", "UNFINISHED", "The record has no end line"},
  };
  for (const Case &c : cases) {
    const std::string page = functest::HtmlReportFromRecord(head + c.tail + "\n", "r.jsonl");
    EXPECT_NE(page.find(std::string("id=\"verdict\">") + c.banner + "</div>"), std::string::npos)
        << c.tail;
    EXPECT_NE(page.find(c.said), std::string::npos) << c.tail;
  }
}

}  // namespace
