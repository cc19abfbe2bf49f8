// Drives the run-time's event loop from the Qt event loop in real time, and is the one door
// through which the desktop program enters a callback: timer ticks, the operator's commits and
// key presses. One callback runs at a time; while one runs (a modal pop-up, a long read) the
// pump dispatches nothing and picks up again when it has returned. Late ticks are not caught
// up: the run-time schedules the next tick itself.
#pragma once

#include <QObject>
#include <QTimer>

#include "rt/runtime.h"

namespace gui {

class EventPump : public QObject {
  Q_OBJECT

 public:
  explicit EventPump(rt::Runtime &rt, QObject *parent = nullptr);

  // Arms the single-shot timer at the run-time's next due tick (or stops it when none).
  void schedule();

  // The operator's commit on a control and a key press on a panel. False when the control
  // has no callback or another callback is running.
  bool commit(int panel, int control);
  bool keyPress(int panel, int virtualKey);

  // Ticks dispatched since start (for tests and the performance figures).
  long long dispatches() const { return dispatches_; }

 signals:
  // After every callback the pump ran (tick, commit or key), once it has returned.
  void dispatched();

 private:
  void onTimeout();
  template <class F>
  bool guarded(F &&f);

  rt::Runtime &rt_;
  QTimer timer_;
  long long dispatches_ = 0;
};

}  // namespace gui
