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

// Sizes the window to its content, within the available area of its screen (the offscreen
// platform of screenshots and tests has no real screen: the content's own size is kept).
void fitToScreen(QWidget *window);

}  // namespace gui
