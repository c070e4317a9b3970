// SIGINT and SIGTERM as bytes on a self-pipe, for the main loop to handle:
// the handler itself only writes the signal's number. A signal that came
// ignored from the parent is left ignored, and so never arrives.
#ifndef BOOTSTRAP_PLATFORM_APP_SIGNAL_WATCH_H_
#define BOOTSTRAP_PLATFORM_APP_SIGNAL_WATCH_H_

#include <signal.h>

#include <vector>

#include "platform/app/self_pipe.h"

class SignalWatch {
 public:
  // Installs the handlers (for the signals that did not come ignored); one
  // watch at a time.
  SignalWatch();
  // Puts back the handling there was before (as a rule the default).
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // Readable once a signal arrived.
  int fd() const { return pipe_.readFd(); }
  // The signals that arrived since the last call, in order.
  std::vector<int> take();

 private:
  static void handle(int signal);

  struct Watched {
    int signal;
    struct sigaction saved;
  };

  SelfPipe pipe_;
  std::vector<Watched> watched_;
};

#endif  // BOOTSTRAP_PLATFORM_APP_SIGNAL_WATCH_H_
