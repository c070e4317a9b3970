// The Application that other threads reach: the main loop, the work handed to
// it (each giver waiting for its own), its timers and its stop.
#ifndef BOOTSTRAP_PLATFORM_APP_MAIN_THREAD_APPLICATION_H_
#define BOOTSTRAP_PLATFORM_APP_MAIN_THREAD_APPLICATION_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/app/application.h"
#include "platform/app/main_loop.h"
#include "platform/app/self_pipe.h"

class MainThreadApplication : public Application {
 public:
  // On the main thread; `loop` outlives the application. Until it is
  // destroyed, SIGINT and SIGTERM call `onSignal` on the main thread.
  MainThreadApplication(MainLoop& loop, std::function<void()> onSignal);

  void stop() override;
  void dispatchSync(const std::function<void()>& work) override;
  void performAfterDelay(const std::function<void()>& work, double seconds) override;

  // Runs the loop until stop(); at once when stopped already.
  void run();
  // After run(): drops the work waiting to run and every later hand-over,
  // releasing the threads that wait for theirs.
  void release();

 private:
  struct Item {
    const std::function<void()>* work;
    bool running = false;  // a released waiter still waits for running work
    bool done = false;
  };
  bool stopped() const { return stopped_.load(); }
  void runPending();

  MainLoop& loop_;
  const std::thread::id mainThread_ = std::this_thread::get_id();
  std::atomic<bool> stopped_{false};
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Item>> pending_;
  bool released_ = false;
  SelfPipe pipe_;  // wakes the loop: 0 for work, a signal's number
};

#endif  // BOOTSTRAP_PLATFORM_APP_MAIN_THREAD_APPLICATION_H_
