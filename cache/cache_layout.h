// Where the install agent can be: the per-user cache and the bundle's
// resources, worked out afresh on every call; nothing here reports.
#ifndef BOOTSTRAP_CACHE_CACHE_LAYOUT_H_
#define BOOTSTRAP_CACHE_CACHE_LAYOUT_H_

#include <string>

#include "platform/os/bundle.h"

// HOME (or "/tmp" when HOME is unset or empty) + ".korvex/app_installer_cache/
// <release>/<platform>/"; always ends in "/". A one-character HOME gets no
// separator added.
std::string getInstallAgentCacheDir();

// The cache directory + "installagent/" when the install agent entry exists
// there (of any file type), else the empty string.
std::string installAgentDirOnDisk();

// The install agent entry inside `dir`: "install" for an empty dir, else dir
// + "/install" with no doubled separator.
std::string getInstallAgentExecutable(std::string dir);

// The bundle's "ZavirirazUdaDad" when it exists, else the path its
// "InstallAgent.zip" would have (unchecked); empty without resources.
std::string getDefaultInstallAgentLocation(const std::optional<MainBundle>& bundle = mainBundle());

// Creates `path` and every missing parent with `mode`. -1 with errno ENOTDIR
// when an existing component, or the path itself, is not a directory; a
// mkdir that fails otherwise does not change the status (0).
int mkpath(std::string path, unsigned short mode);

#endif  // BOOTSTRAP_CACHE_CACHE_LAYOUT_H_
