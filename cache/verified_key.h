// The verified key file: the id of the publisher's key that the cached install
// agent's archive was verified with, stored beside the validation string. A
// bundle that carries a key trusts a cached agent only when that very key
// verified it; a cache filled without a key has no such file.
#ifndef BOOTSTRAP_CACHE_VERIFIED_KEY_H_
#define BOOTSTRAP_CACHE_VERIFIED_KEY_H_

#include <string>

// The file's path: cacheDir (ending in "/") + ".verifiedkey".
std::string verifiedKeyPath(const std::string& cacheDir);

// True when the file holds exactly `keyId`; false for an empty key id and for
// a file that is missing, unreadable or holds anything else.
bool isVerifiedWith(const std::string& cacheDir, const std::string& keyId);

// Stores `keyId` (0600, never through a link); false when it cannot.
bool writeVerifiedKey(const std::string& cacheDir, const std::string& keyId);

// Removes the file, as whenever the validation string goes: an agent replaced
// later is not verified by that key.
void removeVerifiedKey(const std::string& cacheDir);

#endif  // BOOTSTRAP_CACHE_VERIFIED_KEY_H_
