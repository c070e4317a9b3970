#include "environment/executable_location.h"

#include <cstring>

namespace {

class RealExecutableProbe : public ExecutableProbe {
 public:
  std::optional<MainBundle> mainBundle() const override { return ::mainBundle(); }
  long readSelfLink(char* buffer, unsigned long size) const override {
    return readSelfExecutableLink(buffer, size);
  }
};

}  // namespace

const ExecutableProbe& realExecutableProbe() {
  static const RealExecutableProbe probe;
  return probe;
}

std::string getPathToExecutable(const ExecutableProbe& probe) {
  if (std::optional<MainBundle> bundle = probe.mainBundle()) return bundle->bundlePath;
  char buffer[1024];
  std::memset(buffer, 0, sizeof buffer);
  long length = probe.readSelfLink(buffer, sizeof buffer - 1);
  if (length < 0) return std::string();
  return std::string(buffer, static_cast<size_t>(length));
}

std::string directoryOfPath(const std::string& path) {
  std::string::size_type separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return path;
  return path.substr(0, separator);
}

std::string getDirectoryOfExecutable(const ExecutableProbe& probe) {
  return directoryOfPath(getPathToExecutable(probe));
}

std::string getBundleLocation(const ExecutableProbe& probe) {
  if (std::optional<MainBundle> bundle = probe.mainBundle()) {
    return bundle->resourcePath.empty() ? bundle->bundlePath : bundle->resourcePath;
  }
  // The directory's bytes pass unchanged: there is no encoding round trip here.
  return getDirectoryOfExecutable(probe);
}
