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

// Removes `path` and everything below it, without following symbolic links,
// also directories an archive left without owner write or search permission.
// True when nothing is left (a path already gone counts); false for "".
bool removeTree(const std::string& path, std::string* error);

// Takes write permission from group and others on `path` and everything below
// it, without following symbolic links. False when an entry could not be read
// or changed.
bool removeWriteForOthers(const std::string& path, std::string* error);

// The names in the directory `path` but "." and "..", in directory order;
// none when it cannot be read.
std::vector<std::string> directoryEntries(const std::string& path);

// True when something exists at `path` (stat succeeds).
bool pathExists(const std::string& path);

// A scoped temporary directory, removed with everything in it at destruction.
class TempDir {
 public:
  // Creates "qzXXXXXX" (mkdtemp, mode 0700) in userTemporaryDirectory(), else
  // in /tmp; `name` does not enter the path. A failure leaves the path empty.
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
