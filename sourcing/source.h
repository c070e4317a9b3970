// The decision of where the install agent comes from.
#ifndef BOOTSTRAP_SOURCING_SOURCE_H_
#define BOOTSTRAP_SOURCING_SOURCE_H_

#include <string>

#include "base/console_report.h"

// Fetches the install agent archive to `destination`; true when the run is to
// go on with the per-user cache.
// The URL is passed whole: a NUL byte in it must not cut it into another URL.
using DownloadFunction = bool (*)(const char* destination, const std::string& url,
                                  MessageCallback report);

// Makes an install agent available and returns its entry, or the empty string.
// In order: `location`, the bundle's candidate (what
// getDefaultInstallAgentLocation answers), where it lies when it is the
// ready-to-run entry; the bundle's "InstallAgent.zip" (else its first
// "InstallAgent_*.zip") unpacked into `workDir`; `download`, after which the
// per-user cache is used. Before the download, a platform log line names what
// was looked for when the bundle has no URL file either, and the run fails
// with a log line, before any download, when `unzip` is not on PATH.
std::string sourceInstallAgentFrom(std::string location, std::string workDir, std::string url,
                                   MessageCallback report, DownloadFunction download);

#endif  // BOOTSTRAP_SOURCING_SOURCE_H_
