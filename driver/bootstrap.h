// The bootstrap sequence: working directory, bundle, payload hook, URL file,
// sourcing and launch of the install agent.
#ifndef BOOTSTRAP_DRIVER_BOOTSTRAP_H_
#define BOOTSTRAP_DRIVER_BOOTSTRAP_H_

#include "base/console_report.h"

// Runs the whole bootstrap once, in a temporary folder (the executable's when
// there is none, or __QZ_BOOTSTRAP_INSTALLER_UNITTEST__ is set). 0 when the
// install agent ran and succeeded, -1 after any failure (reported by it).
int bootstrapInstallerMainFunc(int argc, const char** argv, MessageCallback report);

#endif  // BOOTSTRAP_DRIVER_BOOTSTRAP_H_
