// Unpacking an install agent archive with the outside `unzip` command.
#ifndef BOOTSTRAP_SOURCING_UNPACK_H_
#define BOOTSTRAP_SOURCING_UNPACK_H_

#include <string>

#include "base/console_report.h"

// Unpacks `archive` into `destination` (overwriting, keeping other files) with
// "<tool> -qq -o <archive> -d <destination>", each word through smart_quote.
// False, silently when the archive does not exist, or with "Failed to unzip
// the install agent" when the command ends with a non-zero status.
bool unzipInstallAgent(std::string archive, std::string destination, std::string tool,
                       MessageCallback report);

// Why the unpacking of `archive` into `destination` gave no install agent, for
// the log: the archive is no zip archive; unzip failed (when `unzipped` is
// false); or "install" is not at its top, with the folder it was found in and
// the hint to zip the folder's contents, not the folder.
std::string whyNoInstallAgent(const std::string& archive, const std::string& destination,
                              bool unzipped);

#endif  // BOOTSTRAP_SOURCING_UNPACK_H_
