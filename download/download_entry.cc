#include "download/download_entry.h"

#include <cstdlib>

std::string downloadTo;
std::string downloadFrom;

namespace {

// Runs the download window's application to its end and returns its status.
int runDownloadApplication() {
  // Placeholder while the window is wired in.
  return 0;
}

}  // namespace

void setDownloadStrings(const char* destination, const char* url) {
  const char* override = std::getenv("QZ_INTERNAL_INSTALL_AGENT_URL");
  downloadTo = destination;
  downloadFrom = override != nullptr ? override : url;
}

bool downloadInstallAgentFromQZ(const char* destination, const char* url,
                                MessageCallback /*report*/) {
  setDownloadStrings(destination, url);
  return runDownloadApplication() != 0;
}
