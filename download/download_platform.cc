// The process's own platform for the download window.
#include "download/download.h"
#include "platform/process.h"

namespace {

class RealDownloadPlatform : public DownloadPlatform {
 public:
  std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate* delegate) override {
    return ::makeUrlSession(delegate);
  }
  std::optional<MainBundle> mainBundle() override { return ::mainBundle(); }
  std::vector<std::string> processArguments() override { return ::processArguments(); }
  int spawn(const std::string& program, const std::vector<std::string>& arguments) override {
    return spawnChild(program, arguments);
  }
  void log(const std::string& text) override { platformLog(text); }
};

}  // namespace

DownloadPlatform& realDownloadPlatform() {
  static RealDownloadPlatform platform;
  return platform;
}
