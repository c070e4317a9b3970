#include "cache/cache_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Polled rather than blocking, so that a holder that never lets go (a
// stopped process) cannot hold this run forever.
bool lockWithin(int fd, int operation, double waitSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
  for (;;) {
    if (flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The lock file's descriptor, kept open for the rest of the process once a
// use is marked: closing it would release the lock.
int useFd = -1;

bool openLockFile(const std::string& cacheDir) {
  if (useFd >= 0) return true;
  std::string path = cacheDir + CACHE_LOCK_FILE;
  useFd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (useFd < 0) useFd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  return useFd >= 0;
}

}  // namespace

CacheLock::CacheLock(const std::string& cacheDir, double waitSeconds) {
  fd_ = open(cacheDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ >= 0) lockWithin(fd_, LOCK_EX, waitSeconds);
}

CacheLock::~CacheLock() {
  if (fd_ >= 0) close(fd_);  // closing the only descriptor releases the lock
}

bool claimCachedInstallAgent(const std::string& cacheDir, std::string* error) {
  if (!openLockFile(cacheDir)) {
    *error = cacheDir + CACHE_LOCK_FILE + " cannot be opened: " + std::strerror(errno);
    return false;
  }
  if (flock(useFd, LOCK_EX | LOCK_NB) == 0) return true;
  *error = "another run's install agent uses it; a later run replaces it";
  return false;
}

void useCachedInstallAgent(const std::string& cacheDir) {
  // Exclusive locks are taken only under the CacheLock, which this run holds:
  // the wait is for a run whose CacheLock wait ran out.
  if (openLockFile(cacheDir)) lockWithin(useFd, LOCK_SH, 120.0);
}

void releaseCachedInstallAgent() {
  if (useFd >= 0) flock(useFd, LOCK_UN);
}
