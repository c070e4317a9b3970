#include "environment/executable_location.h"

namespace {

class RealExecutableProbe : public ExecutableProbe {
 public:
  std::optional<MainBundle> mainBundle() const override { return ::mainBundle(); }
  bool ownExecutablePath(std::string* path, std::string* error) const override {
    return ::ownExecutablePath(path, error);
  }
};

// The executable's path is cut where a buffer of 1024 bytes would cut it.
constexpr std::string::size_type kMaxExecutablePath = 1023;

}  // namespace

const ExecutableProbe& realExecutableProbe() {
  static const RealExecutableProbe probe;
  return probe;
}

std::string getPathToExecutable(const ExecutableProbe& probe) {
  if (std::optional<MainBundle> bundle = probe.mainBundle()) return bundle->bundlePath;
  std::string path, error;
  if (!probe.ownExecutablePath(&path, &error)) return std::string();
  return path.substr(0, kMaxExecutablePath);
}

std::string getDirectoryOfExecutable(const ExecutableProbe& probe) {
  // A backslash separates too, and a path at the root has the empty directory.
  std::string path = getPathToExecutable(probe);
  std::string::size_type separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(0, separator);
}

std::string getBundleLocation(const ExecutableProbe& probe) {
  if (std::optional<MainBundle> bundle = probe.mainBundle()) {
    return bundle->resourcePath.empty() ? bundle->bundlePath : bundle->resourcePath;
  }
  // The directory's bytes pass unchanged: there is no encoding round trip here.
  return getDirectoryOfExecutable(probe);
}
