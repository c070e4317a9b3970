// The download window's transfer alone, for bench/bench.py: the program's own
// application, window, Download and URL session fetch URL, with every data
// report handed over to the main thread as in the program, but the finished
// body is neither unpacked nor is an install agent started: the run ends when
// the body has arrived whole and the window has been taken down.
//
//   transfer_bench URL
//
// Prints "bytes N seconds S" (the application's run, from the window's
// creation to its end) on standard output. Exits 0 only when the whole body
// arrived with a status below 400 and nothing was started; 1 otherwise, with
// the reason on standard error. Give it a HOME with an empty cache: a current
// cache would end the run without a transfer, which counts as a failure.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "download/download.h"
#include "download/download_entry.h"
#include "platform/http/url_session.h"
#include "platform/os/process.h"
#include "platform/window/window_application.h"

namespace {

// Stands between the URL session and the Download: data reports and the
// completion go on to the Download; the finished body ends the application
// instead of being unpacked.
class TransferOnlyRelay : public UrlSessionDelegate {
 public:
  // The Download that receives the reports and the application to stop;
  // set before the transfer starts.
  void attach(Download* download, Application* application) {
    download_ = download;
    application_ = application;
  }

  void didWriteData(long long bytesWritten, long long totalBytesWritten,
                    long long totalBytesExpectedToWrite) override {
    received_ = totalBytesWritten;
    download_->didWriteData(bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
  }

  void didFinishDownloadingToURL(const std::string& /*path*/) override {
    status_ = download_->theDownload()->response().statusCode;
    finished_ = true;
    application_->stop();
  }

  void didCompleteWithError(const UrlCompletion& completion) override {
    status_ = download_->theDownload()->response().statusCode;
    download_->didCompleteWithError(completion);
    // A refusal, a transport error or a cancellation: the window would wait
    // for its user; the bench ends instead and reports the failure.
    if (!finished_) {
      ending_ = completion.description.empty() ? "the transfer ended without its body"
                                               : completion.description;
      application_->stop();
    }
  }

  bool finished() const { return finished_; }
  long status() const { return status_; }
  long long received() const { return received_; }
  std::string ending() const { return ending_; }

 private:
  Download* download_ = nullptr;
  Application* application_ = nullptr;
  std::atomic<bool> finished_{false};
  std::atomic<long> status_{0};
  std::atomic<long long> received_{0};
  std::string ending_;  // written on the session's thread, read after its join
};

// The process's platform, with the URL session's reports passing through the
// relay and no process ever started.
class TransferOnlyPlatform : public DownloadPlatform {
 public:
  explicit TransferOnlyPlatform(TransferOnlyRelay* relay) : relay_(relay) {}

  std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate* /*delegate*/) override {
    return realDownloadPlatform().makeUrlSession(relay_);
  }
  std::optional<MainBundle> mainBundle() override { return realDownloadPlatform().mainBundle(); }
  std::vector<std::string> processArguments() override {
    return realDownloadPlatform().processArguments();
  }
  // Only a current cache starts an agent without unpacking: that run
  // measured no transfer.
  int spawn(const std::string& program, const std::vector<std::string>& /*arguments*/) override {
    spawned_ = program;
    return -1;
  }
  void log(const std::string& text) override { realDownloadPlatform().log(text); }

  const std::string& spawned() const { return spawned_; }

 private:
  TransferOnlyRelay* relay_;
  std::string spawned_;
};

// Why the run does not count, or empty when it does.
std::string failureOf(const TransferOnlyRelay& relay, const TransferOnlyPlatform& platform) {
  if (!platform.spawned().empty()) return "the cache was current: started " + platform.spawned();
  std::string status = "status " + std::to_string(relay.status());
  if (!relay.finished()) {
    return (relay.ending().empty() ? "no transfer ran" : relay.ending()) + " (" + status + ")";
  }
  if (relay.status() >= 400) return "the server refused it: " + status;
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: transfer_bench URL\n");
    return 2;
  }
  setProcessArguments(argc, argv);
  // The destination is never written: nothing is unpacked.
  setDownloadStrings("", argv[1]);

  TransferOnlyRelay relay;
  TransferOnlyPlatform platform(&relay);
  InstallAgentLaunch launch;
  auto start = std::chrono::steady_clock::now();
  applicationMain([&](const WindowControls& controls) {
    auto download = std::make_unique<Download>(controls, platform, &launch);
    relay.attach(download.get(), controls.application);
    return download;
  });
  std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

  std::string failure = failureOf(relay, platform);
  if (!failure.empty()) {
    std::fprintf(stderr, "transfer_bench: %s: %s\n", argv[1], failure.c_str());
    return 1;
  }
  std::printf("bytes %lld seconds %.6f\n", relay.received(), seconds.count());
  return 0;
}
