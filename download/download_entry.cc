#include "download/download_entry.h"

#include <cstdlib>

#include "download/download.h"
#include "launch/agent_run.h"
#include "platform/os/file_system.h"
#include "platform/os/process.h"
#include "platform/window/window_application.h"

std::string downloadTo;
std::string downloadFrom;

namespace {

class RealDownloadPlatform : public DownloadPlatform {
 public:
  std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate* delegate) override {
    return ::makeUrlSession(delegate);
  }
  std::optional<MainBundle> mainBundle() override { return ::mainBundle(); }
  std::vector<std::string> processArguments() override { return ::processArguments(); }
  // Starts the install agent (the one thing spawned), marked as its run until
  // the entry has waited for it; nothing when the run ends on a signal.
  int spawn(const std::string& program, const std::vector<std::string>& arguments) override {
    if (!beginInstallAgentRun()) return -1;
    int pid;
    std::string error;
    if (!spawnChild(program, arguments, &pid, &error)) finishInstallAgentRun();
    return pid;
  }
  void log(const std::string& text) override { platformLog(text); }
};

// The run ends here, as the console route does, once the agent has ended (a failed
// start counts as a failed agent); the temporary directories go only after it, as it
// may still clean up in them after a Ctrl-C.
[[noreturn]] void endWithInstallAgent(int pid) {
  int status = pid < 0 ? -1 : waitForChild(pid);
  finishInstallAgentRun();
  // Gone before the last line, as on the console route.
  TempDir::removeAllLive();
  if (status != 0) {
    report_message_main("Application install was not successful.", true);
    report_message_main("Installation failed.", true);
  }
  std::exit(status == 0 ? 0 : 255);
}

}  // namespace

DownloadPlatform& realDownloadPlatform() {
  static RealDownloadPlatform platform;
  return platform;
}

void setDownloadStrings(const char* destination, const std::string& url) {
  const char* override = std::getenv("QZ_INTERNAL_INSTALL_AGENT_URL");
  downloadTo = destination;
  downloadFrom = override != nullptr ? override : url;
}

bool downloadInstallAgentFromQZ(const char* destination, const std::string& url,
                                MessageCallback /*report*/) {
  setDownloadStrings(destination, url);
  InstallAgentLaunch launch;
  int status = applicationMain([&launch](const WindowControls& controls) {
    return std::make_unique<Download>(controls, realDownloadPlatform(), &launch);
  });
  // Otherwise a refusal, a failure, or a window closed by the user.
  if (launch.started) endWithInstallAgent(launch.pid);
  return status != 0;
}
