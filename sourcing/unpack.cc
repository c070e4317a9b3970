#include "sourcing/unpack.h"

#include <cstdio>

#include "base/paths.h"
#include "launch/shell_quote.h"
#include "platform/os/file_system.h"

bool unzipInstallAgent(std::string archive, std::string destination, std::string tool,
                       MessageCallback report) {
  if (!pathExists(archive)) return false;
  std::string line =
      smart_quote(tool) + " -qq -o " + smart_quote(archive) + " -d " + smart_quote(destination);
  if (call_system(tool, line) != 0) {
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
  for (const std::string& name : directoryEntries(destination)) {
    if (pathExists(appendPathComponent(appendPathComponent(destination, name), "install"))) {
      return name + "/install";
    }
  }
  return std::string();
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
