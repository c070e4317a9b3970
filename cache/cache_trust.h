// Whether the per-user cache may be used: the program's own paths that are not
// trusted are removed; the folders above are judged, never changed.
#ifndef BOOTSTRAP_CACHE_CACHE_TRUST_H_
#define BOOTSTRAP_CACHE_CACHE_TRUST_H_

#include <string>

// The log line of a run that goes on without the cache, for `why`.
std::string cacheNotUsedLine(const std::string& why);

// True when `path` is missing, or this user's, no link, a directory (else a
// regular file) and not writable by others; false with why in `error`.
bool ownPathIsTrusted(const std::string& path, bool directory, std::string* error);

// When every folder above `cacheDir` is acceptable, makes the missing folders
// (0700) and removes the program's own paths that are not trusted. False,
// with the log line in `error`, when the cache may not be used.
bool secureCache(const std::string& cacheDir, std::string* error);

#endif  // BOOTSTRAP_CACHE_CACHE_TRUST_H_
