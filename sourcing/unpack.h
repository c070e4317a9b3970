// Unpacking an install agent archive with the outside `unzip` command.
#ifndef BOOTSTRAP_SOURCING_UNPACK_H_
#define BOOTSTRAP_SOURCING_UNPACK_H_

#include <string>

#include "base/console_report.h"

// Runs "<tool> -qq -o <archive> -d <destination>". False, silently for a
// missing archive, or reported when the command fails.
bool unzipInstallAgent(std::string archive, std::string destination, std::string tool,
                       MessageCallback report);

// Why unpacking `archive` into `destination` gave no install agent, for the
// log.
std::string whyNoInstallAgent(const std::string& archive, const std::string& destination,
                              bool unzipped);

#endif  // BOOTSTRAP_SOURCING_UNPACK_H_
