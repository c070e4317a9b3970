#include "environment/temp_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(TempDirTest, FreshPrivateDirectoryNamedFromTheTemplate) {
  ScratchDir base;
  ScopedEnv tmpdir("TMPDIR", base.path() + "/");
  std::string path;
  {
    TempDir dir("tmp_install_dir");
    path = dir.getDir();
    ASSERT_EQ(base.path() + "/qz", path.substr(0, base.path().size() + 3)) << "one separator";
    EXPECT_EQ(base.path().size() + 9, path.size());
    struct stat info;
    ASSERT_EQ(0, stat(path.c_str(), &info));
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    EXPECT_TRUE(listDir(path).empty());

    TempDir other("tmp_install_dir");
    EXPECT_NE(path, other.getDir());
  }
  EXPECT_TRUE(listDir(base.path()).empty()) << "both are removed";
}

TEST(TempDirTest, RemovesEverythingInside) {
  ScratchDir base;
  ScopedEnv tmpdir("TMPDIR", base.path());
  {
    TempDir dir("ignored name");
    writeFile(dir.getDir() + "/file", "x");
    ASSERT_EQ(0, mkdir((dir.getDir() + "/sub").c_str(), 0700));
    writeFile(dir.getDir() + "/sub/inner", "y");
    ASSERT_EQ(0, chmod((dir.getDir() + "/sub").c_str(), 0500))
        << "read-only, as an archive may leave it";
  }
  EXPECT_TRUE(listDir(base.path()).empty());
}

TEST(TempDirTest, FallsBackToTmpWithoutAUsableTemporaryDirectory) {
  ScratchDir base;
  for (std::optional<std::string> value :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>(base / "missing"), std::optional<std::string>(base / "file")}) {
    writeFile(base / "file", "");
    ScopedEnv tmpdir("TMPDIR", value);
    TempDir dir("tmp_install_dir");
    EXPECT_EQ("/tmp/qz", dir.getDir().substr(0, 7)) << value.value_or("(unset)");
  }
}

TEST(TempDirTest, FailedCreationIsEmptyAndRemovalOfAVanishedDirectoryIsQuiet) {
  ScratchDir base;
  ScopedEnv tmpdir("TMPDIR", base.path());
  TempDir dir("tmp_install_dir");
  ASSERT_FALSE(dir.getDir().empty());
  ASSERT_EQ(0, rmdir(dir.getDir().c_str()));  // someone else removed it; the destructor copes
}

TEST(TempDirTest, RemoveAllLiveTakesEveryLiveDirectoryOnce) {
  ScratchDir base;
  ScopedEnv tmpdir("TMPDIR", base.path());
  TempDir first("a"), second("b");
  { TempDir gone("c"); }
  writeFile(first.getDir() + "/file", "x");
  ASSERT_EQ(2u, listDir(base.path()).size());
  TempDir::removeAllLive();
  EXPECT_TRUE(listDir(base.path()).empty());
}
