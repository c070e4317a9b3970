#include "launch/launch.h"

#include <exception>

#include "driver/names.h"
#include "launch/shell_quote.h"

std::string installAgentCommandLine(const std::string& commandPrefix,
                                    const std::string& bundleLocation, int argc,
                                    const char** argv) {
  std::string tail = " -installbundle ";
  tail += smart_quote(bundleLocation + PATH_SEPARATOR + "bundle.zip");
  if (argc >= 2) tail += " " + argv2cmdline(argc, argv);
  return commandPrefix + tail;
}

bool fireInstallAgentWithArgs(std::string installAgentEntry, std::string commandPrefix,
                              std::string bundleLocation, int argc, const char** argv,
                              MessageCallback report) {
  std::string commandLine = installAgentCommandLine(commandPrefix, bundleLocation, argc, argv);
  int status;
  try {
    status = call_system(installAgentEntry, commandLine);
  } catch (const std::exception&) {
    report("Failed to start the install agent", true);
    return false;
  }
  return status == 0;
}
