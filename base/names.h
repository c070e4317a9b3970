// The bootstrap's built-in names: the path separator, the release and platform
// that place the per-user cache, and the names of the install agent's files.
#ifndef BOOTSTRAP_BASE_NAMES_H_
#define BOOTSTRAP_BASE_NAMES_H_

#include <string>

// Defined in this order: CACHE_RELATIVE_PATH is built from the earlier ones.
inline const std::string PATH_SEPARATOR = "/";
// Set when building, so that a vendor's build keeps a cache of its own.
#ifndef BOOTSTRAP_RELEASE_NAME
#error "BOOTSTRAP_RELEASE_NAME must be defined by the build"
#endif
inline const std::string RELEASE_NAME = BOOTSTRAP_RELEASE_NAME;
inline const std::string PLATFORM_NAME = "darx64";
inline const std::string INSTALL_AGENT_ZIP = "InstallAgent.zip";
inline const std::string INSTALL_AGENT_DIR = "installagent";
// Relative to the user's home; no leading separator, one at the end.
inline const std::string CACHE_RELATIVE_PATH = ".korvex" + PATH_SEPARATOR + "app_installer_cache" +
                                               PATH_SEPARATOR + RELEASE_NAME + PATH_SEPARATOR +
                                               PLATFORM_NAME + PATH_SEPARATOR;
inline const std::string VALIDATION_STRING_FILE = ".validatestring";
// Beside it: the id of the key the cached install agent was verified with.
inline const std::string VERIFIED_KEY_FILE = ".verifiedkey";

#endif  // BOOTSTRAP_BASE_NAMES_H_
