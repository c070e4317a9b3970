#include "platform/app/main_queue.h"

#include <utility>

MainQueue::MainQueue(std::function<void()> wake)
    : mainThread_(std::this_thread::get_id()), wake_(std::move(wake)) {}

bool MainQueue::runSync(const std::function<void()>& work) {
  if (isMainThread()) {
    work();
    return true;
  }
  auto item = std::make_shared<Item>();
  item->work = &work;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (released_) return false;
    pending_.push_back(item);
  }
  wake_();
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [&] { return item->done || (released_ && !item->running); });
  return item->done;
}

void MainQueue::runPending() {
  for (;;) {
    std::shared_ptr<Item> item;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (released_ || pending_.empty()) return;
      item = pending_.front();
      pending_.pop_front();
      item->running = true;
    }
    (*item->work)();  // the waiting thread keeps `work` alive until done
    {
      std::lock_guard<std::mutex> guard(lock_);
      item->running = false;
      item->done = true;
    }
    changed_.notify_all();
  }
}

void MainQueue::release() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    released_ = true;
    pending_.clear();
  }
  changed_.notify_all();
}

bool MainQueue::released() const {
  std::lock_guard<std::mutex> guard(lock_);
  return released_;
}
