#include "platform/app/main_thread_application.h"

MainThreadApplication::MainThreadApplication(MainLoop& loop)
    : loop_(loop), queue_([this] { wake(); }) {
  loop_.watch(wakePipe_.readFd(), [this] { handOverArrived(); });
}

MainThreadApplication::~MainThreadApplication() { loop_.unwatch(wakePipe_.readFd()); }

void MainThreadApplication::stop() {
  if (stopped_.exchange(true)) return;
  wake();
}

void MainThreadApplication::dispatchSync(const std::function<void()>& work) {
  if (stopped() && !isMainThread()) return;
  queue_.runSync(work);
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

void MainThreadApplication::release() {
  loop_.cancelAllTimers();
  queue_.release();
}

void MainThreadApplication::handOverArrived() {
  wakePipe_.drain();
  if (!stopped()) queue_.runPending();
}
