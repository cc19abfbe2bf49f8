#include "gui/store_worker.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace gui {

struct StoreWorker::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<int, Job> jobs;
  QObject *receiver = nullptr;  // null once the window is gone
};

StoreWorker::StoreWorker(std::string location, QObject *receiver)
    : shared_(std::make_shared<Shared>()) {
  shared_->receiver = receiver;
  std::thread([shared = shared_, location = std::move(location)] {
    history::Store store(location);
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
      // An idle worker holds no connection: a read-only one left open would be the store's
      // last at the program's end.
      if (shared->jobs.empty() && store.isOpen()) {
        lock.unlock();
        store.close();
        lock.lock();
        continue;
      }
      shared->changed.wait(lock, [&] { return !shared->jobs.empty() || !shared->receiver; });
      if (!shared->receiver) return;
      Job job = std::move(shared->jobs.begin()->second);
      shared->jobs.erase(shared->jobs.begin());
      lock.unlock();
      Apply apply = job(store);
      lock.lock();
      if (shared->receiver && apply)
        QMetaObject::invokeMethod(shared->receiver, std::move(apply), Qt::QueuedConnection);
    }
  }).detach();
}

StoreWorker::~StoreWorker() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->receiver = nullptr;
  shared_->jobs.clear();
  shared_->changed.notify_all();
}

void StoreWorker::post(int slot, Job job) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->jobs[slot] = std::move(job);
  shared_->changed.notify_all();
}

}  // namespace gui
