#include "cache/cache_layout.h"

#include <gtest/gtest.h>

#include "base/names.h"
#include "tests/test_util.h"

TEST(CacheLayoutTest, CacheDirectoryFollowsHome) {
  const std::string tail = ".korvex/app_installer_cache/" + RELEASE_NAME + "/darx64/";
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, "/tmp/" + tail}, {"", "/tmp/" + tail},  {"/Users/ann", "/Users/ann/" + tail},
      {"/Users/ann/", "/Users/ann/" + tail}, {"/", "/" + tail}, {"h", "h" + tail},
  };
  for (const auto& [home, expected] : cases) {
    ScopedEnv env("HOME", home);
    EXPECT_EQ(expected, getInstallAgentCacheDir()) << home.value_or("(unset)");
  }
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
}
