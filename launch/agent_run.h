// The install agent's run, and whether it runs, for the signal thread: while
// it runs the agent decides about signals; once the run ends, none starts.
#ifndef BOOTSTRAP_LAUNCH_AGENT_RUN_H_
#define BOOTSTRAP_LAUNCH_AGENT_RUN_H_

#include <string>

#include "base/console_report.h"

// Runs `commandPrefix` -installbundle "<bundleLocation>/bundle.zip" and the
// user's arguments through the shell, as the agent's run; true on status 0.
// A shell that cannot start is reported. `installAgentEntry` is not used.
bool fireInstallAgentWithArgs(std::string installAgentEntry, std::string commandPrefix,
                              std::string bundleLocation, int argc, const char** argv,
                              MessageCallback report);

// Marks the agent as running; false when the run is ending: start nothing.
bool beginInstallAgentRun();

// The agent has ended (or did not start): a signal ends the run again.
void finishInstallAgentRun();

// True while the install agent runs.
bool installAgentRuns();

// True when the run ends from now on; false while the agent runs.
bool claimEndOfRun();

#endif  // BOOTSTRAP_LAUNCH_AGENT_RUN_H_
