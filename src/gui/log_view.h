// How text boxes show the report as it grows: failed result lines in red and step headings in
// bold (the text itself, and so the report file, stays as it is), and a box that follows its
// newest line unless the operator has scrolled up to read.
#pragma once

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QAbstractScrollArea;
class QPlainTextEdit;
QT_END_NAMESPACE

namespace gui {

// Colours the lines of a test log: "***FAILED : " lines red, step headings ("... => Start at
// ...") and the operator's stop bold.
void colourReportLines(QPlainTextEdit *log);

// Keeps the box at its last line while the operator has left it there: each new line scrolls
// it on; once scrolled up it stays put until it is scrolled back to the end.
void followNewLines(QAbstractScrollArea *box);

}  // namespace gui
