// Locks on the per-user cache, so that bootstraps of the same user that run
// at once never see each other's half-done cache steps, and never delete an
// install agent that another run has started and that still runs.
#ifndef BOOTSTRAP_CACHE_CACHE_LOCK_H_
#define BOOTSTRAP_CACHE_CACHE_LOCK_H_

#include <string>

// The file in the cache directory whose shared lock marks the cached install
// agent as in use.
inline const std::string CACHE_LOCK_FILE = ".lock";

// The lock for the short cache steps: checking, deleting, unpacking, starting.
class CacheLock {
 public:
  // Takes an exclusive flock on `cacheDir`, waiting at most `waitSeconds`
  // while another process holds it. Without the directory or the lock the
  // caller goes on unlocked: every cache step is safe then too, only not
  // against a concurrent run. Never held across waiting for the main thread.
  explicit CacheLock(const std::string& cacheDir, double waitSeconds = 120.0);
  ~CacheLock();
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

  // The locked directory's descriptor (-1 when it could not be opened), for
  // a child that must hold the lock as long as it runs.
  int descriptor() const { return fd_; }

 private:
  int fd_ = -1;
};

// The cached install agent in use: a run that starts it holds a shared lock
// on the lock file until the process (and so its agent) ends; deleting or
// unpacking it needs the exclusive lock, never waited for: an agent may run
// for an hour. Only while holding the CacheLock; one use per process.

// Takes the exclusive lock without waiting. True when this run may delete or
// unpack the cached agent, until it calls useCachedInstallAgent or
// releaseCachedInstallAgent; false, with why in `error`, when another run's
// install agent uses the cache or the lock file cannot be had.
bool claimCachedInstallAgent(const std::string& cacheDir, std::string* error);

// Marks the cached install agent as used by this run until the process ends;
// a lock file that cannot be had leaves it unmarked.
void useCachedInstallAgent(const std::string& cacheDir);

// Gives up a claim.
void releaseCachedInstallAgent();

#endif  // BOOTSTRAP_CACHE_CACHE_LOCK_H_
