// The panels on screen: loads each panel file with QUiLoader, binds every widget to its
// run-time control by ctrlId, shows the run-time's values and attributes in the widgets and
// hands the operator's actions back to the run-time.
//
// Binding is by kind, not control by control: a control added to a panel file shows up and
// works without a change here.
//
// Updates are coalesced: a change only marks its widget dirty. Dirty widgets are brought up to
// date at most ~30 times a second, preferably right after a callback has returned, so that the
// drawing happens between timer ticks rather than across them.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QtUiTools/QUiLoader>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gui/pump.h"
#include "rt/runtime.h"

namespace gui {

// Creates the instrument widgets (TsLed, TsGraph, TsTable, TsTimer) while a panel file loads.
class PanelLoader : public QUiLoader {
  Q_OBJECT

 public:
  explicit PanelLoader(QObject *parent = nullptr) : QUiLoader(parent) {}
  QWidget *createWidget(const QString &className, QWidget *parent = nullptr,
                        const QString &name = QString()) override;
};

// Virtual key code of a key press as the panels' key callbacks expect it (F1 0x0F00 .. F12
// 0x1A00), or 0 for a key that is not passed to them.
int virtualKeyCode(int qtKey, Qt::KeyboardModifiers modifiers);

class PanelView : public QObject, public rt::Observer {
  Q_OBJECT

 public:
  PanelView(rt::Runtime &rt, EventPump &pump, QObject *parent = nullptr);
  ~PanelView() override;
  PanelView(const PanelView &) = delete;
  PanelView &operator=(const PanelView &) = delete;

  // Loads the widgets of every run-time panel that has none yet. Throws rt::LoadError naming
  // the file when Qt cannot load it.
  void loadNewPanels();
  // Brings every dirty widget and panel window up to date now.
  void flush();
  // After a callback: flushes when the last flush is old enough, else leaves it to the next
  // tick or to the flush timer.
  void flushIfDue();

  // The window of a top-level panel, or the page widget of a tab page; null when unknown.
  QWidget *panelWidget(int panel) const;
  QWidget *controlWidget(int panel, int control) const;
  int mainPanel() const { return mainPanel_; }
  long long flushes() const { return flushes_; }
  // Close windows for good (shutdown): no longer routed to the panels' close controls.
  void closeAll();
  // The operator's commit of a button (or of the close control a window's close button
  // stands for): asked first of `confirmCommit`, which may keep it from happening.
  bool operatorCommit(int panel, int control);
  std::function<bool(int panel, int control)> confirmCommit;

  // rt::Observer
  void controlChanged(int panel, int control) override;
  void panelChanged(int panel) override;
  void processDrawEvents() override;
  void quitRequested() override;

 signals:
  void quit();

 protected:
  bool eventFilter(QObject *obj, QEvent *ev) override;

 private:
  struct Binding;
  struct PanelState;
  struct Group;

  void bindTree(QWidget *w, int panel);
  void bindBuddyLabels(QWidget *root);
  void bindGroups(QWidget *root);
  void syncGroup(Group &g);
  Binding *bindControl(QWidget *w, int panel, int id);
  void connectOperator(Binding &b, const rt::Control &c);
  void markDirty(Binding *b);
  void markPanelDirty(int panel);
  void armFlush();
  void sync(Binding &b);
  void syncPanel(PanelState &p);
  void syncTextBox(Binding &b, const rt::Control &c);
  void onFocusChanged(QWidget *old, QWidget *now);
  void operatorClose(int panel);
  Binding *bindingOf(QWidget *w) const;
  Binding *find(int panel, int control) const;
  int topLevelPanelOf(QWidget *window) const;
  void setValue(Binding *b, double v);
  void setText(Binding *b, const std::string &text);
  void report(const std::string &what);

  rt::Runtime &rt_;
  EventPump &pump_;
  std::vector<std::unique_ptr<Binding>> bindings_;
  std::vector<std::unique_ptr<Group>> groups_;
  std::unordered_map<long long, Binding *> byControl_;
  std::unordered_map<const QWidget *, Binding *> byWidget_;
  std::map<int, std::unique_ptr<PanelState>> panels_;
  std::vector<Binding *> dirty_;
  std::vector<int> dirtyPanels_;
  QTimer flushTimer_;
  double lastFlush_ = -1;
  long long flushes_ = 0;
  int mainPanel_ = 0;
  bool needLoad_ = true;
  bool closing_ = false;
  bool flushing_ = false;
  std::vector<std::string> reported_;
};

}  // namespace gui
