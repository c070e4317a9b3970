// The install agent's run: its start from the console, and whether it runs,
// for the thread that takes SIGINT and SIGTERM. While it runs, the process
// stands to it as a caller of system() does: the agent decides about the
// signals meant for it. Once the run ends on a signal, no agent starts.
#ifndef BOOTSTRAP_LAUNCH_AGENT_RUN_H_
#define BOOTSTRAP_LAUNCH_AGENT_RUN_H_

#include <string>

#include "base/console_report.h"

// Runs `commandPrefix` + " -installbundle " + the quoted bundleLocation +
// "/bundle.zip" (+ " " + argv2cmdline(argc, argv) when argc >= 2) through the
// shell, which execs the agent, and waits, marked as the install agent's run.
// True when it ended with status 0. "Failed to start the install agent" when
// no shell could be started; false without a message when the run is ending
// on a signal. `installAgentEntry` names the agent and is not used.
bool fireInstallAgentWithArgs(std::string installAgentEntry, std::string commandPrefix,
                              std::string bundleLocation, int argc, const char** argv,
                              MessageCallback report);

// Marks the install agent as running until finishInstallAgentRun. False, and
// nothing marked, when the run is already ending on a signal: start nothing.
bool beginInstallAgentRun();

// The agent has ended (or did not start): a signal ends the run again.
void finishInstallAgentRun();

// True while the install agent runs.
bool installAgentRuns();

// For a signal that would end the run: true when the run ends from now on
// (beginInstallAgentRun answers false after it); false when the install agent
// runs, and the signal is the agent's.
bool claimEndOfRun();

#endif  // BOOTSTRAP_LAUNCH_AGENT_RUN_H_
