#include "tests/test_util.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/os/file_system.h"

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/bootstrap_test_XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::string ignored;
  removeTree(path_, &ignored);
}

namespace {

void setOrUnset(const std::string& name, const std::optional<std::string>& value) {
  if (value) setenv(name.c_str(), value->c_str(), 1);
  if (!value) unsetenv(name.c_str());
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) saved_ = old;
  setOrUnset(name_, value);
}

ScopedEnv::~ScopedEnv() { setOrUnset(name_, saved_); }

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!(file << content)) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void makeZip(const std::string& archive,
             const std::vector<std::pair<std::string, std::string>>& files) {
  std::string command =
      "python3 -c 'import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], \"w\") as z:\n"
      "  for i in range(2, len(sys.argv), 2): z.writestr(sys.argv[i], sys.argv[i + 1])' '" +
      archive + "'";
  for (const auto& [name, content] : files) command += " '" + name + "' '" + content + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make " + archive);
}
