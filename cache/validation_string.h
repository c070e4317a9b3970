// The validation string file: the server's ETag for the archive that the
// cached install agent came from, stored beside it in the cache directory.
#ifndef BOOTSTRAP_CACHE_VALIDATION_STRING_H_
#define BOOTSTRAP_CACHE_VALIDATION_STRING_H_

#include <string>

// The file's path: cacheDir + "/" + ".validatestring" (plain concatenation).
std::string validationStringPath(const std::string& cacheDir);

// True when the file's first line (bytes before the first line feed, nothing
// trimmed) equals `validationString` byte for byte. False for an empty
// validation string and for a file that is missing or unreadable.
bool isCacheValid(std::string cacheDir, std::string validationString);

// Replaces the file's content with exactly the bytes of `validationString`.
// Does nothing when either argument is empty; fails silently (no directory is
// created). The file is the user's alone (0600) whatever the umask, and a
// symbolic link in its place is not written through.
void writeValidationString(std::string cacheDir, std::string validationString);

// Replaces the content of the cache's file at `path` with `bytes`: the user's
// alone (0600) whatever the umask, never written through a symbolic link.
// False when it cannot be opened or written.
bool writePrivateCacheFile(const std::string& path, const std::string& bytes);

#endif  // BOOTSTRAP_CACHE_VALIDATION_STRING_H_
