#include "base/paths.h"

#include <gtest/gtest.h>

TEST(PathsTest, AppendPathComponent) {
  EXPECT_EQ("/a/b", appendPathComponent("/a", "b"));
  EXPECT_EQ("/a/b", appendPathComponent("/a/", "b"));
  EXPECT_EQ("/a/b", appendPathComponent("/a//", "b"));
  EXPECT_EQ("/b", appendPathComponent("/", "b"));
  EXPECT_EQ("b", appendPathComponent("", "b"));
}

TEST(PathsTest, ParentAndLastComponentSplitAtTheLastSeparator) {
  struct Case {
    std::string path, parent, last;
  } cases[] = {
      {"/x/Boot.app/Contents", "/x/Boot.app", "Contents"},
      {"/boot", "/", "boot"},
      {"/", "/", ""},
      {"a/b/", "a/b", ""},
      {"boot", "boot", "boot"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.parent, parentDirectory(c.path)) << c.path;
    EXPECT_EQ(c.last, lastPathComponent(c.path)) << c.path;
  }
}

TEST(PathsTest, EndsWith) {
  EXPECT_TRUE(endsWith("InstallAgent.zip", ".zip"));
  EXPECT_TRUE(endsWith(".zip", ".zip"));
  EXPECT_TRUE(endsWith("x", ""));
  EXPECT_FALSE(endsWith("zip", ".zip"));
  EXPECT_FALSE(endsWith("a.zip.txt", ".zip"));
}
