#include "cache/cache_layout.h"

#include <sys/stat.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "base/names.h"
#include "tests/test_util.h"

TEST(CacheLayoutTest, CacheDirectoryFollowsHome) {
  const std::string tail = ".korvex/app_installer_cache/" + RELEASE_NAME + "/darx64/";
  struct Case {
    std::optional<std::string> home;
    std::string expected;
  } cases[] = {
      {std::nullopt, "/tmp/" + tail},
      {std::string(""), "/tmp/" + tail},
      {"/Users/ann", "/Users/ann/" + tail},
      {"/Users/ann/", "/Users/ann/" + tail},
      {"/", "/" + tail},
      {"h", "h" + tail},
  };
  for (const Case& c : cases) {
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(c.expected, getInstallAgentCacheDir()) << c.home.value_or("(unset)");
  }
}

TEST(CacheLayoutTest, InstallAgentExecutable) {
  EXPECT_EQ("install", getInstallAgentExecutable(""));
  EXPECT_EQ("/w/install", getInstallAgentExecutable("/w"));
  EXPECT_EQ("/w/install", getInstallAgentExecutable("/w/"));
}

TEST(CacheLayoutTest, InstallAgentDirOnDiskNeedsTheEntry) {
  ScratchDir home;
  ScopedEnv env("HOME", home.path());
  std::string agentDir = getInstallAgentCacheDir() + "installagent";
  EXPECT_EQ("", installAgentDirOnDisk());

  ASSERT_EQ(0, mkpath(agentDir, 0700));
  EXPECT_EQ("", installAgentDirOnDisk()) << "an empty install agent directory holds no agent";

  writeFile(agentDir + "/install", "");
  EXPECT_EQ(agentDir + "/", installAgentDirOnDisk());

  ASSERT_EQ(0, unlink((agentDir + "/install").c_str()));
  ASSERT_EQ(0, mkdir((agentDir + "/install").c_str(), 0700));
  EXPECT_EQ(agentDir + "/", installAgentDirOnDisk()) << "any file type counts";
}

TEST(CacheLayoutTest, DefaultInstallAgentLocation) {
  ScratchDir resources;
  MainBundle bundle{"/b/Boot.app", resources.path()};
  EXPECT_EQ(resources / "InstallAgent.zip", getDefaultInstallAgentLocation(bundle))
      << "the archive path is given even when it does not exist";

  writeFile(resources / "InstallAgent.zip", "zip");
  writeFile(resources / "ZavirirazUdaDad", "#!/bin/sh\n");
  EXPECT_EQ(resources / "ZavirirazUdaDad", getDefaultInstallAgentLocation(bundle));

  MainBundle trailing{"/b/Boot.app", resources.path() + "/"};
  EXPECT_EQ(resources / "ZavirirazUdaDad", getDefaultInstallAgentLocation(trailing));

  EXPECT_EQ("", getDefaultInstallAgentLocation(std::nullopt));
  EXPECT_EQ("", getDefaultInstallAgentLocation(MainBundle{"/b/Boot.app", ""}));
}

TEST(CacheLayoutTest, MkpathCreatesEveryMissingParentWithTheMode) {
  ScratchDir scratch;
  std::string deep = scratch / "a/b/c";
  EXPECT_EQ(0, mkpath(deep, 0700));
  for (const std::string& dir : {scratch / "a", scratch / "a/b", deep}) {
    struct stat info;
    ASSERT_EQ(0, stat(dir.c_str(), &info)) << dir;
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(0700u, info.st_mode & 0777) << dir;
  }
  EXPECT_EQ(0, mkpath(deep, 0700)) << "an existing directory is fine";
  EXPECT_EQ(std::vector<std::string>{"c"}, listDir(scratch / "a/b"));
}

TEST(CacheLayoutTest, MkpathSkipsDoubledAndTrailingSeparators) {
  ScratchDir scratch;
  EXPECT_EQ(0, mkpath(scratch.path() + "//x//y/", 0700));
  EXPECT_TRUE(isDirectory(scratch / "x/y"));
  EXPECT_EQ(0, mkpath("", 0700));
}

TEST(CacheLayoutTest, MkpathStopsAtAFile) {
  ScratchDir scratch;
  writeFile(scratch / "f", "");
  errno = 0;
  EXPECT_EQ(-1, mkpath(scratch / "f/c/d", 0700));
  EXPECT_EQ(ENOTDIR, errno);
  errno = 0;
  EXPECT_EQ(-1, mkpath(scratch / "f", 0700));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(std::vector<std::string>{"f"}, listDir(scratch.path()));
}
