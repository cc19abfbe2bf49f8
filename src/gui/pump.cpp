#include "gui/pump.h"

#include <cmath>
#include <exception>
#include <iostream>

namespace gui {

namespace {
// How long before a tick the Qt timer fires; the rest is slept (at most this long). The Qt
// timer may come a few milliseconds late when the screen was being drawn on a busy machine;
// 3 ms ahead it is still early for the tick.
constexpr double kLeadMs = 3.0;
}  // namespace

EventPump::EventPump(rt::Runtime &rt, QObject *parent) : QObject(parent), rt_(rt) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &EventPump::onTimeout);
}

void EventPump::schedule() {
  double due = rt_.NextDue();
  if (!std::isfinite(due) || rt_.quitRequested()) {
    timer_.stop();
    return;
  }
  // Qt timers count whole milliseconds and wake a little late: the timer is set to fire
  // shortly before the tick, and the last stretch is slept precisely.
  double wait = (due - rt_.Timer()) * 1000.0 - kLeadMs;
  int ms = wait <= 0 ? 0 : static_cast<int>(std::min(std::floor(wait), 3.6e6));
  timer_.start(ms);
}

template <class F>
bool EventPump::guarded(F &&f) {
  bool ran = false;
  try {
    ran = f();
  } catch (const std::exception &e) {
    // A fault in a callback must not take the bench program down with it.
    std::cerr << "tessock: callback failed: " << e.what() << std::endl;
  }
  schedule();
  emit dispatched();
  return ran;
}

void EventPump::onTimeout() {
  // A callback is running (this tick came from inside a modal pop-up's loop): the tick waits
  // until the callback has returned; the pump is re-armed then, and looks again meanwhile.
  if (rt_.busy()) {
    timer_.start(50);
    return;
  }
  double due = rt_.NextDue();
  double early = due - rt_.Timer();
  if (early > kLeadMs * 1e-3 + 1e-3) {
    schedule();
    return;
  }
  if (early > 0) rt_.clock().waitUntil(due);
  guarded([&] {
    rt_.DispatchDue();
    ++dispatches_;
    return true;
  });
}

bool EventPump::commit(int panel, int control) {
  if (rt_.busy()) return false;
  return guarded([&] { return rt_.Commit(panel, control); });
}

bool EventPump::keyPress(int panel, int virtualKey) {
  if (rt_.busy()) return false;
  return guarded([&] { return rt_.KeyPress(panel, virtualKey); });
}

}  // namespace gui
