// Whether the per-user cache may be trusted: a cache that another user owns,
// or that group or others may write (a /tmp cache made in advance by someone
// else, say), could hold an install agent of their choosing.
#ifndef BOOTSTRAP_CACHE_CACHE_TRUST_H_
#define BOOTSTRAP_CACHE_CACHE_TRUST_H_

#include <string>
#include <vector>

// The cache's own paths below the home (or /tmp): every folder of the cache
// path, the install agent directory and the validation string file, from the
// top down. `cacheDir` is what getInstallAgentCacheDir answers.
std::vector<std::string> cachePathsToTrust(const std::string& cacheDir);

// Empty when `path` may be trusted: it is missing, or it is owned by this
// process's user, not a symbolic link, of the expected type (a directory, or
// a regular file for the validation string file) and not writable by group
// or others. Otherwise why not, with the path.
std::string distrustOf(const std::string& path, bool directory);

// Makes the cache trustworthy: the first path that may not be trusted is
// removed with everything below it, to be made afresh by the caller. Empty on
// success; otherwise a message naming the path that could not be removed.
std::string secureCache(const std::string& cacheDir);

#endif  // BOOTSTRAP_CACHE_CACHE_TRUST_H_
