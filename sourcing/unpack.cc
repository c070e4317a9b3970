#include "sourcing/unpack.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>

#include "launch/shell_quote.h"
#include "platform/os/file_system.h"

std::string unzipCommandLine(const std::string& archive, const std::string& destination,
                             const std::string& tool) {
  return smart_quote(tool) + " -qq -o " + smart_quote(archive) + " -d " + smart_quote(destination);
}

bool unzipInstallAgent(std::string archive, std::string destination, std::string tool,
                       MessageCallback report) {
  if (!pathExists(archive)) return false;
  std::string commandLine = unzipCommandLine(archive, destination, tool);
  int status;
  try {
    status = call_system(tool, commandLine);
  } catch (const std::exception&) {
    return false;
  }
  if (status != 0) {
    report("Failed to unzip the install agent", true);
    return false;
  }
  return true;
}

namespace {

bool isExecutableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

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
