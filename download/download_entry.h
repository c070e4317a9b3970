// The download route's entry: fetch the install agent archive with the
// download window.
#ifndef BOOTSTRAP_DOWNLOAD_DOWNLOAD_ENTRY_H_
#define BOOTSTRAP_DOWNLOAD_DOWNLOAD_ENTRY_H_

#include <string>

#include "base/console_report.h"

// The destination and URL of the running download; empty until one starts.
extern std::string downloadTo;
extern std::string downloadFrom;

// Sets downloadTo to `destination` and downloadFrom to the URL:
// QZ_INTERNAL_INSTALL_AGENT_URL when it is set, even to the empty string, else
// `url`.
void setDownloadStrings(const char* destination, const std::string& url);

// setDownloadStrings, then runs the download window: true when the run is to go on
// with the per-user cache. `report` is unused: the window reports everything itself.
// The URL comes whole, so that one holding a NUL byte fails to parse.
bool downloadInstallAgentFromQZ(const char* destination, const std::string& url,
                                MessageCallback report);

#endif  // BOOTSTRAP_DOWNLOAD_DOWNLOAD_ENTRY_H_
