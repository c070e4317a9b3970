#include "cache/verified_key.h"

#include <cstdio>

#include "base/names.h"
#include "cache/validation_string.h"

namespace {

// A key id is 16 hex digits: anything longer is not ours, and not read.
constexpr std::size_t kMaxBytes = 64;

}  // namespace

std::string verifiedKeyPath(const std::string& cacheDir) { return cacheDir + VERIFIED_KEY_FILE; }

bool isVerifiedWith(const std::string& cacheDir, const std::string& keyId) {
  if (keyId.empty()) return false;
  std::FILE* file = std::fopen(verifiedKeyPath(cacheDir).c_str(), "re");
  if (file == nullptr) return false;
  char stored[kMaxBytes];
  std::size_t size = std::fread(stored, 1, sizeof stored, file);
  std::fclose(file);
  return std::string(stored, size) == keyId;
}

bool writeVerifiedKey(const std::string& cacheDir, const std::string& keyId) {
  return writePrivateCacheFile(verifiedKeyPath(cacheDir), keyId);
}

void removeVerifiedKey(const std::string& cacheDir) {
  std::remove(verifiedKeyPath(cacheDir).c_str());
}
