// Where the install agent comes from, and the URL file that names its download.
#ifndef BOOTSTRAP_SOURCING_SOURCE_H_
#define BOOTSTRAP_SOURCING_SOURCE_H_

#include <string>

#include "base/console_report.h"

// Fetches the install agent archive to `destination`; true when the run goes
// on with the cache. The URL is passed whole: a NUL byte must not cut it.
using DownloadFunction = bool (*)(const char* destination, const std::string& url,
                                  MessageCallback report);

// The install agent's entry, or "": `location` (getDefaultInstallAgentLocation)
// in place, or the bundle's archive unpacked into `workDir`, or `download`
// into the per-user cache (not without `unzip` on PATH).
std::string sourceInstallAgentFrom(std::string location, std::string workDir, std::string url,
                                   MessageCallback report, DownloadFunction download);

// The first line of the file at `path`, untrimmed; "" when it is missing, or
// cannot be opened (reported).
std::string readEndpointUrlFile(std::string path, MessageCallback report);

#endif  // BOOTSTRAP_SOURCING_SOURCE_H_
