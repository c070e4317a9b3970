// Helpers shared by the unit tests: scratch directories, environment
// variables, files and zip archives.
#ifndef BOOTSTRAP_TESTS_TEST_UTIL_H_
#define BOOTSTRAP_TESTS_TEST_UTIL_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

// A fresh directory under /tmp, removed with its contents afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for its lifetime.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Replaces the file at `path` by `content`; throws when it cannot.
void writeFile(const std::string& path, const std::string& content);
// The file's bytes; "" when it cannot be read.
std::string readFile(const std::string& path);

// Writes a zip archive holding `files` (name, content; neither with a single
// quote) with Python's zipfile.
void makeZip(const std::string& archive,
             const std::vector<std::pair<std::string, std::string>>& files);

#endif  // BOOTSTRAP_TESTS_TEST_UTIL_H_
