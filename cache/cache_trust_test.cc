#include "cache/cache_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/names.h"
#include "cache/cache_layout.h"
#include "tests/test_util.h"

namespace {

void linkInItsPlace(const std::string& path) {
  rename(path.c_str(), (path + ".real").c_str());
  symlink((path + ".real").c_str(), path.c_str());
}
void fileInItsPlace(const std::string& path) {
  rename(path.c_str(), (path + ".real").c_str());
  writeFile(path, "");
}
void writableByOthers(const std::string& path) { chmod(path.c_str(), 0606); }
void writableByGroup(const std::string& path) { chmod(path.c_str(), 0770); }
void openToAllSticky(const std::string& path) { chmod(path.c_str(), 01777); }
void anotherUsers(const std::string& path) { chown(path.c_str(), 65534, 65534); }

}  // namespace

// One spoiled path of a complete cache each: the program's own paths are
// distrusted and removed (root may remove another user's), the folders above
// are judged through links and never changed, and nothing else is touched.
TEST(CacheTrustTest, EachPathIsJudgedAndOnlyOwnOnesRemoved) {
  ASSERT_EQ(0u, geteuid()) << "handing a folder to another user needs root";
  const std::string cache = ".korvex/app_installer_cache/" + RELEASE_NAME + "/darx64/";
  struct Case {
    std::string relative;  // below the home; empty: the home itself
    void (*spoil)(const std::string& path);
    std::string why;  // own paths: why not trusted; above: why the cache is not used
    bool above;
  } cases[] = {
      {cache + "installagent", nullptr, "", false},
      {cache + "installagent", linkInItsPlace, " is a symbolic link", false},
      {cache + "installagent", fileInItsPlace, " is not a directory", false},
      {cache + "installagent", anotherUsers, " belongs to another user", false},
      {cache + ".validatestring", writableByOthers, " may be written by others", false},
      {cache + ".validatestring", linkInItsPlace, " is a symbolic link", false},
      {cache + ".verifiedkey", linkInItsPlace, " is a symbolic link", false},
      {".korvex", writableByGroup, " may be written by group or others; run chmod go-w ", true},
      {".korvex/app_installer_cache/" + RELEASE_NAME, anotherUsers, " belongs to another user",
       true},
      {"", openToAllSticky, "", true},
      {".korvex", linkInItsPlace, "", true},
  };
  for (const Case& c : cases) {
    ScratchDir home;
    std::string path = c.relative.empty() ? home.path() : home / c.relative;
    SCOPED_TRACE(path);
    ScopedEnv env("HOME", home.path());
    std::string cacheDir = getInstallAgentCacheDir();
    mkpath(cacheDir + "installagent", 0700);
    writeFile(cacheDir + "installagent/install", "exit 0\n");
    writeFile(cacheDir + ".validatestring", "\"etag\"");
    writeFile(cacheDir + ".verifiedkey", "0123456789ABCDEF");
    writeFile(home / ".korvex/other-product", "theirs");
    if (c.spoil != nullptr) c.spoil(path);
    struct stat before, after;
    lstat(path.c_str(), &before);
    std::string why, verdict;
    bool folder = c.relative.find("/.") == std::string::npos;
    bool trusted = c.above || ownPathIsTrusted(path, folder, &why);
    EXPECT_EQ(c.above || c.why.empty(), trusted);
    EXPECT_EQ(trusted ? "" : path + c.why, why);
    bool used = secureCache(cacheDir, &verdict);
    EXPECT_EQ(c.why.empty() || !c.above, used) << verdict;
    EXPECT_EQ(used ? 0 : 1, verdict.find(path + c.why) != std::string::npos) << verdict;
    EXPECT_EQ(trusted, lstat(path.c_str(), &after) == 0) << "only an untrusted own path goes";
    EXPECT_TRUE(!c.above || before.st_mode == after.st_mode) << "a folder above was changed";
    EXPECT_EQ("theirs", readFile(home / ".korvex/other-product"));
    if (c.relative != cache + ".validatestring") {
      EXPECT_EQ("\"etag\"", readFile(cacheDir + ".validatestring"));
    }
  }
}
