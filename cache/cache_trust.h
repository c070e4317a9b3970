// Whether the per-user cache may be used. The program's own folder and what
// lies below it are ours: whatever there another user owns, others may write,
// or is a link, could hold an install agent of their choosing, and is removed.
// The folders above it are not ours: they are judged, never changed.
#ifndef BOOTSTRAP_CACHE_CACHE_TRUST_H_
#define BOOTSTRAP_CACHE_CACHE_TRUST_H_

#include <string>

// The log line of a run that goes on without the cache, for `why`.
std::string cacheNotUsedLine(const std::string& why);

// True when the program's own `path` may be trusted: it is missing, or it is
// owned by this process's user, not a symbolic link, of the expected type (a
// directory, or a regular file) and not writable by group or others.
// Otherwise false, and `error` says why not, with the path.
bool ownPathIsTrusted(const std::string& path, bool directory, std::string* error);

// Readies the cache at `cacheDir` (as getInstallAgentCacheDir answers): when
// every folder above it (the home, or /tmp, down to the release's folder) is
// acceptable through links (missing, or a directory of this user or of root
// that group and others may not write; a sticky one of root's, like /tmp, is
// fine), makes the missing folders (0700) and removes the first of the
// program's own paths (the cache folder, "installagent", the validation
// string, verified key and lock files) not trusted, with all below it. False
// when the cache may not be used, and then `error` is the log line saying why.
bool secureCache(const std::string& cacheDir, std::string* error);

#endif  // BOOTSTRAP_CACHE_CACHE_TRUST_H_
