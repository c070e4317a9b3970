// File system operations beyond one POSIX call, and the run's temporary
// folders. A failure answers false with the path and the reason in `error`.
#ifndef BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_
#define BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_

#include <string>
#include <vector>

// The user's temporary directory: TMPDIR when it names a writable directory,
// else the empty string.
std::string userTemporaryDirectory();

// Removes `path` and everything below it, links not followed, even folders
// without owner permissions. True when nothing is left; false for "".
bool removeTree(const std::string& path, std::string* error);

// Takes group and others' write permission from `path` and everything below
// it, links not followed.
bool removeWriteForOthers(const std::string& path, std::string* error);

// The names in the directory `path` but "." and "..", in directory order;
// none when it cannot be read.
std::vector<std::string> directoryEntries(const std::string& path);

// True when something exists at `path` (stat succeeds).
bool pathExists(const std::string& path);

// A scoped temporary directory, removed with everything in it at destruction.
class TempDir {
 public:
  // Creates "qzXXXXXX" (0700) in userTemporaryDirectory(), else in /tmp;
  // `name` is not used.
  explicit TempDir(std::string name);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path; empty when creation failed.
  std::string getDir() const { return path_; }

  // Removes the directories of every TempDir alive, for a run that exits.
  static void removeAllLive();

 private:
  std::string path_;
};

#endif  // BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_
