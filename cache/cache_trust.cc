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

// True when `path` is missing, or, through links, a directory of this user
// or of root that others may not write (but for root's sticky ones, like
// /tmp); else false, with why and what to do in `error`.
bool folderAboveIsAcceptable(const std::string& path, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return true;
  if (!S_ISDIR(info.st_mode))
    *error = path + " is not a directory; move it away";
  else if (info.st_uid != geteuid() && info.st_uid != 0) {
    *error = path +
             " belongs to another user; its owner may remove it, or set HOME to a folder "
             "of your own";
  } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
             !(info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0)) {
    *error = path + " may be written by group or others; run chmod go-w " + path;
  } else {
    return true;
  }
  return false;
}

// Judges the folders above the cache, from the home (or /tmp) down to the
// release's folder.
bool foldersAboveAreAcceptable(const std::string& cacheDir, std::string* error) {
  if (!endsWith(cacheDir, CACHE_RELATIVE_PATH)) return true;
  std::string home = cacheDir.substr(0, cacheDir.size() - CACHE_RELATIVE_PATH.size());
  std::string top = home.size() > 1 && home.back() == '/' ? home.substr(0, home.size() - 1) : home;
  if (!folderAboveIsAcceptable(top, error)) return false;
  // Every folder of the relative path but the last, which is the program's own.
  for (std::string::size_type end = CACHE_RELATIVE_PATH.find('/');
       end + 1 < CACHE_RELATIVE_PATH.size(); end = CACHE_RELATIVE_PATH.find('/', end + 1)) {
    if (!folderAboveIsAcceptable(home + CACHE_RELATIVE_PATH.substr(0, end), error)) return false;
  }
  return true;
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

// False, with the log line for `why` in `error`.
bool notUsed(const std::string& why, std::string* error) {
  *error = cacheNotUsedLine(why);
  return false;
}

}  // namespace

std::string cacheNotUsedLine(const std::string& why) {
  return "The install agent cache is not used, the install agent runs from a temporary folder: " +
         why;
}

bool ownPathIsTrusted(const std::string& path, bool directory, std::string* error) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return true;
  if (S_ISLNK(info.st_mode))
    *error = path + " is a symbolic link";
  else if (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) {
    *error = path + (directory ? " is not a directory" : " is not a regular file");
  } else if (info.st_uid != geteuid()) {
    *error = path + " belongs to another user";
  } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *error = path + " may be written by others";
  } else {
    return true;
  }
  return false;
}

bool secureCache(const std::string& cacheDir, std::string* error) {
  std::string why;
  if (!foldersAboveAreAcceptable(cacheDir, &why)) return notUsed(why, error);
  mkpath(cacheDir, 0700);
  if (!pathExists(cacheDir)) return notUsed(whyNotMade(cacheDir), error);
  // Judged again: a folder made by someone else meanwhile was not made here.
  if (!foldersAboveAreAcceptable(cacheDir, &why)) return notUsed(why, error);
  // The program's own paths, from the top down; the first two are folders.
  const std::string paths[] = {cacheDir.substr(0, cacheDir.size() - 1),
                               cacheDir + INSTALL_AGENT_DIR, cacheDir + VALIDATION_STRING_FILE,
                               cacheDir + VERIFIED_KEY_FILE, cacheDir + CACHE_LOCK_FILE};
  for (std::size_t i = 0; i < 5; ++i) {
    std::string removal;
    if (!ownPathIsTrusted(paths[i], i < 2, &why) && !removeTree(paths[i], &removal)) {
      return notUsed(why + " and cannot be removed", error);
    }
  }
  mkpath(cacheDir, 0700);
  return true;
}
