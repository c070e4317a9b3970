// The main thread's event loop as a window toolkit runs it: watched
// descriptors, timers, and the toolkit's own events. Main thread only.
#ifndef BOOTSTRAP_PLATFORM_APP_MAIN_LOOP_H_
#define BOOTSTRAP_PLATFORM_APP_MAIN_LOOP_H_

#include <functional>
#include <memory>

class MainLoop {
 public:
  using TimerId = int;

  // Removes every watch and timer.
  virtual ~MainLoop() = default;
  // Waits for the next events and handles them.
  virtual void iterate() = 0;
  // Calls `onReady` whenever `fd` is readable or at its end, until unwatch.
  virtual void watch(int fd, std::function<void()> onReady) = 0;
  virtual void unwatch(int fd) = 0;
  // Calls `work` `seconds` from now, and every `seconds` after when `repeat`.
  virtual TimerId addTimer(double seconds, bool repeat, std::function<void()> work) = 0;
  // Harmless for a timer that fired (once) or was cancelled.
  virtual void cancelTimer(TimerId id) = 0;
};

// A loop of poll(2) that knows no toolkit events (the terminal window's).
std::unique_ptr<MainLoop> makePollMainLoop();

#endif  // BOOTSTRAP_PLATFORM_APP_MAIN_LOOP_H_
