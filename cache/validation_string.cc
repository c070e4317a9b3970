#include "cache/validation_string.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "base/names.h"

std::string validationStringPath(const std::string& cacheDir) {
  return cacheDir + PATH_SEPARATOR + VALIDATION_STRING_FILE;
}

bool isCacheValid(std::string cacheDir, std::string validationString) {
  if (validationString.empty()) return false;
  std::FILE* file = std::fopen(validationStringPath(cacheDir).c_str(), "re");
  if (file == nullptr) return false;
  std::string stored;  // the first line, nothing trimmed
  for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file)) stored += char(c);
  std::fclose(file);
  return stored == validationString;
}

namespace {

// Private whatever the umask, and never written through a link: a file that
// others could write would make the cache untrusted.
bool writePrivateCacheFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  fchmod(fd, 0600);  // a file left by an older run keeps its mode otherwise
  std::FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    close(fd);
    return false;
  }
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

void writeValidationString(std::string cacheDir, std::string validationString) {
  if (cacheDir.empty() || validationString.empty()) return;
  writePrivateCacheFile(validationStringPath(cacheDir), validationString);
}

bool isVerifiedWith(const std::string& cacheDir, const std::string& keyId) {
  if (keyId.empty()) return false;
  std::FILE* file = std::fopen((cacheDir + VERIFIED_KEY_FILE).c_str(), "re");
  if (file == nullptr) return false;
  char stored[64];  // a key id is 16 hex digits: anything longer is not ours, and not read
  std::size_t size = std::fread(stored, 1, sizeof stored, file);
  std::fclose(file);
  return std::string(stored, size) == keyId;
}

bool writeVerifiedKey(const std::string& cacheDir, const std::string& keyId) {
  return writePrivateCacheFile(cacheDir + VERIFIED_KEY_FILE, keyId);
}

void removeVerifiedKey(const std::string& cacheDir) {
  std::remove((cacheDir + VERIFIED_KEY_FILE).c_str());
}
