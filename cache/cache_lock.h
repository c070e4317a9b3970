// Locks on the per-user cache, so that concurrent runs never see each other's
// half-done steps nor delete an install agent another run still runs.
#ifndef BOOTSTRAP_CACHE_CACHE_LOCK_H_
#define BOOTSTRAP_CACHE_CACHE_LOCK_H_

#include <string>

// The file whose shared lock marks the cached install agent as in use.
inline const std::string CACHE_LOCK_FILE = ".lock";

// The lock for the short cache steps: checking, deleting, unpacking, starting.
class CacheLock {
 public:
  // Takes an exclusive flock on `cacheDir`, waiting at most `waitSeconds`;
  // without it the caller goes on unlocked. Never held while waiting for the
  // main thread.
  explicit CacheLock(const std::string& cacheDir, double waitSeconds = 120.0);
  ~CacheLock();
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

  // The locked directory's descriptor, or -1.
  int descriptor() const { return fd_; }

 private:
  int fd_ = -1;
};

// The three below only under the CacheLock, once per process.

// Takes the lock file's exclusive lock without waiting: true when this run may
// replace the cached agent; false, with why in `error`, when it may not.
bool claimCachedInstallAgent(const std::string& cacheDir, std::string* error);

// Marks the cached install agent as used (a shared lock) until the process ends.
void useCachedInstallAgent(const std::string& cacheDir);

// Gives up a claim.
void releaseCachedInstallAgent();

#endif  // BOOTSTRAP_CACHE_CACHE_LOCK_H_
