// Where the install agent can be: the per-user cache and the bundle's
// resources, worked out afresh on every call; nothing here reports.
#ifndef BOOTSTRAP_CACHE_CACHE_LAYOUT_H_
#define BOOTSTRAP_CACHE_CACHE_LAYOUT_H_

#include <string>

#include "platform/os/bundle.h"

// HOME (or "/tmp" when unset or empty), "/" unless it is one character, then
// CACHE_RELATIVE_PATH.
std::string getInstallAgentCacheDir();

// The cache directory + "installagent/" when the entry exists there, else "".
std::string installAgentDirOnDisk();

// `dir` + "/install" (no doubled "/"); "install" for an empty dir.
std::string getInstallAgentExecutable(std::string dir);

// The bundle's "ZavirirazUdaDad" when it exists, else the path its
// "InstallAgent.zip" would have (unchecked); empty without resources.
std::string getDefaultInstallAgentLocation(const std::optional<MainBundle>& bundle = mainBundle());

// Creates `path` and missing parents with `mode`: -1 (ENOTDIR) when a
// component is not a directory, else 0, even when a mkdir failed.
int mkpath(std::string path, unsigned short mode);

#endif  // BOOTSTRAP_CACHE_CACHE_LAYOUT_H_
