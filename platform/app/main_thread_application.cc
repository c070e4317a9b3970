#include "platform/app/main_thread_application.h"

MainThreadApplication::MainThreadApplication(MainLoop& loop, std::function<void()> onSignal)
    : loop_(loop), pipe_(loop, [this, onSignal](const std::string& bytes) {
        if (bytes.find_first_not_of('\0') != std::string::npos) onSignal();
        if (!stopped()) runPending();
      }) {
  pipe_.catchSignals({SIGINT, SIGTERM}, true);
}

void MainThreadApplication::stop() {
  if (!stopped_.exchange(true)) pipe_.write(0);
}

void MainThreadApplication::dispatchSync(const std::function<void()>& work) {
  if (std::this_thread::get_id() == mainThread_) return work();
  if (stopped()) return;
  auto item = std::make_shared<Item>();
  item->work = &work;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (released_) return;
    pending_.push_back(item);
  }
  pipe_.write(0);
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [&] { return item->done || (released_ && !item->running); });
}

void MainThreadApplication::performAfterDelay(const std::function<void()>& work, double seconds) {
  dispatchSync([&] {
    if (stopped()) return;
    loop_.addTimer(seconds, false, [this, work] {
      if (!stopped()) work();
    });
  });
}

void MainThreadApplication::run() {
  while (!stopped()) loop_.iterate();
}

void MainThreadApplication::runPending() {
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

void MainThreadApplication::release() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    released_ = true;
    pending_.clear();
  }
  changed_.notify_all();
}
