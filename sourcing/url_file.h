// The install agent URL file: the URL is its first line, taken as bytes.
#ifndef BOOTSTRAP_SOURCING_URL_FILE_H_
#define BOOTSTRAP_SOURCING_URL_FILE_H_

#include <string>

#include "base/console_report.h"

// The bytes before the first line feed of the file at `path` (the whole file
// when it has none; nothing trimmed, a carriage return stays and gets a
// platform log line naming the file). The empty string for a missing file
// (silently) or one that cannot be opened ("Failed to open install agent URL
// file").
std::string readEndpointUrlFile(std::string path, MessageCallback report);

#endif  // BOOTSTRAP_SOURCING_URL_FILE_H_
