#include "cache/cache_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

// Whether another process could take even a shared lock on `dir` now.
bool otherProcessGetsLock(const std::string& dir) {
  pid_t child = fork();
  if (child == 0) _exit(flock(open(dir.c_str(), O_RDONLY), LOCK_SH | LOCK_NB) == 0 ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(CacheLockTest, ExcludesOtherProcessesWhileHeld) {
  ScratchDir cache;
  {
    CacheLock lock(cache.path());
    EXPECT_FALSE(otherProcessGetsLock(cache.path()));
  }
  EXPECT_TRUE(otherProcessGetsLock(cache.path())) << "released with its owner";
}
