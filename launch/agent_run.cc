#include "launch/agent_run.h"

#include <atomic>

#include "base/names.h"
#include "launch/shell_quote.h"

namespace {

enum class RunState { kPreparing, kAgentRuns, kEnding };

// One value changed by compare-and-swap, so that the ending thread and the
// thread starting the agent never both win: either the agent starts and the
// signal is its own, or the run ends and no agent starts.
std::atomic<RunState> runState{RunState::kPreparing};

}  // namespace

bool beginInstallAgentRun() {
  RunState expected = RunState::kPreparing;
  return runState.compare_exchange_strong(expected, RunState::kAgentRuns);
}

void finishInstallAgentRun() {
  RunState expected = RunState::kAgentRuns;
  runState.compare_exchange_strong(expected, RunState::kPreparing);
}

bool installAgentRuns() { return runState.load() == RunState::kAgentRuns; }

bool claimEndOfRun() {
  RunState expected = RunState::kPreparing;
  return runState.compare_exchange_strong(expected, RunState::kEnding) ||
         expected == RunState::kEnding;
}

bool fireInstallAgentWithArgs(std::string installAgentEntry, std::string commandPrefix,
                              std::string bundleLocation, int argc, const char** argv,
                              MessageCallback report) {
  std::string commandLine = commandPrefix + " -installbundle ";
  commandLine += smart_quote(bundleLocation + PATH_SEPARATOR + "bundle.zip");
  if (argc >= 2) commandLine += " " + argv2cmdline(argc, argv);
  if (!beginInstallAgentRun()) return false;  // the run ends on a signal: start nothing
  // The shell execs the agent, so that the child waited for is the agent
  // itself: a shell standing in between would die at once of a SIGTERM the
  // agent traps, or report a Ctrl-C the agent handled as its own death.
  int status = call_system(installAgentEntry, "exec " + commandLine);
  finishInstallAgentRun();
  if (status == -1) report("Failed to start the install agent", true);
  return status == 0;
}
