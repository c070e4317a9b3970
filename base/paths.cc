#include "base/paths.h"

std::string appendPathComponent(const std::string& base, const std::string& component) {
  if (base.empty()) return component;
  std::string::size_type end = base.find_last_not_of('/');
  if (end == std::string::npos) return "/" + component;
  return base.substr(0, end + 1) + "/" + component;
}

std::string parentDirectory(const std::string& path) {
  std::string::size_type separator = path.rfind('/');
  if (separator == std::string::npos) return path;
  return separator == 0 ? "/" : path.substr(0, separator);
}

std::string lastPathComponent(const std::string& path) {
  return path.substr(path.rfind('/') + 1);  // npos + 1 is 0
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
