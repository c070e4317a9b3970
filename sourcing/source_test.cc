#include "sourcing/source.h"

#include <gtest/gtest.h>

#include "cache/cache_layout.h"
#include "tests/test_util.h"

namespace {

// A download step that records its call and answers as told; it can fill the
// cache the way the download window does.
struct FakeDownload {
  static int calls;
  static std::string destination, url;
  static bool answer;
  static bool fillsCache;
  static void reset(bool result, bool fill) {
    calls = 0;
    destination = url = "";
    answer = result;
    fillsCache = fill;
  }
  static bool run(const char* to, const std::string& from, MessageCallback) {
    ++calls;
    destination = to;
    url = from;
    if (fillsCache) writeFile(getInstallAgentCacheDir() + "installagent/install", "cached");
    return answer;
  }
};
int FakeDownload::calls;
std::string FakeDownload::destination, FakeDownload::url;
bool FakeDownload::answer, FakeDownload::fillsCache;

class SourceTest : public testing::Test {
 protected:
  SourceTest() : home_env_("HOME", home_.path()) {
    RecordedMessages::clear();
    FakeDownload::reset(false, false);
  }
  std::string source(const std::string& location, const std::string& url = "http://h/a.zip") {
    return sourceInstallAgentFrom(location, work_.path(), url, RecordedMessages::record,
                                  FakeDownload::run);
  }
  std::string cacheAgentDir() const { return getInstallAgentCacheDir() + "installagent"; }

  ScratchDir home_, resources_, work_;
  ScopedEnv home_env_;
};

}  // namespace

TEST_F(SourceTest, ReadyToRunEntryIsUsedInPlace) {
  writeFile(resources_ / "ZavirirazUdaDad", "#!/bin/sh\n");
  writeFile(resources_ / "InstallAgent.zip", "not used");
  EXPECT_EQ(resources_ / "ZavirirazUdaDad", source(resources_ / "ZavirirazUdaDad"));
  EXPECT_EQ(0, FakeDownload::calls);
  EXPECT_TRUE(listDir(work_.path()).empty());
  EXPECT_TRUE(listDir(home_.path()).empty()) << "the cache is not touched";
}

TEST_F(SourceTest, BundleArchiveIsUnpackedIntoTheWorkingDirectory) {
  makeZip(resources_ / "InstallAgent.zip", {{"install", "echo agent\n"}});
  ASSERT_EQ(0, mkpath(cacheAgentDir(), 0700));
  writeFile(cacheAgentDir() + "/install", "cached");  // a cache that must stay as it is
  std::vector<std::string> cacheBefore = listDir(getInstallAgentCacheDir());
  EXPECT_EQ(work_ / "install", source(resources_ / "InstallAgent.zip"));
  EXPECT_EQ("echo agent\n", readFile(work_ / "install"));
  EXPECT_EQ(0, FakeDownload::calls);
  EXPECT_EQ(cacheBefore, listDir(getInstallAgentCacheDir()));
  EXPECT_EQ("cached", readFile(cacheAgentDir() + "/install"));
}

TEST_F(SourceTest, AlternativeArchiveWhenTheMainOneIsMissing) {
  makeZip(resources_ / "InstallAgent_9.zip", {{"install", "nine"}});
  EXPECT_EQ(work_ / "install", source(resources_ / "InstallAgent.zip"));
  EXPECT_EQ("nine", readFile(work_ / "install"));
}

TEST_F(SourceTest, OnlyExactAlternativeNamesQualify) {
  struct Case {
    std::string name;
    bool qualifies;
  } cases[] = {
      {"InstallAgent_.zip", true},       {"InstallAgent_x.zip", true},
      {"InstallAgent_x.ZIP", false},     {"InstallAgent.zip.old", false},
      {"MyInstallAgent_x.zip", false},   {"InstallAgent-x.zip", false},
      {"InstallAgent_x.zip.bak", false}, {"installagent_x.zip", false},
  };
  for (const Case& c : cases) {
    ScratchDir resources;
    writeFile(resources / c.name, "");
    std::string expected = c.qualifies ? resources / c.name : "";
    EXPECT_EQ(expected, findAlternativeArchive(resources.path())) << c.name;
  }
}

TEST_F(SourceTest, WithoutBundleArchiveTheDownloadRuns) {
  writeFile(resources_ / "InstallAgent-x.zip", "");
  EXPECT_EQ("", source(resources_ / "InstallAgent.zip", "http://h/agent.zip"));
  EXPECT_EQ(1, FakeDownload::calls);
  EXPECT_EQ(work_ / "InstallAgent.zip", FakeDownload::destination);
  EXPECT_EQ("http://h/agent.zip", FakeDownload::url);
  EXPECT_TRUE(isDirectory(cacheAgentDir())) << "made before the download, kept after a failure";
  EXPECT_TRUE(RecordedMessages::messages.empty());
}

TEST_F(SourceTest, WithoutUnzipOnPathNothingIsDownloaded) {
  ScratchDir emptyBin;
  ScopedEnv path("PATH", emptyBin.path());
  EXPECT_EQ("", source(resources_ / "InstallAgent.zip"));
  EXPECT_EQ(0, FakeDownload::calls);
  EXPECT_TRUE(listDir(home_.path()).empty()) << "the cache is not touched";
}

TEST_F(SourceTest, NoMainBundleTakesTheDownloadRouteWithTheUrlUnchanged) {
  EXPECT_EQ("", source("", ""));
  EXPECT_EQ(1, FakeDownload::calls);
  EXPECT_EQ("", FakeDownload::url);
}

TEST_F(SourceTest, UrlReachesTheDownloadWholeEvenWithANulByte) {
  const std::string url("http://127.0.0.1/agent\0.zip", 27);
  EXPECT_EQ("", source("", url));
  EXPECT_EQ(url, FakeDownload::url) << "not cut at the NUL into another URL";
}

TEST_F(SourceTest, SuccessfulDownloadThatFilledTheCacheIsUsedAsIs) {
  FakeDownload::reset(true, true);
  makeZip(work_ / "InstallAgent.zip", {{"install", "downloaded"}});
  EXPECT_EQ(cacheAgentDir() + "/install", source(""));
  EXPECT_EQ("cached", readFile(cacheAgentDir() + "/install")) << "nothing unpacked over it";
}

TEST_F(SourceTest, SuccessfulDownloadIsUnpackedIntoAnEmptyCache) {
  FakeDownload::reset(true, false);
  makeZip(work_ / "InstallAgent.zip", {{"install", "downloaded"}});
  EXPECT_EQ(cacheAgentDir() + "/install", source(""));
  EXPECT_EQ("downloaded", readFile(cacheAgentDir() + "/install"));
}

TEST_F(SourceTest, FailedUnpackingIsReported) {
  struct Case {
    std::string archiveContent;  // empty: no archive at all
    std::vector<std::string> messages;
  } cases[] = {
      {"", {"Failed to initialize the install agent."}},
      {"garbage", {"Failed to unzip the install agent", "Failed to initialize the install agent."}},
  };
  for (const Case& c : cases) {
    ScratchDir work;
    FakeDownload::reset(true, false);
    RecordedMessages::clear();
    if (!c.archiveContent.empty()) writeFile(work / "InstallAgent.zip", c.archiveContent);
    EXPECT_EQ("", sourceInstallAgentFrom("", work.path(), "u", RecordedMessages::record,
                                         FakeDownload::run));
    std::vector<std::string> texts;
    for (const auto& message : RecordedMessages::messages) {
      texts.push_back(message.first);
      EXPECT_TRUE(message.second);
    }
    EXPECT_EQ(c.messages, texts);
  }
}

TEST_F(SourceTest, CorruptBundleArchiveIsReportedTwice) {
  writeFile(resources_ / "InstallAgent.zip", "garbage");
  EXPECT_EQ("", source(resources_ / "InstallAgent.zip"));
  ASSERT_EQ(2u, RecordedMessages::messages.size());
  EXPECT_EQ("Failed to unzip the install agent", RecordedMessages::messages[0].first);
  EXPECT_EQ("Failed to initialize the install agent.", RecordedMessages::messages[1].first);
  EXPECT_EQ(0, FakeDownload::calls);
}
