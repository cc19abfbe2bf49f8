// What a run's outputs make of any record: the charts end on any values, with ticks that read
// apart.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "functest/svg_chart.h"

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

}  // namespace
