#include "gui/window_fit.h"

#include <QBoxLayout>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QScrollArea>
#include <QWidget>

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

void fitToScreen(QWidget *window) {
  if (!window) return;
  auto *scroll = window->findChild<QScrollArea *>(window->objectName() + QStringLiteral("Scroll"));
  QSize want = window->size();
  if (scroll && scroll->widget()) {
    // The content whole, and what the window shows above or below it.
    QSize whole = scroll->widget()->sizeHint() + QSize(4, 4);
    if (QLayout *outer = window->layout())
      for (int k = 0; k < outer->count(); ++k)
        if (QWidget *w = outer->itemAt(k)->widget(); w && w != scroll && !w->isHidden())
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
}

}  // namespace gui
