#include "platform/os/bundle.h"

#include <unistd.h>

#include <vector>

namespace {

std::string parentOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The whole link text, however long: the bundle must not depend on a
// truncated path.
std::optional<std::string> readWholeSelfLink() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::nullopt;
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

MainBundle bundleForExecutable(const std::string& executablePath) {
  std::string directory = parentOf(executablePath);
  std::string contents = parentOf(directory);
  if (lastComponent(directory) == "MacOS" && lastComponent(contents) == "Contents") {
    std::string bundle = parentOf(contents);
    return MainBundle{bundle, contents + "/Resources"};
  }
  return MainBundle{directory, directory};
}

std::optional<MainBundle> mainBundle() {
  std::optional<std::string> executable = readWholeSelfLink();
  if (!executable || executable->empty() || (*executable)[0] != '/') return std::nullopt;
  return bundleForExecutable(*executable);
}

long readSelfExecutableLink(char* buffer, unsigned long size) {
  return readlink("/proc/self/exe", buffer, size);
}
