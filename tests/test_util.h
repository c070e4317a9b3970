// Helpers shared by the unit tests: files.
#ifndef BOOTSTRAP_TESTS_TEST_UTIL_H_
#define BOOTSTRAP_TESTS_TEST_UTIL_H_

#include <string>

// Replaces the file at `path` by `content`; throws when it cannot.
void writeFile(const std::string& path, const std::string& content);
// The file's bytes; "" when it cannot be read.
std::string readFile(const std::string& path);

#endif  // BOOTSTRAP_TESTS_TEST_UTIL_H_
