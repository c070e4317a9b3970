#include "launch/launch.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(LaunchTest, CommandLinePieces) {
  const std::string prefix = "sh /tmp/qzK3t9Qa/install";
  const std::string resources = "/Vol/Boot.app/Contents/Resources";
  const char* none[] = {"/Vol/Boot.app/Contents/MacOS/boot"};
  EXPECT_EQ(prefix + " -installbundle " + resources + "/bundle.zip",
            installAgentCommandLine(prefix, resources, 1, none));

  const char* args[] = {"/Vol/Boot.app/Contents/MacOS/boot", "alpha", "beta gamma"};
  EXPECT_EQ(prefix + " -installbundle " + resources + "/bundle.zip \"alpha\" \"beta gamma\" ",
            installAgentCommandLine(prefix, resources, 3, args));

  EXPECT_EQ(prefix + " -installbundle \"/Volumes/My Disk/R/bundle.zip\"",
            installAgentCommandLine(prefix, "/Volumes/My Disk/R", 1, none));
  EXPECT_EQ(prefix + " -installbundle /R//bundle.zip",
            installAgentCommandLine(prefix, "/R/", 1, none));
}

TEST(LaunchTest, AgentStatusDecidesTheResult) {
  ScratchDir scratch;
  std::string agent = scratch / "install";
  writeFile(agent, "printf '%s\\0' \"$@\" > \"$0.args\"\nexit \"$3\"\n");
  RecordedMessages::clear();
  const char* ok[] = {"boot", "0"};
  EXPECT_TRUE(
      fireInstallAgentWithArgs(agent, "sh " + agent, "/R", 2, ok, RecordedMessages::record));
  const char nul = '\0';
  EXPECT_EQ(std::string("-installbundle") + nul + "/R/bundle.zip" + nul + "0" + nul,
            readFile(agent + ".args"));

  const char* fail[] = {"boot", "3"};
  EXPECT_FALSE(
      fireInstallAgentWithArgs(agent, "sh " + agent, "/R", 2, fail, RecordedMessages::record));
  EXPECT_TRUE(RecordedMessages::messages.empty()) << "the driver reports a failed agent";
}
