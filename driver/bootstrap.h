// The bootstrap sequence: working directory, bundle, payload hook, URL file,
// sourcing and launch of the install agent, in that fixed order.
#ifndef BOOTSTRAP_DRIVER_BOOTSTRAP_H_
#define BOOTSTRAP_DRIVER_BOOTSTRAP_H_

#include <string>

#include "base/console_report.h"

// Runs the whole bootstrap once, in a temporary folder (the executable's when
// there is none, or __QZ_BOOTSTRAP_INSTALLER_UNITTEST__ is set). 0 when the
// install agent ran and succeeded, -1 after any failure (reported by it).
int bootstrapInstallerMainFunc(int argc, const char** argv, MessageCallback report);

// Makes an install agent available and returns its entry, or the empty string:
// the bundle's own (in place, or its archive unpacked into `workDir`), else a
// download in the download window, after which the per-user cache is used.
std::string sourceInstallAgent(std::string workDir, std::string url, MessageCallback report);

// Hook for unpacking a payload into `dir` before anything else happens. This
// system has none: it reports nothing and answers 0 (any other code would be
// reported as "Internal error: Failed to initialize application installer
// (CODE)").
int extractPayloadToDir(std::string dir, bool flag, MessageCallback report);

#endif  // BOOTSTRAP_DRIVER_BOOTSTRAP_H_
