// An advisory lock on the per-user cache directory, so that bootstraps of the
// same user that run at once never see each other's half-done cache steps.
#ifndef BOOTSTRAP_CACHE_CACHE_LOCK_H_
#define BOOTSTRAP_CACHE_CACHE_LOCK_H_

#include <string>

class CacheLock {
 public:
  // Takes an exclusive flock on `cacheDir`, waiting while another process
  // holds it, at most `waitSeconds`. A directory that cannot be opened, or a
  // lock still held elsewhere after the wait, leaves the lock not held and
  // the caller goes on: every cache step is safe unlocked too, only not
  // against a concurrent run. Hold it only for short steps, never across
  // waiting for the main thread.
  explicit CacheLock(const std::string& cacheDir, double waitSeconds = 120.0);
  // Releases the lock.
  ~CacheLock();
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

#endif  // BOOTSTRAP_CACHE_CACHE_LOCK_H_
