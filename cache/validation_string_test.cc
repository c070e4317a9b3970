#include "cache/validation_string.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(ValidationStringTest, ComparesTheFirstLineByteForByte) {
  struct Case {
    std::string stored;
    std::string sent;
    bool valid;
  } cases[] = {
      {"abc", "abc", true},         {"abc", "abcd", false},
      {"abc", "ab", false},         {"abc\nmore", "abc", true},
      {"abc\r\n", "abc", false},    {"W/\"abc\"", "\"abc\"", false},
      {"\"abc\"", "\"abc\"", true}, {"ABC", "abc", false},
      {"", "abc", false},           {"", "", false},
  };
  ScratchDir cache;
  for (const Case& c : cases) {
    writeFile(validationStringPath(cache.path() + "/"), c.stored);
    EXPECT_EQ(c.valid, isCacheValid(cache.path() + "/", c.sent)) << c.stored << " vs " << c.sent;
  }
}

TEST(ValidationStringTest, MissingFileIsNotValid) {
  ScratchDir cache;
  EXPECT_FALSE(isCacheValid(cache.path() + "/", "abc"));
  EXPECT_FALSE(isCacheValid(cache / "absent/", "abc"));
}

TEST(ValidationStringTest, PathHasTheDoubledSeparator) {
  EXPECT_EQ("/c/d//.validatestring", validationStringPath("/c/d/"));
}

TEST(ValidationStringTest, WriteThenReadRoundTrips) {
  ScratchDir scratch;
  std::string cache = scratch.path() + "/";
  for (std::string s :
       {"abc", "\"33a64df551425fcc55e4d42a148795d9f25f89d4\"", "W/\"x\"", " a b "}) {
    writeValidationString(cache, s);
    EXPECT_TRUE(isCacheValid(cache, s)) << s;
    EXPECT_EQ(s, readFile(validationStringPath(cache))) << "no line end is added";
  }
  writeValidationString(cache, "line\nbreak");
  EXPECT_FALSE(isCacheValid(cache, "line\nbreak")) << "only the first line is read back";
}

TEST(ValidationStringTest, WritingTwiceKeepsOnlyTheSecond) {
  ScratchDir scratch;
  std::string cache = scratch.path() + "/";
  writeValidationString(cache, "a-much-longer-first-string");
  writeValidationString(cache, "short");
  EXPECT_EQ("short", readFile(validationStringPath(cache)));
}

TEST(ValidationStringTest, EmptyArgumentsOrMissingDirectoryWriteNothing) {
  ScratchDir scratch;
  std::string cache = scratch.path() + "/";
  writeValidationString(cache, "kept");
  writeValidationString(cache, "");
  EXPECT_EQ("kept", readFile(validationStringPath(cache)));
  writeValidationString("", "x");
  writeValidationString(scratch / "missing/", "x");
  EXPECT_FALSE(isDirectory(scratch / "missing"));
  EXPECT_EQ(std::vector<std::string>{".validatestring"}, listDir(scratch.path()));
}
