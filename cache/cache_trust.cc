#include "cache/cache_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/names.h"
#include "base/paths.h"
#include "cache/cache_layout.h"
#include "cache/cache_lock.h"
#include "platform/os/file_system.h"

namespace {

// The first distrust among the folders above the cache, or empty.
std::string distrustAbove(const std::string& cacheDir) {
  for (const std::string& folder : foldersAboveCache(cacheDir)) {
    std::string distrust = distrustOfFolderAbove(folder);
    if (!distrust.empty()) return distrust;
  }
  return std::string();
}

// Why the folder `dir` is missing after mkpath: the error of making its
// topmost missing folder.
std::string whyNotMade(const std::string& dir) {
  std::string missing = dir.substr(0, dir.find_last_not_of('/') + 1);
  for (std::string parent = parentDirectory(missing); parent != missing && !pathExists(parent);
       parent = parentDirectory(missing)) {
    missing = parent;
  }
  int error = mkdir(missing.c_str(), 0700) == 0 ? EEXIST : errno;
  return missing + " cannot be made: " + std::strerror(error);
}

}  // namespace

std::string cacheNotUsedLine(const std::string& why) {
  return "The install agent cache is not used, the install agent runs from a temporary folder: " +
         why;
}

std::vector<std::string> foldersAboveCache(const std::string& cacheDir) {
  std::vector<std::string> folders;
  if (!endsWith(cacheDir, CACHE_RELATIVE_PATH)) return folders;
  std::string home = cacheDir.substr(0, cacheDir.size() - CACHE_RELATIVE_PATH.size());
  folders.push_back(home.size() > 1 && home.back() == '/' ? home.substr(0, home.size() - 1) : home);
  // Every folder of the relative path but the last, which is the program's own.
  std::string::size_type end = CACHE_RELATIVE_PATH.find('/');
  std::string::size_type last =
      CACHE_RELATIVE_PATH.find_last_of('/', CACHE_RELATIVE_PATH.size() - 2);
  for (; end != std::string::npos && end <= last; end = CACHE_RELATIVE_PATH.find('/', end + 1)) {
    folders.push_back(home + CACHE_RELATIVE_PATH.substr(0, end));
  }
  return folders;
}

std::vector<std::string> cachePathsToTrust(const std::string& cacheDir) {
  if (!endsWith(cacheDir, CACHE_RELATIVE_PATH)) return {};
  return {cacheDir.substr(0, cacheDir.size() - 1), cacheDir + INSTALL_AGENT_DIR,
          cacheDir + VALIDATION_STRING_FILE, cacheDir + CACHE_LOCK_FILE};
}

std::string distrustOfFolderAbove(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::string();
  if (!S_ISDIR(info.st_mode)) return path + " is not a directory; move it away";
  if (info.st_uid != geteuid() && info.st_uid != 0) {
    return path +
           " belongs to another user; its owner may remove it, or set HOME to a folder "
           "of your own";
  }
  bool openToOthers = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (openToOthers && !(info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0)) {
    return path + " may be written by group or others; run chmod go-w " + path;
  }
  return std::string();
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
  std::string distrust = distrustAbove(cacheDir);
  if (!distrust.empty()) return cacheNotUsedLine(distrust);
  mkpath(cacheDir, 0700);
  if (!pathExists(cacheDir)) return cacheNotUsedLine(whyNotMade(cacheDir));
  // Judged again: a folder made by someone else meanwhile was not made here.
  distrust = distrustAbove(cacheDir);
  if (!distrust.empty()) return cacheNotUsedLine(distrust);
  std::vector<std::string> paths = cachePathsToTrust(cacheDir);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    distrust = distrustOf(paths[i], i < 2);
    if (!distrust.empty() && !removeTree(paths[i])) {
      return cacheNotUsedLine(distrust + " and cannot be removed");
    }
  }
  mkpath(cacheDir, 0700);
  return std::string();
}
