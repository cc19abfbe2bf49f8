// Panel windows on small screens: a panel laid out for 1400x900 must still be usable on a
// 1366x768 lab laptop. Its content goes into a scroll area (no scroll bars when it fits) and
// the window is made no larger than the screen's free area.
#pragma once

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QWidget;
class QBoxLayout;
QT_END_NAMESPACE

namespace gui {

// Moves the content of a top-level panel window into a scroll area inside it; the window stays
// the same widget (its title, visibility and close button still belong to the panel). Returns
// the layout of the content, or null when the window has no box layout to move.
QBoxLayout *scrollPanelContent(QWidget *window);

// Takes `side` (a widget of the window's content) out of the scroll area and puts it beside it,
// in a splitter, at the window's full height: a test log stays whole on a low screen, its
// newest line in sight, while the rest of the panel scrolls. `width` is the side's preferred
// width: fitToScreen gives it that much, or what the content can spare beyond its minimum width.
// False when the window has no scroll area or `side` is not in it.
bool besideScrollArea(QWidget *window, QWidget *side, int width);

// Sizes the window to its content, within the available area of its screen (the offscreen
// platform of screenshots and tests has no real screen: the content's own size is kept).
void fitToScreen(QWidget *window);

}  // namespace gui
