#include "cache/cache_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include "driver/names.h"
#include "platform/file_system.h"

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::vector<std::string> cachePathsToTrust(const std::string& cacheDir) {
  std::vector<std::string> paths;
  if (!endsWith(cacheDir, CACHE_RELATIVE_PATH)) return paths;
  std::string path = cacheDir.substr(0, cacheDir.size() - CACHE_RELATIVE_PATH.size());
  std::string::size_type start = 0;
  while (start < CACHE_RELATIVE_PATH.size()) {
    std::string::size_type end = CACHE_RELATIVE_PATH.find('/', start);
    path += CACHE_RELATIVE_PATH.substr(start, end - start);
    paths.push_back(path);
    path += PATH_SEPARATOR;
    start = end + 1;
  }
  paths.push_back(cacheDir + INSTALL_AGENT_DIR);
  paths.push_back(cacheDir + VALIDATION_STRING_FILE);
  return paths;
}

std::string distrustOf(const std::string& path, bool directory) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return std::string();
  if (S_ISLNK(info.st_mode)) return path + " is a symbolic link";
  if (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) {
    return path + (directory ? " is not a directory" : " is not a regular file");
  }
  if (info.st_uid != geteuid()) return path + " belongs to another user";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return path + " may be written by others";
  return std::string();
}

std::string secureCache(const std::string& cacheDir) {
  std::vector<std::string> paths = cachePathsToTrust(cacheDir);
  for (const std::string& path : paths) {
    bool directory = path != paths.back();
    std::string distrust = distrustOf(path, directory);
    if (distrust.empty()) continue;
    if (!removeTree(path)) {
      return "The install agent cache cannot be trusted and cannot be replaced: " + distrust;
    }
  }
  return std::string();
}
