#include "sourcing/unpack.h"

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
