// A small XY chart written as inline SVG text: axes with round ticks and their units, one
// series per channel (lines or points), limit marks, points that failed ringed in red and a
// legend. Used by the HTML report, which must open without any script or network.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace functest {

struct SvgSeries {
  enum Style { Line, Points, LimitMarks };
  std::string name;
  std::string colour;
  Style style = Points;
  std::vector<std::pair<double, double>> points;
  std::vector<bool> failed;  // per point (may be shorter: the rest passed)
};

struct SvgChart {
  std::string title, xLabel, yLabel;
  // When set, x values are indices into these names (drawn as the axis' labels).
  std::vector<std::string> xCategories;
  std::vector<SvgSeries> series;
};

// The axis over finite values lo..hi (lo <= hi): a round step (1, 2 or 5 times a power of ten,
// about six of them), ends on the step's marks and the ticks between them. Values that lie closer
// together than the axis can show (all equal, apart in their last digits) are drawn around their
// middle as one value; ends beyond the range of doubles stay at the data's ends. At most
// kMaxAxisTicks ticks, each one above the one before.
constexpr int kMaxAxisTicks = 40;
struct ChartAxis {
  double lo = 0, hi = 1, step = 0.2;
  std::vector<double> ticks;
};
ChartAxis ChartAxisOf(double lo, double hi);

// A tick's label, with digits enough to tell it from its neighbours `step` away.
std::string TickText(double value, double step);

// The colour of channel 1..8 (index 0..7) in every plot.
const char *ChannelColour(int index);

// The SVG element of a chart (no XML prolog: it goes inside an HTML page). Points that are not
// finite (NaN, infinity) are left out and counted under the legend.
std::string RenderSvg(const SvgChart &chart);

// Text safe inside HTML and SVG elements and attribute values.
std::string EscapeXml(const std::string &text);

}  // namespace functest
