#include "sourcing/unpack.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(UnpackTest, CommandLineQuotesOnlyWhereNeeded) {
  EXPECT_EQ("unzip -qq -o /w/InstallAgent.zip -d /w",
            unzipCommandLine("/w/InstallAgent.zip", "/w", "unzip"));
  EXPECT_EQ("unzip -qq -o \"/My Disk/a.zip\" -d \"/My Disk/w\"",
            unzipCommandLine("/My Disk/a.zip", "/My Disk/w", "unzip"));
}

TEST(UnpackTest, MissingArchiveRunsNothing) {
  ScratchDir scratch;
  RecordedMessages::clear();
  // A tool that would leave a trace if it ran.
  std::string tool = scratch / "tool";
  writeFile(tool, "#!/bin/sh\ntouch \"$0.ran\"\n");
  chmod(tool.c_str(), 0700);
  EXPECT_FALSE(
      unzipInstallAgent(scratch / "absent.zip", scratch.path(), tool, RecordedMessages::record));
  EXPECT_TRUE(RecordedMessages::messages.empty());
  EXPECT_EQ(std::vector<std::string>{"tool"}, listDir(scratch.path()));

  writeFile(scratch / "present.zip", "");
  EXPECT_TRUE(
      unzipInstallAgent(scratch / "present.zip", scratch.path(), tool, RecordedMessages::record));
  EXPECT_TRUE(isDirectory(scratch.path()) && readFile(scratch / "tool.ran").empty());
  EXPECT_EQ((std::vector<std::string>{"present.zip", "tool", "tool.ran"}), listDir(scratch.path()));
}

TEST(UnpackTest, FailingToolIsReported) {
  ScratchDir scratch;
  RecordedMessages::clear();
  // A directory is no archive: the real unzip runs and fails.
  EXPECT_FALSE(
      unzipInstallAgent(scratch.path(), scratch / "out", "unzip", RecordedMessages::record));
  ASSERT_EQ(1u, RecordedMessages::messages.size());
  EXPECT_EQ("Failed to unzip the install agent", RecordedMessages::messages[0].first);
  EXPECT_TRUE(RecordedMessages::messages[0].second);
}

TEST(UnpackTest, SucceedingToolIsTrue) {
  ScratchDir scratch;
  writeFile(scratch / "a.zip", "");
  RecordedMessages::clear();
  EXPECT_TRUE(
      unzipInstallAgent(scratch / "a.zip", scratch.path(), "true", RecordedMessages::record));
  EXPECT_TRUE(RecordedMessages::messages.empty());
}

TEST(UnpackTest, ToolIsLookedUpAsTheShellDoes) {
  ScratchDir scratch;
  for (const char* folder : {"bin", "plain", "dir", "dir/tool"})
    mkdir((scratch / folder).c_str(), 0700);
  writeFile(scratch / "bin/tool", "");
  writeFile(scratch / "plain/tool", "");
  ASSERT_EQ(0, chmod((scratch / "bin/tool").c_str(), 0755));
  struct Case {
    std::string path;
    bool found;
  } cases[] = {
      {scratch / "bin", true},
      {scratch / "plain:" + scratch / "dir", false},  // not executable; a folder
      {scratch / "plain:" + scratch / "bin", true},
      {"/nonexistent:", true},  // an empty entry: the current folder, here bin
      {"/nonexistent", false},
  };
  char* cwd = getcwd(nullptr, 0);
  ASSERT_EQ(0, chdir((scratch / "bin").c_str()));
  for (const Case& c : cases) {
    ScopedEnv path("PATH", c.path);
    EXPECT_EQ(c.found, toolOnPath("tool")) << c.path;
  }
  ASSERT_EQ(0, chdir(cwd));
  free(cwd);
  ScopedEnv unset("PATH", std::nullopt);
  EXPECT_TRUE(toolOnPath("sh")) << "the shell's default folders";
}
