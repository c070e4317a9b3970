#include "platform/os/bundle.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/paths.h"

bool ownExecutablePath(std::string* path, std::string* error) {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      *error = std::string("/proc/self/exe cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (static_cast<size_t>(length) < buffer.size()) {
      path->assign(buffer.data(), static_cast<size_t>(length));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

MainBundle bundleForExecutable(const std::string& executablePath) {
  std::string directory = parentDirectory(executablePath);
  std::string contents = parentDirectory(directory);
  if (lastPathComponent(directory) == "MacOS" && lastPathComponent(contents) == "Contents") {
    return MainBundle{parentDirectory(contents), contents + "/Resources"};
  }
  return MainBundle{directory, directory};
}

std::optional<MainBundle> mainBundle() {
  std::string executable, error;
  if (!ownExecutablePath(&executable, &error) || executable.empty() || executable[0] != '/') {
    return std::nullopt;
  }
  return bundleForExecutable(executable);
}

std::string getDirectoryOfExecutable(const std::optional<MainBundle>& bundle) {
  // Cut at a backslash too, as the bundle's paths always were; npos keeps it all.
  return bundle ? bundle->bundlePath.substr(0, bundle->bundlePath.find_last_of("/\\")) : "";
}

std::string getBundleLocation(const std::optional<MainBundle>& bundle) {
  return bundle ? bundle->resourcePath : std::string();
}
