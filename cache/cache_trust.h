// Whether the per-user cache may be used. The program's own folder (what
// getInstallAgentCacheDir answers) and what lies below it are ours: whatever
// there another user owns, others may write, or is a link, could hold an
// install agent of their choosing, and is removed. The folders above it are
// not ours: they are judged, never changed, and when one is not acceptable
// the run goes on without the cache.
#ifndef BOOTSTRAP_CACHE_CACHE_TRUST_H_
#define BOOTSTRAP_CACHE_CACHE_TRUST_H_

#include <string>
#include <vector>

// The folders above the program's own cache folder, from the home (or /tmp)
// down: the home itself, ".korvex", "app_installer_cache" and the release's
// folder. Empty when `cacheDir` is not a cache path.
std::vector<std::string> foldersAboveCache(const std::string& cacheDir);

// The program's own paths, from the top down: the cache folder, the install
// agent directory, the validation string file, the verified key file and the
// lock file.
std::vector<std::string> cachePathsToTrust(const std::string& cacheDir);

// True when the folder above the cache at `path` is acceptable: missing, or,
// followed through symbolic links, a directory of this user or of root that
// group and others may not write (a sticky one of root's, like /tmp, is
// fine). Otherwise false, and `error` says why not and what to do, with the
// path.
bool folderAboveIsAcceptable(const std::string& path, std::string* error);

// True when the program's own `path` may be trusted: it is missing, or it is
// owned by this process's user, not a symbolic link, of the expected type (a
// directory, or a regular file) and not writable by group or others.
// Otherwise false, and `error` says why not, with the path.
bool ownPathIsTrusted(const std::string& path, bool directory, std::string* error);

// The log line of a run that goes on without the cache, for `why`.
std::string cacheNotUsedLine(const std::string& why);

// Readies the cache for use: when every folder above it is acceptable, makes
// the missing folders (0700) and removes the first of the program's own paths
// that may not be trusted, with everything below it, to be made afresh. False
// when the cache may not be used, and then `error` is the log line that says
// why.
bool secureCache(const std::string& cacheDir, std::string* error);

#endif  // BOOTSTRAP_CACHE_CACHE_TRUST_H_
