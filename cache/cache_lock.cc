#include "cache/cache_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

CacheLock::CacheLock(const std::string& cacheDir, double waitSeconds) {
  fd_ = open(cacheDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  // Polled rather than blocking, so that a holder that never lets go (a
  // stopped process) cannot hold this run forever.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return;
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

CacheLock::~CacheLock() {
  if (fd_ >= 0) close(fd_);  // closing the only descriptor releases the lock
}
