#include "launch/launch.h"

#include <exception>
#include <optional>

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

namespace {

// Runs the agent's command line as the install agent's run: the wait status,
// or nothing when the hand-over threw. The shell execs the agent, so that the
// child waited for is the agent itself: a shell standing in between would die
// at once of a SIGTERM the agent traps, or report a Ctrl-C the agent handled
// as its own death.
std::optional<int> callInstallAgent(const std::string& entry, const std::string& commandLine) {
  if (!beginInstallAgentRun()) return -1;  // the run ends on a signal: start nothing
  std::optional<int> status;
  try {
    status = call_system(entry, "exec " + commandLine);
  } catch (const std::exception&) {
  }
  finishInstallAgentRun();
  return status;
}

}  // namespace

bool fireInstallAgentWithArgs(std::string installAgentEntry, std::string commandPrefix,
                              std::string bundleLocation, int argc, const char** argv,
                              MessageCallback report) {
  std::string commandLine = installAgentCommandLine(commandPrefix, bundleLocation, argc, argv);
  std::optional<int> status = callInstallAgent(installAgentEntry, commandLine);
  if (!status) {
    report("Failed to start the install agent", true);
    return false;
  }
  return *status == 0;
}
