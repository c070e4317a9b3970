#include "platform/os/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(FileSystemTest, UserTemporaryDirectoryNeedsAWritableDirectory) {
  ScratchDir scratch;
  writeFile(scratch / "file", "");
  {
    ScopedEnv tmpdir("TMPDIR", scratch.path());
    EXPECT_EQ(scratch.path(), userTemporaryDirectory());
  }
  for (std::optional<std::string> value :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>(scratch / "file"),
        std::optional<std::string>(scratch / "none")}) {
    ScopedEnv tmpdir("TMPDIR", value);
    EXPECT_EQ("", userTemporaryDirectory()) << value.value_or("(unset)");
  }
}

TEST(FileSystemTest, RemoveTreeTakesReadOnlyDirectoriesAndLeavesLinkTargets) {
  ScratchDir scratch, outside;
  writeFile(outside / "keep", "precious");
  std::string tree = scratch / "tree";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0700));
  ASSERT_EQ(0, mkdir((tree + "/ro").c_str(), 0700));
  writeFile(tree + "/ro/file", "x");
  ASSERT_EQ(0, mkdir((tree + "/ro/none").c_str(), 0000));
  ASSERT_EQ(0, symlink(outside.path().c_str(), (tree + "/link").c_str()));
  ASSERT_EQ(0, chmod((tree + "/ro").c_str(), 0500));

  std::string error;
  EXPECT_TRUE(removeTree(tree, &error)) << error;
  EXPECT_FALSE(pathExists(tree));
  EXPECT_EQ("precious", readFile(outside / "keep")) << "a link is removed, not followed";
  EXPECT_TRUE(removeTree(tree, &error)) << "a path that is already gone counts as removed";
  EXPECT_FALSE(removeTree("", &error));
}
