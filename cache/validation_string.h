// The files beside the cached install agent: the validation string (the ETag
// of its archive) and the id of the key that archive was verified with.
#ifndef BOOTSTRAP_CACHE_VALIDATION_STRING_H_
#define BOOTSTRAP_CACHE_VALIDATION_STRING_H_

#include <string>

// cacheDir + "/" + ".validatestring" (plain concatenation).
std::string validationStringPath(const std::string& cacheDir);

// True when the file's first line equals a non-empty `validationString`.
bool isCacheValid(std::string cacheDir, std::string validationString);

// Stores `validationString` (0600, never through a link); nothing when either
// argument is empty, silent on failure.
void writeValidationString(std::string cacheDir, std::string validationString);

// True when cacheDir (ending in "/") + ".verifiedkey" holds exactly a
// non-empty `keyId`.
bool isVerifiedWith(const std::string& cacheDir, const std::string& keyId);

// Stores `keyId` there (0600, never through a link); false when it cannot.
bool writeVerifiedKey(const std::string& cacheDir, const std::string& keyId);

// Removes the file, as whenever the validation string goes.
void removeVerifiedKey(const std::string& cacheDir);

#endif  // BOOTSTRAP_CACHE_VALIDATION_STRING_H_
