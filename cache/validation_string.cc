#include "cache/validation_string.h"

#include <cstdio>

#include "driver/names.h"
#include "platform/file_system.h"

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
  std::FILE* file = std::fopen(validationStringPath(cacheDir).c_str(), "we");
  if (file == nullptr) return;
  std::fwrite(validationString.data(), 1, validationString.size(), file);
  std::fclose(file);
}
