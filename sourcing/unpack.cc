#include "sourcing/unpack.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/paths.h"
#include "launch/shell_quote.h"
#include "platform/os/file_system.h"

std::string unzipCommandLine(const std::string& archive, const std::string& destination,
                             const std::string& tool) {
  return smart_quote(tool) + " -qq -o " + smart_quote(archive) + " -d " + smart_quote(destination);
}

bool unzipInstallAgent(std::string archive, std::string destination, std::string tool,
                       MessageCallback report) {
  if (!pathExists(archive)) return false;
  if (call_system(tool, unzipCommandLine(archive, destination, tool)) != 0) {
    report("Failed to unzip the install agent", true);
    return false;
  }
  return true;
}

namespace {

// True when `path` starts as a zip archive does: a local file header, or the
// end record of an empty archive.
bool looksLikeZip(const std::string& path) {
  char start[4] = {};
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) return false;
  std::size_t length = std::fread(start, 1, sizeof start, file);
  std::fclose(file);
  return length == 4 && start[0] == 'P' && start[1] == 'K' &&
         ((start[2] == 3 && start[3] == 4) || (start[2] == 5 && start[3] == 6));
}

// The first "<folder>/install" one level below `destination`, or empty.
std::string nestedInstall(const std::string& destination) {
  DIR* directory = opendir(destination.c_str());
  if (directory == nullptr) return std::string();
  std::string found;
  while (struct dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (pathExists(appendPathComponent(appendPathComponent(destination, name), "install"))) {
      found = name + "/install";
      break;
    }
  }
  closedir(directory);
  return found;
}

bool isExecutableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string whyNoInstallAgent(const std::string& archive, const std::string& destination,
                              bool unzipped) {
  if (!looksLikeZip(archive)) return "it is not a zip archive";
  if (!unzipped) return "unzip could not unpack it (its own message is above)";
  std::string nested = nestedInstall(destination);
  if (nested.empty()) return "it holds no file install at its top level";
  return "it holds no file install at its top level: found " + nested +
         "; zip the folder's contents, not the folder";
}

std::string commandSearchPath() {
  const char* path = std::getenv("PATH");
  return path != nullptr ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
}

bool toolOnPath(const std::string& tool) {
  std::string path = commandSearchPath();
  for (std::string::size_type start = 0;;) {
    std::string::size_type end = path.find(':', start);
    std::string folder = path.substr(start, end == std::string::npos ? end : end - start);
    if (isExecutableFile((folder.empty() ? "." : folder) + "/" + tool)) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}
