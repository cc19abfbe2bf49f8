// The results store's questions of a window, asked on a thread of their own through a
// connection of their own, so that the window never waits for the store. A job runs on the
// worker with the store and gives back what the window does with its answer, which runs on the
// window's thread. A job posted under a slot replaces the job of that slot not begun yet (the
// newer filter wins). The worker never makes its window wait either: when the window goes, the
// worker is let go and ends after the question it is in, however long a stalled server keeps it.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "history/store.h"

namespace gui {

class StoreWorker {
 public:
  using Apply = std::function<void()>;
  using Job = std::function<Apply(history::Store &)>;

  // `location`: the store's location as given; `receiver`: whose thread runs the answers (they
  // are dropped once it is gone).
  StoreWorker(std::string location, QObject *receiver);
  ~StoreWorker();
  StoreWorker(const StoreWorker &) = delete;
  StoreWorker &operator=(const StoreWorker &) = delete;

  void post(int slot, Job job);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace gui
