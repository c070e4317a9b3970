// A pipe a process writes to itself, to wake its main loop from another thread
// or from a signal handler.
#ifndef BOOTSTRAP_PLATFORM_APP_SELF_PIPE_H_
#define BOOTSTRAP_PLATFORM_APP_SELF_PIPE_H_

#include <string>

class SelfPipe {
 public:
  // Both ends non-blocking and close-on-exec.
  SelfPipe();
  ~SelfPipe();
  SelfPipe(const SelfPipe&) = delete;
  SelfPipe& operator=(const SelfPipe&) = delete;

  // The end to watch: readable once something was written.
  int readFd() const { return fds_[0]; }
  int writeFd() const { return fds_[1]; }
  // Writes one byte; async-signal-safe. A full pipe already wakes its reader,
  // so a byte that does not fit is dropped.
  void notify(char byte = 0) const { notifyFd(fds_[1], byte); }
  static void notifyFd(int fd, char byte);
  // Reads everything written so far.
  std::string drain() const;

 private:
  int fds_[2];
};

#endif  // BOOTSTRAP_PLATFORM_APP_SELF_PIPE_H_
