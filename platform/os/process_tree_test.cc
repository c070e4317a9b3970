#include "platform/os/process_tree.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/os/process.h"
#include "tests/test_util.h"

TEST(ProcessTreeTest, FindsChildrenAndGrandchildrenUntilTheyEnd) {
  ScratchDir scratch;
  std::string pidFile = scratch / "grandchild";
  // A shell (the child) that starts a sleep (the grandchild) and waits for it.
  int child;
  std::string error;
  ASSERT_TRUE(
      spawnChild("/bin/sh", {"-c", "sleep 30 & echo $! > " + pidFile + "; wait"}, &child, &error));
  ASSERT_GT(child, 0);
  int grandchild = 0;
  for (int tries = 0; tries < 500 && grandchild == 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    grandchild = std::atoi(readFile(pidFile).c_str());
  }
  ASSERT_GT(grandchild, 0);
  std::vector<int> found = descendantProcesses();
  auto at = [&](int pid) { return std::find(found.begin(), found.end(), pid) - found.begin(); };
  ASSERT_LT(at(child), static_cast<long>(found.size()));
  ASSERT_LT(at(grandchild), static_cast<long>(found.size()));
  EXPECT_LT(at(child), at(grandchild)) << "parents come before their children";
  EXPECT_FALSE(processEnded(child));

  kill(grandchild, SIGKILL);
  waitForChild(child);  // the shell ends once its sleep is gone
  EXPECT_TRUE(processEnded(child));
  EXPECT_TRUE(processEnded(grandchild));
  found = descendantProcesses();
  EXPECT_EQ(found.end(), std::find(found.begin(), found.end(), child));
}
