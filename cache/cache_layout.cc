#include "cache/cache_layout.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "base/names.h"
#include "base/paths.h"
#include "platform/os/file_system.h"

std::string getInstallAgentCacheDir() {
  const char* home = std::getenv("HOME");
  std::string dir = (home == nullptr || *home == '\0') ? "/tmp" : home;
  if (dir.size() >= 2 && dir.back() != '/') dir += "/";
  return dir + CACHE_RELATIVE_PATH;
}

std::string getInstallAgentExecutable(std::string dir) {
  if (dir.empty()) return "install";
  if (dir.back() != '/') dir += "/";
  return dir + "install";
}

std::string installAgentDirOnDisk() {
  std::string dir = getInstallAgentCacheDir() + INSTALL_AGENT_DIR + PATH_SEPARATOR;
  return pathExists(getInstallAgentExecutable(dir)) ? dir : std::string();
}

std::string getDefaultInstallAgentLocation(const std::optional<MainBundle>& bundle) {
  if (!bundle || bundle->resourcePath.empty()) return std::string();
  std::string readyToRun = appendPathComponent(bundle->resourcePath, "ZavirirazUdaDad");
  if (pathExists(readyToRun)) return readyToRun;
  return appendPathComponent(bundle->resourcePath, INSTALL_AGENT_ZIP);
}

int mkpath(std::string path, unsigned short mode) {
  for (std::string::size_type end = path.find('/', 1); !path.empty();
       end = path.find('/', end + 1)) {
    std::string prefix = path.substr(0, end);
    struct stat info;
    if (stat(prefix.c_str(), &info) != 0) {
      mkdir(prefix.c_str(), mode);  // a failure shows later, when the directory is used
    } else if (!S_ISDIR(info.st_mode)) {
      errno = ENOTDIR;
      return -1;
    }
    if (end == std::string::npos) break;
  }
  return 0;
}
