// The process's own platform for the download window.
#include "download/download.h"
#include "launch/agent_run.h"
#include "platform/os/process.h"

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

}  // namespace

DownloadPlatform& realDownloadPlatform() {
  static RealDownloadPlatform platform;
  return platform;
}
