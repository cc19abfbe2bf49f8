#include "gui/panel_view.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextEdit>
#include <algorithm>
#include <cmath>
#include <iostream>

#include "gui/widgets.h"
#include "rt/input_file.h"

namespace gui {

namespace {

// Flushes are at least this far apart (~30 a second) ...
constexpr double kMinFlushGap = 0.030;
// ... and a flush waits for the next timer tick when that comes before this.
constexpr double kMaxFlushGap = 0.050;

long long key(int panel, int control) {
  return (static_cast<long long>(panel) << 32) | unsigned(control);
}

QString qs(const std::string &s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Fonts named by the panels: the editor font is the system's monospaced font, the other
// platform font names are the application font, anything else is a family name.
void applyFont(QWidget *w, const std::string &name, const QFont &base) {
  if (name.empty()) {
    w->setFont(base);
    return;
  }
  QFont f = base;
  if (name == "NIEditorMetaFont") {
    f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    if (base.pointSizeF() > 0) f.setPointSizeF(base.pointSizeF());
  } else if (name.rfind("NI", 0) == 0 && name.size() > 8 &&
             name.compare(name.size() - 8, 8, "MetaFont") == 0) {
    f = base;
  } else {
    f.setFamily(qs(name));
  }
  w->setFont(f);
}

// Text box widgets: plain text edits, and rich text edits used as plain text.
void setBoxText(QWidget *w, const QString &text) {
  if (auto *p = qobject_cast<QPlainTextEdit *>(w))
    p->setPlainText(text);
  else if (auto *t = qobject_cast<QTextEdit *>(w))
    t->setPlainText(text);
}
void appendBoxLine(QWidget *w, const QString &line) {
  if (auto *p = qobject_cast<QPlainTextEdit *>(w)) {
    p->appendPlainText(line);
  } else if (auto *t = qobject_cast<QTextEdit *>(w)) {
    QTextCursor c(t->document());
    c.movePosition(QTextCursor::End);
    if (!t->document()->isEmpty()) c.insertBlock();
    c.insertText(line);
  }
}
QScrollBar *boxScrollBar(QWidget *w) {
  if (auto *a = qobject_cast<QAbstractScrollArea *>(w)) return a->verticalScrollBar();
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- loader

QWidget *PanelLoader::createWidget(const QString &className, QWidget *parent, const QString &name) {
  QWidget *w = nullptr;
  if (className == QLatin1String("TsLed"))
    w = new TsLed(parent);
  else if (className == QLatin1String("TsGraph"))
    w = new TsGraph(parent);
  else if (className == QLatin1String("TsTable"))
    w = new TsTable(parent);
  else if (className == QLatin1String("TsTimer"))
    w = new TsTimer(parent);
  else if (className == QLatin1String("QDoubleSpinBox"))
    w = new TsDoubleSpinBox(parent);
  else
    return QUiLoader::createWidget(className, parent, name);
  w->setObjectName(name);
  return w;
}

int virtualKeyCode(int qtKey, Qt::KeyboardModifiers modifiers) {
  if (qtKey < Qt::Key_F1 || qtKey > Qt::Key_F12) return 0;
  if ((modifiers & ~Qt::KeypadModifier) != Qt::NoModifier) return 0;
  return 0x0F00 + (qtKey - Qt::Key_F1) * 0x100;
}

// ---------------------------------------------------------------- state

struct PanelView::Binding {
  int panel = 0;
  int id = 0;
  rt::Kind kind = rt::Kind::Numeric;
  QPointer<QWidget> widget;
  uint64_t shown = ~uint64_t(0);  // revision on screen
  bool queued = false;
  bool dimmed = false;
  std::string font;
  QFont baseFont;
  std::vector<std::string> labels;        // ring items on screen
  std::vector<std::string> lines;         // text box lines on screen
  std::vector<QPointer<QLabel>> buddies;  // labels that name the control
  std::vector<Group *> groups;            // group boxes around the control
  bool special = false;                   // a spin box showing a value it cannot hold
  QString specialText;                    // its own special-value text meanwhile
};

// A group box around controls: shown while any of them is.
struct PanelView::Group {
  QPointer<QGroupBox> box;
  std::vector<Binding *> members;
};

struct PanelView::PanelState {
  int handle = 0;
  bool topLevel = false;
  QPointer<QWidget> widget;
  bool queued = false;
  uint64_t shown = ~uint64_t(0);
  int activeShown = 0;
  std::string title;
};

PanelView::PanelView(rt::Runtime &rt, EventPump &pump, QObject *parent)
    : QObject(parent), rt_(rt), pump_(pump) {
  flushTimer_.setSingleShot(true);
  flushTimer_.setTimerType(Qt::PreciseTimer);
  connect(&flushTimer_, &QTimer::timeout, this, [this] {
    // Inside a callback (a pop-up's loop) the screen is brought up to date as well.
    flush();
  });
  connect(&pump_, &EventPump::dispatched, this, &PanelView::flushIfDue);
  connect(qApp, &QApplication::focusChanged, this, &PanelView::onFocusChanged);
  qApp->installEventFilter(this);
  rt_.addObserver(this);
}

PanelView::~PanelView() {
  rt_.removeObserver(this);
  qApp->removeEventFilter(this);
  closing_ = true;
  for (auto &[h, p] : panels_)
    if (p->topLevel && p->widget) delete p->widget.data();
}

void PanelView::report(const std::string &what) {
  if (std::find(reported_.begin(), reported_.end(), what) != reported_.end()) return;
  reported_.push_back(what);
  std::cerr << "tessock: " << what << std::endl;
}

// ---------------------------------------------------------------- loading and binding

void PanelView::loadNewPanels() {
  needLoad_ = false;
  for (int h : rt_.panelHandles()) {
    if (panels_.count(h)) continue;
    const rt::Panel &p = rt_.panel(h);
    if (p.parent != 0) continue;  // tab pages come with the panel that holds them
    // Read the way the run-time read it: a file swapped for a pipe or a device since cannot
    // hold the program.
    const rt::InputFile text = rt::readInputFile(p.file, rt::kPanelFileLimit);
    if (!text.ok()) throw rt::LoadError("panel file '" + p.file + "': " + text.problem);
    QByteArray bytes(text.text.data(), static_cast<qsizetype>(text.text.size()));
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    PanelLoader loader;
    loader.setWorkingDirectory(QFileInfo(qs(p.file)).absoluteDir());
    QWidget *root = loader.load(&file, nullptr);
    if (!root)
      throw rt::LoadError("panel file '" + p.file + "': " + loader.errorString().toStdString());
    root->hide();
    root->setAttribute(Qt::WA_DeleteOnClose, false);
    if (root->objectName() != qs(p.alias))
      report("panel file '" + p.file + "': root widget " + root->objectName().toStdString() +
             " is not panel " + p.alias);
    auto st = std::make_unique<PanelState>();
    st->handle = h;
    st->topLevel = true;
    st->widget = root;
    PanelState &ref = *st;
    panels_[h] = std::move(st);
    if (mainPanel_ == 0 || h < mainPanel_) mainPanel_ = h;
    bindTree(root, h);
    bindBuddyLabels(root);
    bindGroups(root);
    markPanelDirty(ref.handle);
  }
}

void PanelView::bindTree(QWidget *w, int panel) {
  for (QObject *o : w->children()) {
    auto *cw = qobject_cast<QWidget *>(o);
    if (!cw) continue;
    QVariant idv = cw->property("ctrlId");
    if (!idv.isValid()) {
      bindTree(cw, panel);  // decoration: group boxes, frames, labels
      continue;
    }
    Binding *b = bindControl(cw, panel, idv.toInt());
    // A control's inner widgets are its own; only the pages of a tab control hold controls.
    if (!b || b->kind != rt::Kind::Tab) continue;
    auto *tabs = qobject_cast<QTabWidget *>(cw);
    const rt::Control *c = rt_.panel(panel).find(b->id);
    if (!tabs || !c) continue;
    for (int i = 0; i < tabs->count() && i < static_cast<int>(c->pages.size()); ++i) {
      int page = c->pages[i];
      QWidget *pw = tabs->widget(i);
      if (pw->objectName() != qs(rt_.panel(page).alias))
        report("tab page " + pw->objectName().toStdString() + " is not panel " +
               rt_.panel(page).alias);
      auto st = std::make_unique<PanelState>();
      st->handle = page;
      st->widget = pw;
      panels_[page] = std::move(st);
      bindTree(pw, page);
      markPanelDirty(page);
    }
  }
}

// A label whose buddy is a control is that control's caption: it is hidden and dimmed with it.
void PanelView::bindBuddyLabels(QWidget *root) {
  for (QLabel *l : root->findChildren<QLabel *>()) {
    if (l->property("ctrlId").isValid() || !l->buddy()) continue;
    auto it = byWidget_.find(l->buddy());
    if (it != byWidget_.end()) it->second->buddies.push_back(l);
  }
}

// A group box whose controls are all hidden (the sums display outside its read-out mode) is
// hidden with them rather than left as an empty frame.
void PanelView::bindGroups(QWidget *root) {
  for (QGroupBox *box : root->findChildren<QGroupBox *>()) {
    if (box->property("ctrlId").isValid()) continue;
    auto g = std::make_unique<Group>();
    g->box = box;
    for (auto &[w, b] : byWidget_)
      if (b->kind != rt::Kind::Timer && box->isAncestorOf(w)) g->members.push_back(b);
    if (g->members.empty()) continue;
    for (Binding *b : g->members) b->groups.push_back(g.get());
    groups_.push_back(std::move(g));
  }
}

void PanelView::syncGroup(Group &g) {
  if (!g.box) return;
  bool any = false;
  for (Binding *m : g.members) any = any || rt_.control(m->panel, m->id).visible;
  if (any == g.box->isHidden()) g.box->setVisible(any);
}

PanelView::Binding *PanelView::bindControl(QWidget *w, int panel, int id) {
  const rt::Panel &p = rt_.panel(panel);
  const rt::Control *c = p.find(id);
  if (!c) {
    report("panel " + p.alias + ": widget " + w->objectName().toStdString() + " has id " +
           std::to_string(id) + ", which the run-time does not know");
    return nullptr;
  }
  if (byControl_.count(key(panel, id))) return nullptr;
  auto b = std::make_unique<Binding>();
  b->panel = panel;
  b->id = id;
  b->kind = c->kind;
  b->widget = w;
  b->dimmed = !w->isEnabled();
  b->baseFont = w->font();
  Binding *raw = b.get();
  bindings_.push_back(std::move(b));
  byControl_[key(panel, id)] = raw;
  byWidget_[w] = raw;
  if (qobject_cast<QComboBox *>(w) || qobject_cast<QAbstractSpinBox *>(w))
    w->setFocusPolicy(w->focusPolicy() == Qt::NoFocus ? Qt::NoFocus : Qt::StrongFocus);
  connectOperator(*raw, *c);
  markDirty(raw);
  return raw;
}

// The operator's actions: a value edited is set in the run-time first, then the control is
// committed (its callback fires with event 1).
void PanelView::connectOperator(Binding &b, const rt::Control &c) {
  Binding *bp = &b;
  QWidget *w = b.widget;
  switch (b.kind) {
    case rt::Kind::Numeric:
      if (auto *sb = qobject_cast<QAbstractSpinBox *>(w)) {
        sb->setKeyboardTracking(false);  // a typed value counts once it is entered
        if (c.indicator) {
          sb->setReadOnly(true);
          sb->setButtonSymbols(QAbstractSpinBox::NoButtons);
          sb->setFocusPolicy(Qt::NoFocus);
        }
      }
      if (auto *sb = qobject_cast<QSpinBox *>(w)) {
        connect(sb, &QSpinBox::valueChanged, this, [this, bp](int v) {
          setValue(bp, v);
          pump_.commit(bp->panel, bp->id);
        });
      } else if (auto *ds = qobject_cast<QDoubleSpinBox *>(w)) {
        connect(ds, &QDoubleSpinBox::valueChanged, this, [this, bp](double v) {
          setValue(bp, v);
          pump_.commit(bp->panel, bp->id);
        });
      }
      break;
    case rt::Kind::Ring:
      if (auto *cb = qobject_cast<QComboBox *>(w)) {
        connect(cb, &QComboBox::activated, this, [this, bp](int index) {
          try {
            rt_.SetCtrlIndex(bp->panel, bp->id, index);
          } catch (const std::exception &e) {
            report(e.what());
          }
          markDirty(bp);
          pump_.commit(bp->panel, bp->id);
        });
      }
      break;
    case rt::Kind::Switch:
      if (auto *ab = qobject_cast<QAbstractButton *>(w)) {
        // toggled also reaches the radio button that an exclusive group switched off.
        connect(ab, &QAbstractButton::toggled, this,
                [this, bp](bool on) { setValue(bp, on ? 1 : 0); });
        connect(ab, &QAbstractButton::clicked, this,
                [this, bp] { pump_.commit(bp->panel, bp->id); });
      }
      break;
    case rt::Kind::Button:
      if (auto *ab = qobject_cast<QAbstractButton *>(w))
        connect(ab, &QAbstractButton::clicked, this,
                [this, bp] { operatorCommit(bp->panel, bp->id); });
      break;
    case rt::Kind::String:
      if (auto *le = qobject_cast<QLineEdit *>(w)) {
        if (c.maxLength > 0) le->setMaxLength(c.maxLength);
        if (c.indicator) le->setReadOnly(true);
        // The run-time sees the text as it is typed (a bar-code reader's progress is read by a
        // timer); the commit comes with Return or on leaving a changed field.
        connect(le, &QLineEdit::textEdited, this,
                [this, bp](const QString &t) { setText(bp, t.toStdString()); });
        connect(le, &QLineEdit::editingFinished, this, [this, bp, le] {
          setText(bp, le->text().toStdString());
          pump_.commit(bp->panel, bp->id);
        });
      }
      break;
    case rt::Kind::TextBox: {
      bool editable = false;
      if (auto *p = qobject_cast<QPlainTextEdit *>(w)) {
        if (c.indicator) p->setReadOnly(true);
        editable = !p->isReadOnly();
        if (editable)
          connect(p, &QPlainTextEdit::textChanged, this,
                  [this, bp, p] { setText(bp, p->toPlainText().toStdString()); });
      } else if (auto *t = qobject_cast<QTextEdit *>(w)) {
        if (c.indicator) t->setReadOnly(true);
        editable = !t->isReadOnly();
        if (editable)
          connect(t, &QTextEdit::textChanged, this,
                  [this, bp, t] { setText(bp, t->toPlainText().toStdString()); });
      }
      break;
    }
    case rt::Kind::Tab:
      if (auto *tw = qobject_cast<QTabWidget *>(w))
        connect(tw, &QTabWidget::currentChanged, this, [this, bp](int index) {
          try {
            rt_.SetActiveTabPage(bp->panel, bp->id, index);
          } catch (const std::exception &e) {
            report(e.what());
          }
        });
      break;
    case rt::Kind::StringDisplay:
    case rt::Kind::Led:
    case rt::Kind::Table:
    case rt::Kind::Graph:
    case rt::Kind::Timer:
      break;
  }
}

void PanelView::setValue(Binding *b, double v) {
  try {
    rt_.SetCtrlVal(b->panel, b->id, v);
  } catch (const std::exception &e) {
    report(e.what());
  }
  markDirty(b);  // shows the value as the run-time keeps it (range, integer)
}

void PanelView::setText(Binding *b, const std::string &text) {
  try {
    const rt::Control &c = rt_.control(b->panel, b->id);
    if (c.kind == rt::Kind::TextBox) {
      rt_.ResetTextBox(b->panel, b->id, text);
      // The widget holds this text already.
      b->shown = c.revision;
      b->lines = c.lines;
      return;
    }
    rt_.SetCtrlVal(b->panel, b->id, text);
    if (c.text == text)
      b->shown = c.revision;
    else
      markDirty(b);  // cut to the control's length
  } catch (const std::exception &e) {
    report(e.what());
  }
}

// ---------------------------------------------------------------- run-time to widgets

PanelView::Binding *PanelView::find(int panel, int control) const {
  auto it = byControl_.find(key(panel, control));
  return it == byControl_.end() ? nullptr : it->second;
}

PanelView::Binding *PanelView::bindingOf(QWidget *w) const {
  for (; w; w = w->parentWidget()) {
    auto it = byWidget_.find(w);
    if (it != byWidget_.end()) return it->second;
    if (w->isWindow()) break;
  }
  return nullptr;
}

QWidget *PanelView::panelWidget(int panel) const {
  auto it = panels_.find(panel);
  return it == panels_.end() ? nullptr : it->second->widget.data();
}

QWidget *PanelView::controlWidget(int panel, int control) const {
  Binding *b = find(panel, control);
  return b ? b->widget.data() : nullptr;
}

int PanelView::topLevelPanelOf(QWidget *window) const {
  if (!window) return 0;
  for (auto &[h, p] : panels_)
    if (p->topLevel && p->widget == window) return h;
  return 0;
}

void PanelView::controlChanged(int panel, int control) {
  Binding *b = find(panel, control);
  if (!b) {
    if (!panels_.count(panel)) needLoad_ = true, armFlush();
    return;
  }
  if (b->kind == rt::Kind::Timer) {
    pump_.schedule();
    return;
  }
  markDirty(b);
}

void PanelView::panelChanged(int panel) {
  if (!panels_.count(panel)) {
    needLoad_ = true;
    armFlush();
  }
  markPanelDirty(panel);
}

void PanelView::markDirty(Binding *b) {
  if (b->queued) return;
  b->queued = true;
  dirty_.push_back(b);
  armFlush();
}

void PanelView::markPanelDirty(int panel) {
  auto it = panels_.find(panel);
  if (it != panels_.end()) {
    if (it->second->queued) return;
    it->second->queued = true;
  }
  dirtyPanels_.push_back(panel);
  armFlush();
}

void PanelView::armFlush() {
  if (flushTimer_.isActive() || closing_) return;
  double wait = lastFlush_ < 0 ? 0 : lastFlush_ + kMinFlushGap - rt_.Timer();
  flushTimer_.start(wait <= 0 ? 0 : static_cast<int>(std::ceil(wait * 1000)));
}

void PanelView::flushIfDue() {
  if (dirty_.empty() && dirtyPanels_.empty() && !needLoad_) return;
  double now = rt_.Timer();
  if (lastFlush_ < 0 || now - lastFlush_ >= kMinFlushGap) {
    flush();
    return;
  }
  // Fast ticks: the next one flushes, right after its callback, between two ticks.
  if (rt_.NextDue() <= lastFlush_ + kMaxFlushGap) {
    flushTimer_.stop();
    return;
  }
  armFlush();
}

void PanelView::flush() {
  if (flushing_ || closing_) return;
  flushing_ = true;
  flushTimer_.stop();
  try {
    if (needLoad_) loadNewPanels();
  } catch (const std::exception &e) {
    report(e.what());
  }
  // Controls first, then the windows: a panel appears with its values in place.
  std::vector<Binding *> dirty;
  dirty.swap(dirty_);
  for (Binding *b : dirty) {
    b->queued = false;
    try {
      sync(*b);
    } catch (const std::exception &e) {
      report(e.what());
    }
  }
  std::vector<int> panels;
  panels.swap(dirtyPanels_);
  for (int h : panels) {
    auto it = panels_.find(h);
    if (it == panels_.end()) continue;
    it->second->queued = false;
    try {
      syncPanel(*it->second);
    } catch (const std::exception &e) {
      report(e.what());
    }
  }
  lastFlush_ = rt_.Timer();
  ++flushes_;
  flushing_ = false;
}

void PanelView::sync(Binding &b) {
  QWidget *w = b.widget;
  if (!w) return;
  const rt::Control &c = rt_.control(b.panel, b.id);
  if (c.revision == b.shown) return;
  bool first = b.shown == ~uint64_t(0);
  b.shown = c.revision;

  if (b.kind != rt::Kind::Timer) {
    if (c.dimmed != b.dimmed || first) {
      b.dimmed = c.dimmed;
      w->setEnabled(!c.dimmed);
      for (auto &l : b.buddies)
        if (l) l->setEnabled(!c.dimmed);
    }
    if (c.visible == w->isHidden() || first) {
      w->setVisible(c.visible);
      for (auto &l : b.buddies)
        if (l) l->setVisible(c.visible);
      for (Group *g : b.groups) syncGroup(*g);
    }
    if (c.font != b.font) {
      b.font = c.font;
      applyFont(w, c.font, b.baseFont);
    }
  }

  switch (b.kind) {
    case rt::Kind::Numeric:
      if (auto *sb = qobject_cast<QSpinBox *>(w)) {
        double v = std::clamp(std::round(c.num), double(sb->minimum()), double(sb->maximum()));
        if (sb->value() != static_cast<int>(v)) {
          QSignalBlocker block(sb);
          sb->setValue(static_cast<int>(v));
        }
      } else if (auto *ds = qobject_cast<QDoubleSpinBox *>(w)) {
        QSignalBlocker block(ds);
        if (!std::isfinite(c.num)) {
          // An indicator may hold infinity (a rate over a period of zero): the spin box cannot,
          // so it shows the word at its minimum.
          if (!b.special) b.specialText = ds->specialValueText();
          b.special = true;
          ds->setSpecialValueText(c.num > 0 ? QStringLiteral("Inf") : QStringLiteral("-Inf"));
          ds->setValue(ds->minimum());
        } else {
          if (b.special) {
            b.special = false;
            ds->setSpecialValueText(b.specialText);
          }
          if (ds->value() != c.num) ds->setValue(c.num);
        }
      }
      break;
    case rt::Kind::Ring:
      if (auto *cb = qobject_cast<QComboBox *>(w)) {
        QSignalBlocker block(cb);
        bool same = b.labels.size() == c.items.size() && cb->count() == int(c.items.size());
        for (size_t i = 0; same && i < c.items.size(); ++i) same = b.labels[i] == c.items[i].label;
        if (!same) {
          cb->clear();
          b.labels.clear();
          for (const auto &it : c.items) {
            cb->addItem(qs(it.label));
            b.labels.push_back(it.label);
          }
        }
        if (cb->currentIndex() != c.ringIndex) cb->setCurrentIndex(c.ringIndex);
      }
      break;
    case rt::Kind::Switch:
      if (auto *ab = qobject_cast<QAbstractButton *>(w)) {
        if (ab->isChecked() != (c.num != 0)) {
          QSignalBlocker block(ab);
          ab->setChecked(c.num != 0);
        }
      }
      break;
    case rt::Kind::String:
      if (auto *le = qobject_cast<QLineEdit *>(w)) {
        QString t = qs(c.text);
        if (le->text() != t) {
          QSignalBlocker block(le);
          le->setText(t);
        }
      }
      break;
    case rt::Kind::StringDisplay:
      if (auto *l = qobject_cast<QLabel *>(w)) l->setText(qs(c.text));
      break;
    case rt::Kind::TextBox:
      syncTextBox(b, c);
      break;
    case rt::Kind::Led:
      if (auto *led = qobject_cast<TsLed *>(w)) {
        // The board-open mark (attribute 630 at 920) lights the lamp that carries it.
        auto mark = c.otherAttrs.find(rt::ATTR_BOARD_OPEN_MARK);
        bool marked = mark != c.otherAttrs.end() && mark->second == 920;
        led->setOn(c.num != 0 || marked);
      }
      break;
    case rt::Kind::Table:
      if (auto *t = qobject_cast<TsTable *>(w)) t->showCells(c.rows, c.cols, c.cells);
      break;
    case rt::Kind::Graph:
      if (auto *g = qobject_cast<TsGraph *>(w))
        g->showPlots(c.plots, c.yScaling != rt::VAL_LOCK, c.yMin, c.yMax);
      break;
    case rt::Kind::Tab:
      if (auto *tw = qobject_cast<QTabWidget *>(w)) {
        if (tw->currentIndex() != c.activePage) {
          QSignalBlocker block(tw);
          tw->setCurrentIndex(c.activePage);
        }
      }
      break;
    case rt::Kind::Timer:
    case rt::Kind::Button:
      break;
  }
}

// Lines added at the end are appended; any other change replaces the text. A log that the
// operator follows at its end keeps following it; a view that is replaced keeps its position.
void PanelView::syncTextBox(Binding &b, const rt::Control &c) {
  QWidget *w = b.widget;
  QScrollBar *bar = boxScrollBar(w);
  bool appendOnly = c.lines.size() >= b.lines.size() && !b.lines.empty() &&
                    std::equal(b.lines.begin(), b.lines.end(), c.lines.begin());
  QSignalBlocker block(w);
  if (appendOnly) {
    if (c.lines.size() == b.lines.size()) return;
    bool atEnd = !bar || bar->value() >= bar->maximum();
    std::string added;
    for (size_t i = b.lines.size(); i < c.lines.size(); ++i) {
      if (i > b.lines.size()) added += '\n';
      added += c.lines[i];
    }
    appendBoxLine(w, qs(added));  // one paragraph per line
    if (atEnd && bar) bar->setValue(bar->maximum());
  } else {
    int pos = bar ? bar->value() : 0;
    std::string all;
    for (size_t i = 0; i < c.lines.size(); ++i) {
      if (i) all += '\n';
      all += c.lines[i];
    }
    setBoxText(w, qs(all));
    if (bar) bar->setValue(std::min(pos, bar->maximum()));
  }
  b.lines = c.lines;
}

void PanelView::syncPanel(PanelState &p) {
  const rt::Panel &rp = rt_.panel(p.handle);
  QWidget *w = p.widget;
  if (!w) return;
  if (rp.revision == p.shown) return;
  p.shown = rp.revision;
  if (p.topLevel) {
    if (rp.title != p.title) {
      p.title = rp.title;
      w->setWindowTitle(qs(rp.title));
    }
    if (rp.visible && w->isHidden()) {
      w->show();
      w->raise();
      w->activateWindow();
    } else if (!rp.visible && !w->isHidden()) {
      w->hide();
    }
  }
  if (rp.activeCtrl != p.activeShown) {
    p.activeShown = rp.activeCtrl;
    if (Binding *b = find(p.handle, rp.activeCtrl))
      if (b->widget) b->widget->setFocus(Qt::OtherFocusReason);
  }
}

// ---------------------------------------------------------------- operator focus, keys, close

void PanelView::onFocusChanged(QWidget *, QWidget *now) {
  Binding *b = bindingOf(now);
  if (!b) return;
  auto it = panels_.find(b->panel);
  if (it == panels_.end()) return;
  it->second->activeShown = b->id;
  try {
    if (rt_.GetActiveCtrl(b->panel) != b->id) rt_.SetActiveCtrl(b->panel, b->id);
  } catch (const std::exception &e) {
    report(e.what());
  }
}

bool PanelView::eventFilter(QObject *obj, QEvent *ev) {
  // The wheel scrolls the window; a ring or a number changes by the wheel only once the
  // operator has clicked into it (a window scrolled past the fibre ring must not switch fibres).
  if (ev->type() == QEvent::Wheel) {
    auto *w = qobject_cast<QWidget *>(obj);
    if (w && (qobject_cast<QComboBox *>(w) || qobject_cast<QAbstractSpinBox *>(w)) &&
        !w->hasFocus() && byWidget_.count(w) && w->parentWidget()) {
      QCoreApplication::sendEvent(w->parentWidget(), ev);
      return true;
    }
    return false;
  }
  if (ev->type() == QEvent::KeyPress) {
    auto *w = qobject_cast<QWidget *>(obj);
    if (!w) return false;
    auto *ke = static_cast<QKeyEvent *>(ev);
    int vk = virtualKeyCode(ke->key(), ke->modifiers());
    if (!vk) return false;
    int panel = topLevelPanelOf(w->window());
    if (!panel || !rt_.panel(panel).keyCallback) return false;
    if (!ke->isAutoRepeat()) pump_.keyPress(panel, vk);
    return true;
  }
  if (ev->type() == QEvent::Close && !closing_) {
    auto *w = qobject_cast<QWidget *>(obj);
    int panel = w && w->isWindow() ? topLevelPanelOf(w) : 0;
    if (!panel) return false;
    ev->ignore();
    operatorClose(panel);
    return true;
  }
  return false;
}

// The window's close button does what the panel's own close (or quit) button does, so that
// the program's bookkeeping (settings saved, views switched off) happens either way.
void PanelView::operatorClose(int panel) {
  if (rt_.busy()) return;
  const rt::Panel &p = rt_.panel(panel);
  const rt::Control *closer = nullptr;
  for (const auto &c : p.controls) {
    if (c.kind != rt::Kind::Button && c.kind != rt::Kind::Switch) continue;
    if (c.callbackName == "Quit") {
      closer = &c;
      break;
    }
    if (!closer && c.callbackName.rfind("Close", 0) == 0) closer = &c;
  }
  if (closer) {
    operatorCommit(panel, closer->id);
  } else if (panel == mainPanel_) {
    rt_.QuitUserInterface(0);
  } else {
    rt_.HidePanel(panel);
    flush();
  }
}

bool PanelView::operatorCommit(int panel, int control) {
  if (confirmCommit && !confirmCommit(panel, control)) return false;
  return pump_.commit(panel, control);
}

void PanelView::processDrawEvents() {
  if (lastFlush_ >= 0 && rt_.Timer() - lastFlush_ < kMinFlushGap) return;
  flush();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void PanelView::quitRequested() { emit quit(); }

void PanelView::closeAll() {
  closing_ = true;
  flushTimer_.stop();
  for (auto &[h, p] : panels_)
    if (p->topLevel && p->widget) p->widget->hide();
}

}  // namespace gui
