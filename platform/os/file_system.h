// File system operations of the platform layer that go beyond one POSIX call.
// One that fails answers false and puts in `error` what failed: the path and
// the system's reason.
#ifndef BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_
#define BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_

#include <string>

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

// True when something exists at `path` (stat succeeds).
bool pathExists(const std::string& path);

#endif  // BOOTSTRAP_PLATFORM_OS_FILE_SYSTEM_H_
