#include "functest/svg_chart.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "rt/format.h"

namespace functest {

namespace {

constexpr double kWidth = 820;
constexpr double kLeft = 78, kRight = 190, kTop = 34;  // room for labels and the legend

// Round ticks covering [lo, hi]: a step of 1, 2 or 5 times a power of ten, about six of them.
struct Axis {
  double lo = 0, hi = 1, step = 0.2;
};

Axis niceAxis(double lo, double hi) {
  if (!(hi > lo)) {
    const double pad = lo == 0 ? 1 : std::fabs(lo) * 0.1;
    lo -= pad;
    hi += pad;
  }
  const double raw = (hi - lo) / 6;
  const double mag = std::pow(10, std::floor(std::log10(raw)));
  double step = mag;
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (raw <= m * mag) {
      step = m * mag;
      break;
    }
  Axis a;
  a.step = step;
  a.lo = std::floor(lo / step) * step;
  a.hi = std::ceil(hi / step) * step;
  // Data that ends on a round mark keeps a step clear of the frame.
  if (a.lo == lo && lo != 0) a.lo -= step;
  if (a.hi == hi) a.hi += step;
  return a;
}

std::string tickText(double v, double step) {
  if (std::fabs(v) < step * 1e-6) v = 0;
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  if (std::fabs(v) >= 1e6 || (v != 0 && std::fabs(v) < 1e-3)) return rt::format("%.3g", v);
  return rt::format("%.*f", std::min(decimals, 6), v);
}

}  // namespace

const char *ChannelColour(int index) {
  static const char *const colours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd",
                                        "#8c564b", "#e377c2", "#17becf", "#bcbd22"};
  return colours[((index % 8) + 8) % 8];
}

std::string EscapeXml(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string RenderSvg(const SvgChart &c) {
  const bool slanted = c.xCategories.size() > 10;
  const double kBottom = slanted ? 150 : 56, kHeight = slanted ? 414 : 320;
  double xlo = std::numeric_limits<double>::infinity(), xhi = -xlo, ylo = xlo, yhi = -xlo;
  for (const SvgSeries &s : c.series)
    for (const auto &[x, y] : s.points) {
      if (!std::isfinite(x) || !std::isfinite(y)) continue;
      xlo = std::min(xlo, x);
      xhi = std::max(xhi, x);
      ylo = std::min(ylo, y);
      yhi = std::max(yhi, y);
    }
  const bool categories = !c.xCategories.empty();
  if (categories) {
    xlo = -0.5;
    xhi = static_cast<double>(c.xCategories.size()) - 0.5;
  }
  if (!std::isfinite(ylo)) ylo = 0, yhi = 1;
  if (!std::isfinite(xlo)) xlo = 0, xhi = 1;
  const Axis ya = niceAxis(ylo, yhi);
  const Axis xa = categories ? Axis{xlo, xhi, 1} : niceAxis(xlo, xhi);
  const double pw = kWidth - kLeft - kRight, ph = kHeight - kTop - kBottom;
  auto px = [&](double x) { return kLeft + (x - xa.lo) / (xa.hi - xa.lo) * pw; };
  auto py = [&](double y) { return kTop + ph - (y - ya.lo) / (ya.hi - ya.lo) * ph; };

  std::string s;
  rt::appendFormat(s,
                   "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"plot\" viewBox=\"0 0 %.0f "
                   "%.0f\" width=\"%.0f\" height=\"%.0f\" role=\"img\">\n",
                   kWidth, kHeight, kWidth, kHeight);
  rt::appendFormat(s, "<title>%s</title>\n", EscapeXml(c.title).c_str());
  rt::appendFormat(s, "<text x=\"%.1f\" y=\"20\" font-size=\"14\" font-weight=\"bold\">%s</text>\n",
                   kLeft, EscapeXml(c.title).c_str());
  rt::appendFormat(s,
                   "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#fff\" "
                   "stroke=\"#888\"/>\n",
                   kLeft, kTop, pw, ph);
  // Grid and tick labels.
  for (double y = ya.lo; y <= ya.hi + ya.step * 1e-6; y += ya.step) {
    rt::appendFormat(s,
                     "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
                     "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">%s</text>\n",
                     kLeft, py(y), kLeft + pw, py(y), kLeft - 6, py(y) + 4,
                     tickText(y, ya.step).c_str());
  }
  if (categories) {
    // Many names are written slanted under their places, so that they do not overlap.
    const bool slant = c.xCategories.size() > 10;
    for (size_t k = 0; k < c.xCategories.size(); ++k) {
      const double x = px(static_cast<double>(k)), y = kTop + ph + 14;
      if (slant)
        rt::appendFormat(s,
                         "<text transform=\"translate(%.1f %.1f) rotate(-30)\" font-size=\"9\" "
                         "text-anchor=\"end\">%s</text>\n",
                         x + 3, y, EscapeXml(c.xCategories[k]).c_str());
      else
        rt::appendFormat(s,
                         "<text x=\"%.1f\" y=\"%.1f\" font-size=\"10\" text-anchor=\"middle\">"
                         "%s</text>\n",
                         x, y, EscapeXml(c.xCategories[k]).c_str());
    }
  } else {
    for (double x = xa.lo; x <= xa.hi + xa.step * 1e-6; x += xa.step)
      rt::appendFormat(s,
                       "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
                       "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"middle\">%s"
                       "</text>\n",
                       px(x), kTop, px(x), kTop + ph, px(x), kTop + ph + 15,
                       tickText(x, xa.step).c_str());
  }
  rt::appendFormat(
      s, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\">%s</text>\n",
      kLeft + pw / 2, kHeight - 8, EscapeXml(c.xLabel).c_str());
  rt::appendFormat(s,
                   "<text transform=\"translate(16 %.1f) rotate(-90)\" font-size=\"12\" "
                   "text-anchor=\"middle\">%s</text>\n",
                   kTop + ph / 2, EscapeXml(c.yLabel).c_str());

  // The series, then the legend.
  double legendY = kTop + 8;
  for (const SvgSeries &ser : c.series) {
    const std::string colour = EscapeXml(ser.colour);
    if (ser.style == SvgSeries::Line) {
      std::string path;
      for (const auto &[x, y] : ser.points)
        if (std::isfinite(x) && std::isfinite(y))
          rt::appendFormat(path, "%s%.1f,%.1f", path.empty() ? "" : " ", px(x), py(y));
      if (!path.empty())
        rt::appendFormat(s,
                         "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.6\" "
                         "points=\"%s\"/>\n",
                         colour.c_str(), path.c_str());
    }
    for (size_t k = 0; k < ser.points.size(); ++k) {
      const auto [x, y] = ser.points[k];
      if (!std::isfinite(x) || !std::isfinite(y)) continue;
      if (ser.style == SvgSeries::LimitMarks) {
        rt::appendFormat(s,
                         "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                         "stroke-width=\"2\" stroke-dasharray=\"4 2\"/>\n",
                         px(x) - 9, py(y), px(x) + 9, py(y), colour.c_str());
        continue;
      }
      rt::appendFormat(s, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"%s\"/>\n", px(x), py(y),
                       colour.c_str());
      if (k < ser.failed.size() && ser.failed[k])
        rt::appendFormat(s,
                         "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"6.5\" fill=\"none\" stroke=\"#c00\" "
                         "stroke-width=\"2\"/>\n",
                         px(x), py(y));
    }
    const double lx = kWidth - kRight + 14;
    if (ser.style == SvgSeries::LimitMarks)
      rt::appendFormat(s,
                       "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                       "stroke-width=\"2\" stroke-dasharray=\"4 2\"/>",
                       lx, legendY, lx + 18, legendY, colour.c_str());
    else
      rt::appendFormat(s, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"/>", lx + 9, legendY,
                       colour.c_str());
    rt::appendFormat(s, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\">%s</text>\n", lx + 24,
                     legendY + 4, EscapeXml(ser.name).c_str());
    legendY += 16;
  }
  bool anyFailed = false;
  for (const SvgSeries &ser : c.series)
    anyFailed =
        anyFailed || std::find(ser.failed.begin(), ser.failed.end(), true) != ser.failed.end();
  if (anyFailed) {
    const double lx = kWidth - kRight + 14;
    rt::appendFormat(s,
                     "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"6\" fill=\"none\" stroke=\"#c00\" "
                     "stroke-width=\"2\"/><text x=\"%.1f\" y=\"%.1f\" font-size=\"11\">failed"
                     "</text>\n",
                     lx + 9, legendY, lx + 24, legendY + 4);
  }
  s += "</svg>\n";
  return s;
}

}  // namespace functest
