#include "cache/validation_string.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

// The stored ETag matches the server's byte for byte, and only when both exist.
TEST(ValidationStringTest, ComparesTheFirstLineByteForByte) {
  struct Case {
    std::string stored, sent;
    bool valid;
  } cases[] = {
      {"\"abc\"", "\"abc\"", true}, {"abc", "abcd", false},    {"abc", "ab", false},
      {"abc\nmore", "abc", true},   {"abc\r\n", "abc", false}, {"W/\"abc\"", "\"abc\"", false},
      {"ABC", "abc", false},        {"", "abc", false},        {"", "", false},
  };
  ScratchDir cache;
  EXPECT_FALSE(isCacheValid(cache.path() + "/", "abc")) << "no file";
  for (const Case& c : cases) {
    writeFile(validationStringPath(cache.path() + "/"), c.stored);
    EXPECT_EQ(c.valid, isCacheValid(cache.path() + "/", c.sent)) << c.stored << " vs " << c.sent;
  }
}
