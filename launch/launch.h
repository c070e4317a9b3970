// Starting the install agent from the console: one shell command line, waited
// for.
#ifndef BOOTSTRAP_LAUNCH_LAUNCH_H_
#define BOOTSTRAP_LAUNCH_LAUNCH_H_

#include <string>

#include "base/console_report.h"

// The command line that starts the install agent: `commandPrefix`, then
// " -installbundle ", the quoted bundleLocation + "/bundle.zip", and, when
// argc >= 2, " " and argv2cmdline(argc, argv).
std::string installAgentCommandLine(const std::string& commandPrefix,
                                    const std::string& bundleLocation, int argc, const char** argv);

// Runs that command line through the shell, which execs the agent, and waits,
// marked as the install agent's run (launch/agent_run.h). True when it ended
// with status 0. "Failed to start the install agent" when no shell could be
// started; false without a message when the run is ending on a signal.
bool fireInstallAgentWithArgs(std::string installAgentEntry, std::string commandPrefix,
                              std::string bundleLocation, int argc, const char** argv,
                              MessageCallback report);

#endif  // BOOTSTRAP_LAUNCH_LAUNCH_H_
