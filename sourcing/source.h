// Where the install agent comes from, and the URL file that names its download.
#ifndef BOOTSTRAP_SOURCING_SOURCE_H_
#define BOOTSTRAP_SOURCING_SOURCE_H_

#include <string>

#include "base/console_report.h"

// Fetches the install agent archive to `destination`; true when the run is to
// go on with the per-user cache. The URL is passed whole: a NUL byte in it
// must not cut it into another URL.
using DownloadFunction = bool (*)(const char* destination, const std::string& url,
                                  MessageCallback report);

// Makes an install agent available and returns its entry, or "". In order:
// `location` (getDefaultInstallAgentLocation's answer) in place when it is the
// ready-to-run entry; the bundle's "InstallAgent.zip" (else its first
// "InstallAgent_*.zip") unpacked into `workDir`; `download`, after which the
// per-user cache is used. Before a download, a log line names what was looked
// for when the bundle has no URL file either; without `unzip` on PATH the run
// fails with a log line instead.
std::string sourceInstallAgentFrom(std::string location, std::string workDir, std::string url,
                                   MessageCallback report, DownloadFunction download);

// The install agent URL file's first line, taken as bytes: those before the
// first line feed of the file at `path` (the whole file when it has none;
// nothing trimmed, a carriage return stays and gets a platform log line
// naming the file). The empty string for a missing file (silently) or one that
// cannot be opened ("Failed to open install agent URL file").
std::string readEndpointUrlFile(std::string path, MessageCallback report);

#endif  // BOOTSTRAP_SOURCING_SOURCE_H_
