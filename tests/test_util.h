// Files for the unit tests.
#ifndef BOOTSTRAP_TESTS_TEST_UTIL_H_
#define BOOTSTRAP_TESTS_TEST_UTIL_H_

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

// Replaces the file at `path` by `content`; throws when it cannot.
inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!(file << content)) throw std::runtime_error("cannot write " + path);
}

// The file's bytes; "" when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

#endif  // BOOTSTRAP_TESTS_TEST_UTIL_H_
