// File system operations of the platform layer that go beyond one POSIX call,
// and the run's temporary folders. One that fails answers false and puts in
// `error` what failed: the path and the system's reason.
#ifndef BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_
#define BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_

#include <string>
#include <vector>

// The user's temporary directory: TMPDIR when it names a writable directory,
// else the empty string.
std::string userTemporaryDirectory();

// Removes `path` and, for a directory, everything below it, without following
// symbolic links. Directories that an archive left without owner write or
// search permission get it first. True when nothing is left (a path that is
// already gone counts); false for the empty path.
bool removeTree(const std::string& path, std::string* error);

// Takes write permission from group and others on `path` and on everything
// below it, without following symbolic links. False when an entry could not
// be read or changed.
bool removeWriteForOthers(const std::string& path, std::string* error);

// The names in the directory `path` but "." and "..", in directory order;
// none when it cannot be read.
std::vector<std::string> directoryEntries(const std::string& path);

// True when something exists at `path` (stat succeeds).
bool pathExists(const std::string& path);

// A scoped temporary directory: made fresh and private at construction,
// removed with everything in it at destruction (silently).
class TempDir {
 public:
  // Creates "qzXXXXXX" (mkdtemp, mode 0700) in userTemporaryDirectory(), or
  // in /tmp when there is none. `name` does not enter the path. A failed
  // creation leaves the path empty; nothing is reported.
  explicit TempDir(std::string name);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path; empty when creation failed.
  std::string getDir() const { return path_; }

  // Removes the directories of every TempDir alive now, for a run that ends
  // the process without returning through their owners.
  static void removeAllLive();

 private:
  std::string path_;
};

#endif  // BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_
