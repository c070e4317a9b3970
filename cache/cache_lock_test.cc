#include "cache/cache_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

// Whether another process could take the lock on `dir` within `waitSeconds`:
// a child asks, as a second bootstrap would.
bool otherProcessGetsLock(const std::string& dir, double waitSeconds) {
  pid_t child = fork();
  if (child == 0) {
    CacheLock lock(dir, waitSeconds);
    _exit(lock.held() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(CacheLockTest, ExcludesOtherProcessesWhileHeld) {
  ScratchDir cache;
  {
    CacheLock lock(cache.path());
    ASSERT_TRUE(lock.held());
    EXPECT_FALSE(otherProcessGetsLock(cache.path(), 0.2));
  }
  EXPECT_TRUE(otherProcessGetsLock(cache.path(), 0.2)) << "released with its owner";
}

TEST(CacheLockTest, MissingDirectoryLeavesItNotHeld) {
  ScratchDir scratch;
  CacheLock lock(scratch / "missing", 0.1);
  EXPECT_FALSE(lock.held());
}
