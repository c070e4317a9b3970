#include "platform/os/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "base/paths.h"

std::string userTemporaryDirectory() {
  const char* value = std::getenv("TMPDIR");
  struct stat info;
  bool usable = value != nullptr && stat(value, &info) == 0 && S_ISDIR(info.st_mode) &&
                access(value, W_OK | X_OK) == 0;
  return usable ? value : std::string();
}

bool pathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

namespace {

std::mutex liveLock;
std::vector<std::string> livePaths;  // guarded by liveLock

// Calls `each` with the directory's descriptor and the name of every entry
// (but "." and "..") of the directory `name` in `parent`. The names are read
// first, so that what `each` changes never disturbs the directory stream.
// False when the directory cannot be opened.
bool forEachEntryAt(int parent, const char* name, int flags,
                    const std::function<void(int, const char*)>& each) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
  DIR* directory = fd < 0 ? nullptr : fdopendir(fd);
  if (directory == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(directory)) {
    std::string entryName = entry->d_name;
    if (entryName != "." && entryName != "..") names.push_back(entryName);
  }
  for (const std::string& entryName : names) each(dirfd(directory), entryName.c_str());
  closedir(directory);
  return true;
}

bool removeEntryAt(int parent, const char* name) {
  struct stat info;
  if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(info.st_mode)) return unlinkat(parent, name, 0) == 0 || errno == ENOENT;
  // An archive may leave a directory without owner write or search permission.
  if ((info.st_mode & S_IRWXU) != S_IRWXU)
    fchmodat(parent, name, (info.st_mode & 07777) | S_IRWXU, 0);
  forEachEntryAt(parent, name, O_NOFOLLOW, removeEntryAt);
  return unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// Takes group and others' write permission from `name` in `parent` and below.
bool restrictEntryAt(int parent, const char* name) {
  struct stat info;
  if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(info.st_mode)) return true;  // a link's own mode means nothing
  bool changed = (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 ||
                 fchmodat(parent, name, info.st_mode & 07755, 0) == 0;
  if (!S_ISDIR(info.st_mode)) return changed;
  return forEachEntryAt(parent, name, O_NOFOLLOW,
                        [&changed](int directory, const char* entry) {
                          changed = restrictEntryAt(directory, entry) && changed;
                        }) &&
         changed;
}

}  // namespace

std::vector<std::string> directoryEntries(const std::string& path) {
  std::vector<std::string> names;
  forEachEntryAt(AT_FDCWD, path.c_str(), 0,
                 [&names](int, const char* name) { names.push_back(name); });
  return names;
}

bool removeWriteForOthers(const std::string& path, std::string* error) {
  if (!path.empty() && restrictEntryAt(AT_FDCWD, path.c_str())) return true;
  *error = path + " cannot be closed to group and others: " + std::strerror(errno);
  return false;
}

bool removeTree(const std::string& path, std::string* error) {
  if (!path.empty() && removeEntryAt(AT_FDCWD, path.c_str())) return true;
  *error = path + " cannot be removed: " + std::strerror(errno);
  return false;
}

// Both remove under the lock: a run ended meanwhile from another thread
// (removeAllLive, then _exit) either finds a directory still listed or waits
// until it is gone, never ending the process amid a removal with the path
// forgotten. A removal that fails leaves the directory.
void TempDir::removeAllLive() {
  std::lock_guard<std::mutex> guard(liveLock);
  std::string ignored;
  for (const std::string& path : livePaths) removeTree(path, &ignored);
  livePaths.clear();
}

TempDir::TempDir(std::string /*name*/) {
  std::string base = userTemporaryDirectory();
  std::string pattern = appendPathComponent(base.empty() ? "/tmp" : base, "qzXXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) return;
  path_ = pattern;
  std::lock_guard<std::mutex> guard(liveLock);
  livePaths.push_back(path_);
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::lock_guard<std::mutex> guard(liveLock);
  std::string ignored;
  removeTree(path_, &ignored);
  livePaths.erase(std::remove(livePaths.begin(), livePaths.end(), path_), livePaths.end());
}
