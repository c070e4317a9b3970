#include "download/download_entry.h"

#include <cstdlib>

std::string downloadTo;
std::string downloadFrom;

namespace {

// Runs the download window's application to its end and returns its status.
int runDownloadApplication() {
  // Placeholder: the download window does not exist yet, so no download is
  // made and the run answers as a window that ended without an install agent.
  return 0;
}

}  // namespace

bool downloadInstallAgentFromQZ(const char* destination, const char* url,
                                MessageCallback /*report*/) {
  const char* override = std::getenv("QZ_INTERNAL_INSTALL_AGENT_URL");
  downloadTo = destination;
  downloadFrom = override != nullptr ? override : url;
  return runDownloadApplication() != 0;
}
