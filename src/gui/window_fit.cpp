#include "gui/window_fit.h"

#include <QBoxLayout>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QWidget>
#include <algorithm>

namespace gui {

QBoxLayout *scrollPanelContent(QWidget *window) {
  auto *old = qobject_cast<QBoxLayout *>(window ? window->layout() : nullptr);
  if (!old) return nullptr;
  auto *content = new QWidget;
  content->setObjectName(window->objectName() + QStringLiteral("Content"));
  auto *moved = new QBoxLayout(old->direction(), content);
  moved->setObjectName(old->objectName());
  moved->setContentsMargins(old->contentsMargins());
  moved->setSpacing(old->spacing());
  // Items keep their order and stretch; a taken layout is re-parented (with its widgets) by
  // adding it to the new one.
  while (old->count() > 0) {
    const int stretch = old->stretch(0);
    QLayoutItem *item = old->takeAt(0);
    if (QWidget *w = item->widget()) {
      delete item;
      moved->addWidget(w, stretch);
    } else if (QLayout *l = item->layout()) {
      moved->addLayout(l, stretch);
    } else {
      moved->addItem(item);
    }
  }
  delete old;
  auto *scroll = new QScrollArea(window);
  scroll->setObjectName(window->objectName() + QStringLiteral("Scroll"));
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidget(content);
  auto *outer = new QVBoxLayout(window);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(scroll);
  return moved;
}

bool besideScrollArea(QWidget *window, QWidget *side, int width) {
  if (!window || !side) return false;
  auto *scroll = window->findChild<QScrollArea *>(window->objectName() + QStringLiteral("Scroll"));
  auto *outer = qobject_cast<QBoxLayout *>(window->layout());
  if (!scroll || !scroll->widget() || !outer || !scroll->widget()->isAncestorOf(side)) return false;
  const int at = outer->indexOf(scroll);
  if (at < 0) return false;
  // The side leaves its layout in the content (its place closes up) for the splitter.
  if (QWidget *parent = side->parentWidget())
    if (QLayout *l = parent->layout()) l->removeWidget(side);
  auto *split = new QSplitter(Qt::Horizontal, window);
  split->setObjectName(window->objectName() + QStringLiteral("Split"));
  split->setChildrenCollapsible(false);
  outer->insertWidget(at, split, 1);
  split->addWidget(scroll);
  split->addWidget(side);
  // A wider window widens the content first (the side's width is what it needs to be read).
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 0);
  split->setProperty("sideWidth", width);
  // The content's layouts keep the sizes they had with the side in them until told.
  if (QLayout *content = scroll->widget()->layout()) content->invalidate();
  return true;
}

void fitToScreen(QWidget *window) {
  if (!window) return;
  auto *scroll = window->findChild<QScrollArea *>(window->objectName() + QStringLiteral("Scroll"));
  QSize want = window->size();
  if (scroll && scroll->widget()) {
    // The content whole, what stands beside it (a splitter's other side) and what the window
    // shows above or below it.
    QSize whole = scroll->widget()->sizeHint() + QSize(4, 4);
    if (auto *split = qobject_cast<QSplitter *>(scroll->parentWidget()))
      for (int k = 0; k < split->count(); ++k)
        if (QWidget *w = split->widget(k); w != scroll && !w->isHidden()) {
          whole.rwidth() += std::max(w->sizeHint().width(), split->property("sideWidth").toInt()) +
                            split->handleWidth();
          whole.rheight() = std::max(whole.height(), w->sizeHint().height());
        }
    if (QLayout *outer = window->layout())
      for (int k = 0; k < outer->count(); ++k)
        if (QWidget *w = outer->itemAt(k)->widget();
            w && w != scroll && !w->isAncestorOf(scroll) && !w->isHidden())
          whole.rheight() += w->sizeHint().height() + outer->spacing();
    want = want.expandedTo(whole);
  }
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
    QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (screen) {
      // The title bar and the frame come on top of the window's own size.
      const QSize room = screen->availableGeometry().size() - QSize(16, 40);
      want = want.boundedTo(room);
    }
  }
  window->resize(want);
  // Beside a scroll area, the side gets its preferred width (more when the content has all it
  // wants), less when the content would go below its minimum width and scroll sideways.
  if (auto *split = scroll ? qobject_cast<QSplitter *>(scroll->parentWidget()) : nullptr;
      split && split->count() == 2 && scroll->widget()) {
    QWidget *side = split->widget(split->indexOf(scroll) == 0 ? 1 : 0);
    const QMargins m = window->layout() ? window->layout()->contentsMargins() : QMargins();
    const int total = want.width() - m.left() - m.right() - split->handleWidth();
    const int contentMin = scroll->widget()->minimumSizeHint().width() +
                           scroll->verticalScrollBar()->sizeHint().width() + 4;
    const int wanted = std::max(split->property("sideWidth").toInt(),
                                total - scroll->widget()->sizeHint().width());
    const int sideWidth =
        std::max(side->minimumSizeHint().width(), std::min(wanted, total - contentMin));
    QList<int> sizes{total - sideWidth, sideWidth};
    if (split->indexOf(scroll) != 0) std::swap(sizes[0], sizes[1]);
    split->setSizes(sizes);
  }
}

}  // namespace gui
