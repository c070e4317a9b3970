#include "download/download_entry.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(DownloadEntryTest, RecordsDestinationAndUrlOrItsOverride) {
  struct Case {
    std::optional<std::string> override;
    std::string expectedFrom;
  } cases[] = {
      {std::nullopt, "http://h/agent.zip"},
      {std::string("http://other/x.zip"), "http://other/x.zip"},
      {std::string(""), ""},
  };
  for (const Case& c : cases) {
    ScopedEnv env("QZ_INTERNAL_INSTALL_AGENT_URL", c.override);
    setDownloadStrings("/w/InstallAgent.zip", "http://h/agent.zip");
    EXPECT_EQ("/w/InstallAgent.zip", downloadTo);
    EXPECT_EQ(c.expectedFrom, downloadFrom);
  }
}
