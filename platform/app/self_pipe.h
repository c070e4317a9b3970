// A pipe a process writes to itself, watched by the main loop: written from
// another thread or a signal handler, it calls its reader on the main thread.
#ifndef BOOTSTRAP_PLATFORM_APP_SELF_PIPE_H_
#define BOOTSTRAP_PLATFORM_APP_SELF_PIPE_H_

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <signal.h>

#include "platform/app/main_loop.h"

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

#endif  // BOOTSTRAP_PLATFORM_APP_SELF_PIPE_H_
