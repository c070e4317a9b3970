// The Application that other threads reach: the main loop with its hand-over
// queue, its stop, and its timers.
#ifndef BOOTSTRAP_PLATFORM_APP_MAIN_THREAD_APPLICATION_H_
#define BOOTSTRAP_PLATFORM_APP_MAIN_THREAD_APPLICATION_H_

#include <atomic>

#include "platform/app/application.h"
#include "platform/app/main_loop.h"
#include "platform/app/main_queue.h"
#include "platform/app/self_pipe.h"

class MainThreadApplication : public Application {
 public:
  // On the main thread; `loop` outlives the application.
  explicit MainThreadApplication(MainLoop& loop);
  ~MainThreadApplication() override;

  void stop() override;
  void dispatchSync(const std::function<void()>& work) override;
  void performAfterDelay(const std::function<void()>& work, double seconds) override;

  bool stopped() const { return stopped_.load(); }
  bool isMainThread() const { return queue_.isMainThread(); }

  // Runs the loop until stop(); at once when stopped already.
  void run();
  // After run(): cancels the timers and releases every hand-over, waiting or
  // asked for later, so no thread can block on the main thread any more.
  void release();

 private:
  void wake() { wakePipe_.notify(); }
  void handOverArrived();

  MainLoop& loop_;
  SelfPipe wakePipe_;
  MainQueue queue_;
  std::atomic<bool> stopped_{false};
};

#endif  // BOOTSTRAP_PLATFORM_APP_MAIN_THREAD_APPLICATION_H_
