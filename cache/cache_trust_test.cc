#include "cache/cache_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/names.h"
#include "cache/cache_layout.h"
#include "tests/test_util.h"

namespace {

std::string makeCurrentCache(const ScratchDir& home) {
  ScopedEnv env("HOME", home.path());
  std::string cacheDir = getInstallAgentCacheDir();
  mkpath(cacheDir + "installagent", 0700);
  writeFile(cacheDir + "installagent/install", "exit 0\n");
  writeFile(cacheDir + ".validatestring", "\"etag\"");
  writeFile(cacheDir + ".verifiedkey", "0123456789ABCDEF");
  return cacheDir;
}

bool isFolder(const std::string& path) {
  return path.find(".validatestring") == std::string::npos &&
         path.find(".verifiedkey") == std::string::npos;
}

// Why `path` is not trusted; empty when it is.
std::string distrustOf(const std::string& path, bool directory) {
  std::string why;
  return ownPathIsTrusted(path, directory, &why) ? std::string() : why;
}

// The log line of a cache that may not be used; empty when it may.
std::string secureCache(const std::string& cacheDir) {
  std::string line;
  return ::secureCache(cacheDir, &line) ? std::string() : line;
}

}  // namespace

TEST(CacheTrustTest, FoldersAboveAreTheHomeToTheReleaseOwnPathsTheRest) {
  const std::string top = "/h/.korvex/app_installer_cache";
  const std::string release = top + "/" + RELEASE_NAME, own = release + "/darx64";
  EXPECT_EQ((std::vector<std::string>{"/h", "/h/.korvex", top, release}),
            foldersAboveCache(own + "/"));
  EXPECT_EQ("/",
            foldersAboveCache("/.korvex/app_installer_cache/" + RELEASE_NAME + "/darx64/").front());
  EXPECT_EQ((std::vector<std::string>{own, own + "/installagent", own + "/.validatestring",
                                      own + "/.verifiedkey", own + "/.lock"}),
            cachePathsToTrust(own + "/"));
  EXPECT_EQ(std::vector<std::string>(), foldersAboveCache("/h/elsewhere/"));
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
  auto othersWritable = [](const std::string& path) { chmod(path.c_str(), 0606); };
  auto replacedByLink = [](const std::string& path) {
    rename(path.c_str(), (path + ".real").c_str());
    symlink((path + ".real").c_str(), path.c_str());
  };
  auto replacedByFile = [](const std::string& path) {
    rename(path.c_str(), (path + ".real").c_str());
    writeFile(path, "");
  };
  const std::string cache = ".korvex/app_installer_cache/" + RELEASE_NAME + "/darx64/";
  const Case cases[] = {
      {"agent folder a link", cache + "installagent", replacedByLink, " is a symbolic link"},
      {"agent folder a file", cache + "installagent", replacedByFile, " is not a directory"},
      {"validation string writable by others", cache + ".validatestring", othersWritable,
       " may be written by others"},
      {"validation string a link", cache + ".validatestring", replacedByLink,
       " is a symbolic link"},
      {"verified key a link", cache + ".verifiedkey", replacedByLink, " is a symbolic link"},
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

TEST(CacheTrustTest, FoldersAboveAreJudgedThroughLinksAndNeverChanged) {
  ASSERT_EQ(0u, geteuid()) << "handing a folder to another user needs root";
  struct Case {
    const char* name;
    std::string folder;  // below the home
    void (*spoil)(const std::string& path);
    const char* why;  // empty: the cache may be used
  };
  const Case cases[] = {
      {"writable by the group", ".korvex", [](const std::string& p) { chmod(p.c_str(), 0770); },
       " may be written by group or others; run chmod go-w "},
      {"of another user", ".korvex/app_installer_cache/" + RELEASE_NAME,
       [](const std::string& p) { chown(p.c_str(), 65534, 65534); }, " belongs to another user"},
      {"root's, sticky and open to all", "", [](const std::string& p) { chmod(p.c_str(), 01777); },
       ""},
      {"a link to a folder of the user's", ".korvex",
       [](const std::string& p) {
         rename(p.c_str(), (p + ".moved").c_str());
         symlink((p + ".moved").c_str(), p.c_str());
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir home;
    std::string cacheDir = makeCurrentCache(home);
    std::string folder = c.folder.empty() ? home.path() : home / c.folder;
    writeFile(home / ".korvex/other-product", "theirs");
    c.spoil(folder);
    struct stat before;
    lstat(folder.c_str(), &before);
    std::string verdict = secureCache(cacheDir);
    if (*c.why == '\0') {
      EXPECT_EQ("", verdict);
    } else {
      EXPECT_NE(std::string::npos, verdict.find(folder + c.why)) << verdict;
    }
    struct stat after;
    ASSERT_EQ(0, lstat(folder.c_str(), &after)) << "a folder above the cache was removed";
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ("theirs", readFile(home / ".korvex/other-product"));
    EXPECT_EQ("\"etag\"", readFile(cacheDir + ".validatestring"));
  }
}
