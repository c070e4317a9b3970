#include "launch/launch.h"

#include "base/names.h"
#include "launch/agent_run.h"
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
  if (!beginInstallAgentRun()) return false;  // the run ends on a signal: start nothing
  // The shell execs the agent, so that the child waited for is the agent
  // itself: a shell standing in between would die at once of a SIGTERM the
  // agent traps, or report a Ctrl-C the agent handled as its own death.
  int status = call_system(installAgentEntry, "exec " + commandLine);
  finishInstallAgentRun();
  if (status == -1) report("Failed to start the install agent", true);
  return status == 0;
}
