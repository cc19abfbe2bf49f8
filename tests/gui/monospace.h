// What the operator sees of a monospaced font: every character as wide as every other, so that
// columns of figures line up. Fonts such as Noto Sans Mono are monospaced on screen while Qt
// reports them as not fixed-pitch, so the font's own flag is no test of it.
#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QString>

namespace guitest {

inline bool equalAdvances(const QFont &font) {
  const QFontMetricsF m(font);
  const qreal width = m.horizontalAdvance(QLatin1Char('0'));
  for (QChar c : QStringLiteral("iW.1lmM_ |"))
    if (m.horizontalAdvance(c) != width) return false;
  return width > 0;
}

}  // namespace guitest
