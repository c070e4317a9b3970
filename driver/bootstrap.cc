#include "driver/bootstrap.h"

#include <cstdlib>

#include "base/names.h"
#include "cache/cache_layout.h"
#include "download/download_entry.h"
#include "launch/agent_run.h"
#include "launch/shell_quote.h"
#include "platform/os/bundle.h"
#include "platform/os/file_system.h"
#include "sourcing/source.h"

namespace {

// Hook for unpacking a payload into `dir` first; this system has none.
int extractPayloadToDir(std::string /*dir*/, bool /*flag*/, MessageCallback /*report*/) {
  return 0;
}

}  // namespace

int bootstrapInstallerMainFunc(int argc, const char** argv, MessageCallback report) {
  TempDir tempDir("tmp_install_dir");
  std::string workDir = tempDir.getDir();
  if (workDir.empty() || std::getenv("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr) {
    workDir = getDirectoryOfExecutable();
  }
  std::string bundleLocation = getBundleLocation();
  int code = extractPayloadToDir(workDir, false, report);
  if (code != 0) {
    report(
        "Internal error: Failed to initialize application installer (" + std::to_string(code) + ")",
        true);
    return -1;
  }
  std::string url =
      readEndpointUrlFile(bundleLocation + PATH_SEPARATOR + "installAgentURL.txt", report);
  std::string entry = sourceInstallAgentFrom(getDefaultInstallAgentLocation(), workDir, url, report,
                                             downloadInstallAgentFromQZ);
  if (entry.empty()) return -1;
  std::string commandPrefix = "sh " + smart_quote(entry);
  if (!fireInstallAgentWithArgs(entry, commandPrefix, bundleLocation, argc, argv, report)) {
    report("Application install was not successful.", true);
    return -1;
  }
  return 0;
}
