// The main thread's event loop as a window toolkit runs it: watched
// descriptors, timers, and the toolkit's own events; and the pipe that wakes
// it from other threads and signal handlers.
#ifndef BOOTSTRAP_PLATFORM_APP_MAIN_LOOP_H_
#define BOOTSTRAP_PLATFORM_APP_MAIN_LOOP_H_

#include <signal.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Main thread only.
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

// A pipe the process writes to itself from another thread or a signal
// handler, which calls its reader on the main thread.
class SelfPipe {
 public:
  // On the main thread: `onBytes` gets, on the main thread, the bytes written
  // since its last call. `loop` outlives the pipe.
  SelfPipe(MainLoop& loop, std::function<void(const std::string& bytes)> onBytes);
  // Puts back the signals' handling there was before.
  ~SelfPipe();
  SelfPipe(const SelfPipe&) = delete;
  SelfPipe& operator=(const SelfPipe&) = delete;

  // Writes one byte; async-signal-safe. A full pipe already wakes its reader,
  // so a byte that does not fit is dropped.
  void write(char byte) const;
  // Each of `signals` writes its number here from now on; one pipe per signal
  // at a time. With `keepIgnored`, a signal that came ignored from whoever
  // started us stays ignored: a handler would also reach children started
  // meanwhile as the default action.
  void catchSignals(std::initializer_list<int> signals, bool keepIgnored);

 private:
  MainLoop& loop_;
  int fds_[2];
  std::vector<std::pair<int, struct sigaction>> saved_;  // by signal
};

#endif  // BOOTSTRAP_PLATFORM_APP_MAIN_LOOP_H_
