#include "cache/cache_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cache/cache_layout.h"
#include "tests/test_util.h"

namespace {

const char* const kCacheFolders[] = {"/.korvex", "/.korvex/app_installer_cache",
                                     "/.korvex/app_installer_cache/T3016b",
                                     "/.korvex/app_installer_cache/T3016b/darx64"};

std::string makeCurrentCache(const ScratchDir& home) {
  ScopedEnv env("HOME", home.path());
  std::string cacheDir = getInstallAgentCacheDir();
  mkpath(cacheDir + "installagent", 0700);
  writeFile(cacheDir + "installagent/install", "exit 0\n");
  writeFile(cacheDir + ".validatestring", "\"etag\"");
  return cacheDir;
}

bool isFolder(const std::string& path) { return path.find(".validatestring") == std::string::npos; }

}  // namespace

TEST(CacheTrustTest, PathsRunFromTheTopFolderToTheValidationString) {
  std::vector<std::string> expected;
  for (const char* folder : kCacheFolders) expected.push_back(std::string("/h") + folder);
  expected.push_back("/h/.korvex/app_installer_cache/T3016b/darx64/installagent");
  expected.push_back("/h/.korvex/app_installer_cache/T3016b/darx64/.validatestring");
  EXPECT_EQ(expected, cachePathsToTrust("/h/.korvex/app_installer_cache/T3016b/darx64/"));
  EXPECT_EQ(std::vector<std::string>(), cachePathsToTrust("/h/elsewhere/"));
}

TEST(CacheTrustTest, OwnPrivatePathsAndMissingOnesAreTrusted) {
  ScratchDir home;
  std::string cacheDir = makeCurrentCache(home);
  for (const std::string& path : cachePathsToTrust(cacheDir)) {
    EXPECT_EQ("", distrustOf(path, isFolder(path))) << path;
  }
  EXPECT_EQ("", distrustOf(home / "missing", true));
  EXPECT_EQ("", secureCache(cacheDir));
  EXPECT_EQ("\"etag\"", readFile(cacheDir + ".validatestring")) << "a trusted cache was touched";
}

TEST(CacheTrustTest, EachKindOfDistrustRemovesFromThatPathDown) {
  struct Case {
    const char* name;
    std::string relative;  // below the home
    void (*spoil)(const std::string& path);
    std::string why;
  };
  auto groupWritable = [](const std::string& path) { chmod(path.c_str(), 0770); };
  auto othersWritable = [](const std::string& path) { chmod(path.c_str(), 0606); };
  auto replacedByLink = [](const std::string& path) {
    rename(path.c_str(), (path + ".real").c_str());
    symlink((path + ".real").c_str(), path.c_str());
  };
  auto replacedByFile = [](const std::string& path) {
    rename(path.c_str(), (path + ".real").c_str());
    writeFile(path, "");
  };
  const std::string cache = ".korvex/app_installer_cache/T3016b/darx64/";
  const Case cases[] = {
      {"top folder writable by the group", ".korvex", groupWritable, " may be written by others"},
      {"agent folder a link", cache + "installagent", replacedByLink, " is a symbolic link"},
      {"agent folder a file", cache + "installagent", replacedByFile, " is not a directory"},
      {"validation string writable by others", cache + ".validatestring", othersWritable,
       " may be written by others"},
      {"validation string a link", cache + ".validatestring", replacedByLink,
       " is a symbolic link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir home;
    std::string cacheDir = makeCurrentCache(home);
    std::string path = home / c.relative;
    c.spoil(path);
    EXPECT_EQ(path + c.why, distrustOf(path, isFolder(path)));
    EXPECT_EQ("", secureCache(cacheDir));
    struct stat info;
    EXPECT_NE(0, lstat(path.c_str(), &info)) << "the untrusted path is still there";
    for (const std::string& each : cachePathsToTrust(cacheDir)) {
      EXPECT_EQ("", distrustOf(each, isFolder(each))) << each;
    }
  }
}

TEST(CacheTrustTest, AnotherUsersCacheIsNeverTrusted) {
  ASSERT_EQ(0u, geteuid()) << "handing a folder to another user needs root";
  ScratchDir home;
  std::string cacheDir = makeCurrentCache(home);
  std::string agentDir = cacheDir + "installagent";
  ASSERT_EQ(0, chown(agentDir.c_str(), 65534, 65534));
  EXPECT_EQ(agentDir + " belongs to another user", distrustOf(agentDir, true));
  EXPECT_EQ("", secureCache(cacheDir));  // root may remove it
  EXPECT_FALSE(isDirectory(agentDir));
  EXPECT_EQ("\"etag\"", readFile(cacheDir + ".validatestring"))
      << "a trusted validation string beside it stays";
}
