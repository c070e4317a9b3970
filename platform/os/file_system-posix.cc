#include "platform/os/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

std::string userTemporaryDirectory() {
  const char* value = std::getenv("TMPDIR");
  if (value == nullptr || *value == '\0') return std::string();
  struct stat info;
  if (stat(value, &info) != 0 || !S_ISDIR(info.st_mode)) return std::string();
  if (access(value, W_OK | X_OK) != 0) return std::string();
  return value;
}

bool pathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

namespace {

bool removeEntryAt(int parent, const char* name);

std::vector<std::string> entryNames(DIR* directory) {
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

// Empties the directory `name` in `parent`; the caller removes it.
void removeContentsAt(int parent, const char* name, mode_t mode) {
  if ((mode & S_IRWXU) != S_IRWXU) fchmodat(parent, name, (mode & 07777) | S_IRWXU, 0);
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* directory = fdopendir(fd);
  if (directory == nullptr) {
    close(fd);
    return;
  }
  // Names are read first, then removed, so that removal never disturbs the
  // directory stream.
  for (const std::string& entry : entryNames(directory))
    removeEntryAt(dirfd(directory), entry.c_str());
  closedir(directory);
}

bool removeEntryAt(int parent, const char* name) {
  struct stat info;
  if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(info.st_mode)) return unlinkat(parent, name, 0) == 0 || errno == ENOENT;
  removeContentsAt(parent, name, info.st_mode);
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
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* directory = fd < 0 ? nullptr : fdopendir(fd);
  if (directory == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  for (const std::string& entry : entryNames(directory))
    changed = restrictEntryAt(dirfd(directory), entry.c_str()) && changed;
  closedir(directory);
  return changed;
}

}  // namespace

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
