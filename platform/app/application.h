// The main thread's event loop as other threads reach it: the hand-overs to
// that thread, its timers, and its stop.
#ifndef BOOTSTRAP_PLATFORM_APP_APPLICATION_H_
#define BOOTSTRAP_PLATFORM_APP_APPLICATION_H_

#include <functional>

class Application {
 public:
  virtual ~Application() = default;
  // Ends the event loop; from any thread, once however often asked.
  virtual void stop() = 0;
  // Runs `work` on the main thread and waits for it; at once when called on
  // the main thread. Once the loop has stopped, `work` is dropped and the call
  // returns at once, so no thread can block on the main thread any more.
  virtual void dispatchSync(const std::function<void()>& work) = 0;
  // Runs `work` on the main thread's event loop `seconds` later, unless the
  // loop has stopped by then.
  virtual void performAfterDelay(const std::function<void()>& work, double seconds) = 0;
};

#endif  // BOOTSTRAP_PLATFORM_APP_APPLICATION_H_
