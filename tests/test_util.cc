#include "tests/test_util.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) saved_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (saved_) {
    setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* directory = opendir(dir.c_str())) {
    while (struct dirent* entry = readdir(directory)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void makeZip(const std::string& archive,
             const std::vector<std::pair<std::string, std::string>>& files) {
  std::string staging = archive + ".files";
  std::string script = "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n";
  mkdir(staging.c_str(), 0700);
  for (size_t i = 0; i < files.size(); ++i) {
    std::string source = staging + "/" + std::to_string(i);
    writeFile(source, files[i].second);
    script += "  z.write('" + source + "', '" + files[i].first + "')\n";
  }
  writeFile(staging + "/make.py", script);
  std::string command = "python3 '" + staging + "/make.py' '" + archive + "'";
  int status = std::system(command.c_str());
  std::string ignored;
  removeTree(staging, &ignored);
  if (status != 0) throw std::runtime_error("cannot make " + archive);
}
