#include "cache/validation_string.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/names.h"
#include "platform/os/file_system.h"

std::string validationStringPath(const std::string& cacheDir) {
  return cacheDir + PATH_SEPARATOR + VALIDATION_STRING_FILE;
}

namespace {

// The bytes before the first line feed, or the whole stream.
std::string readFirstLine(std::FILE* file) {
  std::string line;
  for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file)) {
    line.push_back(static_cast<char>(c));
  }
  return line;
}

}  // namespace

bool isCacheValid(std::string cacheDir, std::string validationString) {
  if (validationString.empty()) return false;
  std::string path = validationStringPath(cacheDir);
  if (!pathExists(path)) return false;
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  std::string stored = readFirstLine(file);
  std::fclose(file);
  return stored == validationString;
}

void writeValidationString(std::string cacheDir, std::string validationString) {
  if (cacheDir.empty() || validationString.empty()) return;
  writePrivateCacheFile(validationStringPath(cacheDir), validationString);
}

bool writePrivateCacheFile(const std::string& path, const std::string& bytes) {
  // Private whatever the umask, and never written through a link: a file
  // that others could write would make the cache untrusted.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  fchmod(fd, 0600);  // a file left by an older run keeps its mode otherwise
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return close(fd) == 0 && left == 0;
}

std::string verifiedKeyPath(const std::string& cacheDir) { return cacheDir + VERIFIED_KEY_FILE; }

bool isVerifiedWith(const std::string& cacheDir, const std::string& keyId) {
  if (keyId.empty()) return false;
  std::FILE* file = std::fopen(verifiedKeyPath(cacheDir).c_str(), "re");
  if (file == nullptr) return false;
  char stored[64];  // a key id is 16 hex digits: anything longer is not ours, and not read
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
