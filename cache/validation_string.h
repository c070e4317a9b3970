// The files beside the cached install agent: the validation string (the
// server's ETag for the archive it came from) and the verified key (the id of
// the publisher's key that archive was verified with). A bundle that carries
// a key trusts a cached agent only when that very key verified it; a cache
// filled without a key has no such file.
#ifndef BOOTSTRAP_CACHE_VALIDATION_STRING_H_
#define BOOTSTRAP_CACHE_VALIDATION_STRING_H_

#include <string>

// cacheDir + "/" + ".validatestring" (plain concatenation).
std::string validationStringPath(const std::string& cacheDir);

// True when the file's first line (bytes before the first line feed, nothing
// trimmed) equals `validationString` byte for byte. False for an empty
// validation string and for a file that is missing or unreadable.
bool isCacheValid(std::string cacheDir, std::string validationString);

// Replaces the file's content with exactly the bytes of `validationString`,
// the user's alone (0600) whatever the umask, never through a symbolic link.
// Does nothing when either argument is empty; fails silently.
void writeValidationString(std::string cacheDir, std::string validationString);

// True when cacheDir (ending in "/") + ".verifiedkey" holds exactly `keyId`; false for an empty key
// id and for a file that is missing, unreadable or holds anything else.
bool isVerifiedWith(const std::string& cacheDir, const std::string& keyId);

// Stores `keyId` there (0600, never through a link); false when it cannot.
bool writeVerifiedKey(const std::string& cacheDir, const std::string& keyId);

// Removes the file, as whenever the validation string goes: an agent replaced
// later is not verified by that key.
void removeVerifiedKey(const std::string& cacheDir);

#endif  // BOOTSTRAP_CACHE_VALIDATION_STRING_H_
