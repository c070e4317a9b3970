#include "platform/os/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(ProcessTest, ChildGetsItsArgumentsAsTheyAreAndItsStatusIsReturned) {
  ScratchDir scratch;
  std::string out = scratch / "args";
  int pid;
  std::string error;
  ASSERT_TRUE(spawnChild(
      "/bin/sh",
      {"-c", "printf '%s\\0' \"$@\" > \"$0\"; exit 7", out, "a b", "", "$HOME", "line\nbreak"},
      &pid, &error));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(7, waitForChild(pid));
  EXPECT_EQ(std::string("a b\0\0$HOME\0line\nbreak\0", 22), readFile(out));
  EXPECT_FALSE(spawnChild(scratch / "missing", {}, &pid, &error));
  EXPECT_EQ(-1, pid);
  EXPECT_EQ(scratch / "missing" + " cannot be started: No such file or directory", error);
}

TEST(ProcessTest, ChildInheritsNoDescriptorBeyondTheStandardOnes) {
  ScratchDir scratch;
  int leaked = open(scratch.path().c_str(), O_RDONLY);  // deliberately not close-on-exec
  ASSERT_GE(leaked, 3);
  std::string out = scratch / "fds";
  int pid;
  std::string error;
  ASSERT_TRUE(spawnChild("/bin/sh", {"-c", "ls /proc/$$/fd > \"$0\"", out}, &pid, &error));
  EXPECT_EQ(0, waitForChild(pid));
  close(leaked);
  std::string fds = readFile(out);
  EXPECT_EQ(std::string::npos, fds.find(std::to_string(leaked) + "\n")) << fds;
}

TEST(ProcessTest, LogLineCarriesTimeProgramProcessAndThread) {
  std::string line = platformLogLine("Download failed! Error code- 404");
  std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [^ \[]+\[\d+:\d+\] )"
                   R"(Download failed! Error code- 404)");
  EXPECT_TRUE(std::regex_match(line, shape)) << line;
  EXPECT_NE(std::string::npos, line.find("[" + std::to_string(getpid()) + ":"));
}
