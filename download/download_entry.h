// The download route's entry: fetch the install agent archive with the
// download window.
#ifndef BOOTSTRAP_DOWNLOAD_DOWNLOAD_ENTRY_H_
#define BOOTSTRAP_DOWNLOAD_DOWNLOAD_ENTRY_H_

#include <string>

#include "base/console_report.h"

// The destination and URL of the running download; empty until a download
// starts. Set by downloadInstallAgentFromQZ.
extern std::string downloadTo;
extern std::string downloadFrom;

// Sets downloadTo to `destination` and downloadFrom to the URL:
// QZ_INTERNAL_INSTALL_AGENT_URL when it is set, even to the empty string, else
// `url`.
void setDownloadStrings(const char* destination, const std::string& url);

// Records `destination` and the URL (QZ_INTERNAL_INSTALL_AGENT_URL when it is
// set, even to the empty string, else `url`) and runs the download window.
// True when the run is to go on with the per-user cache. `report` is never
// called: the window reports everything itself.
// The URL comes whole, so that a URL holding a NUL byte fails as a URL that
// does not parse instead of fetching the part before the NUL.
bool downloadInstallAgentFromQZ(const char* destination, const std::string& url,
                                MessageCallback report);

#endif  // BOOTSTRAP_DOWNLOAD_DOWNLOAD_ENTRY_H_
