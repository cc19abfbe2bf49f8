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

// The colour of channel 1..8 (index 0..7) in every plot.
const char *ChannelColour(int index);

// The SVG element of a chart (no XML prolog: it goes inside an HTML page).
std::string RenderSvg(const SvgChart &chart);

// Text safe inside HTML and SVG elements and attribute values.
std::string EscapeXml(const std::string &text);

}  // namespace functest
