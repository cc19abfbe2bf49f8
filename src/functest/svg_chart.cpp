#include "functest/svg_chart.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "rt/format.h"

namespace functest {

namespace {

constexpr double kWidth = 820;
constexpr double kLeft = 78, kRight = 190, kTop = 34;  // room for labels and the legend

// Values closer together than this share of their size, or than kTinySpan, are no spread an
// axis can show (ticks that far apart would read alike, or not advance at all): they are drawn
// as one value.
constexpr double kResolvable = 1e-9, kTinySpan = 1e-300;
constexpr double kMaxDouble = std::numeric_limits<double>::max();

double finite(double v) { return std::clamp(v, -kMaxDouble, kMaxDouble); }

// Where `v` lies between the axis' ends, 0..1 (halves first: the span of the ends may be
// beyond the range of doubles).
double fraction(double v, const ChartAxis &a) { return (v / 2 - a.lo / 2) / (a.hi / 2 - a.lo / 2); }

}  // namespace

ChartAxis ChartAxisOf(double lo, double hi) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) lo = 0, hi = 1;
  if (lo > hi) std::swap(lo, hi);
  const double size = std::max(std::fabs(lo), std::fabs(hi));
  if (!(hi - lo >= std::max(size * kResolvable, kTinySpan))) {
    const double mid = lo / 2 + hi / 2;
    const double pad = std::fabs(mid) < 1e-290 ? 1 : std::fabs(mid) * 0.1;
    lo = finite(mid - pad);
    hi = finite(mid + pad);
  }
  const double raw = hi / 6 - lo / 6;
  const double mag = std::pow(10, std::floor(std::log10(raw)));
  double step = 10 * mag;
  for (double m : {1.0, 2.0, 5.0})
    if (raw <= m * mag) {
      step = m * mag;
      break;
    }
  ChartAxis a;
  a.step = step;
  a.lo = std::floor(lo / step) * step;
  a.hi = std::ceil(hi / step) * step;
  // Data that ends on a round mark keeps a step clear of the frame.
  if (a.lo == lo && lo != 0) a.lo -= step;
  if (a.hi == hi) a.hi += step;
  if (!std::isfinite(a.lo)) a.lo = lo;
  if (!std::isfinite(a.hi)) a.hi = hi;
  for (int k = 0; k < kMaxAxisTicks; ++k) {
    const double v = a.lo + k * step;
    if (!std::isfinite(v) || v - a.hi > step * 1e-6 || (!a.ticks.empty() && !(v > a.ticks.back())))
      break;
    a.ticks.push_back(v);
  }
  return a;
}

std::string TickText(double v, double step) {
  if (!(step > 0) || !std::isfinite(step)) step = 1;
  if (std::fabs(v) < step * 1e-6) v = 0;
  const double size = std::fabs(v);
  if (size >= 1e6 || (v != 0 && size < 1e-3) || step < 1e-6) {
    const double digits =
        v == 0 ? 1 : std::floor(std::log10(size)) - std::floor(std::log10(step)) + 1;
    return rt::format("%.*g", static_cast<int>(std::clamp(digits, 3.0, 17.0)), v);
  }
  const double decimals = step >= 1 ? 0 : std::ceil(-std::log10(step) - 1e-9);
  return rt::format("%.*f", static_cast<int>(std::clamp(decimals, 0.0, 17.0)), v);
}

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
  int notFinite = 0;
  for (const SvgSeries &s : c.series)
    for (const auto &[x, y] : s.points) {
      if (!std::isfinite(x) || !std::isfinite(y)) {
        ++notFinite;
        continue;
      }
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
  const ChartAxis ya = ChartAxisOf(ylo, yhi);
  const ChartAxis xa = categories ? ChartAxis{xlo, xhi, 1, {}} : ChartAxisOf(xlo, xhi);
  const double pw = kWidth - kLeft - kRight, ph = kHeight - kTop - kBottom;
  auto px = [&](double x) { return kLeft + fraction(x, xa) * pw; };
  auto py = [&](double y) { return kTop + ph - fraction(y, ya) * ph; };

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
  for (double y : ya.ticks) {
    rt::appendFormat(s,
                     "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
                     "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">%s</text>\n",
                     kLeft, py(y), kLeft + pw, py(y), kLeft - 6, py(y) + 4,
                     TickText(y, ya.step).c_str());
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
    for (double x : xa.ticks)
      rt::appendFormat(s,
                       "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
                       "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"middle\">%s"
                       "</text>\n",
                       px(x), kTop, px(x), kTop + ph, px(x), kTop + ph + 15,
                       TickText(x, xa.step).c_str());
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
    legendY += 16;
  }
  if (notFinite > 0)
    rt::appendFormat(s,
                     "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\">%d point%s not drawn: no "
                     "finite value</text>\n",
                     kWidth - kRight + 14, legendY + 4, notFinite, notFinite == 1 ? "" : "s");
  s += "</svg>\n";
  return s;
}

}  // namespace functest
