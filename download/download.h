// The download window's logic: fetch the install agent archive, check it against the
// per-user cache, unpack it there and start the install agent.
#ifndef BOOTSTRAP_DOWNLOAD_DOWNLOAD_H_
#define BOOTSTRAP_DOWNLOAD_DOWNLOAD_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download/signature_check.h"
#include "platform/http/url_session.h"
#include "platform/os/bundle.h"
#include "platform/window/window_application.h"

// What the window's logic asks of the platform; tests give a recording one.
class DownloadPlatform {
 public:
  virtual ~DownloadPlatform() = default;
  virtual std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate* delegate) = 0;
  virtual std::optional<MainBundle> mainBundle() = 0;
  // The process's arguments, the program's path first.
  virtual std::vector<std::string> processArguments() = 0;
  // Starts `program` with `arguments` without waiting: its pid, or -1.
  virtual int spawn(const std::string& program, const std::vector<std::string>& arguments) = 0;
  virtual void log(const std::string& text) = 0;
};

// The process's own: libcurl, the real bundle, spawnChild and the system log.
DownloadPlatform& realDownloadPlatform();

// Whether, and which, install agent the window started; it outlives the window.
struct InstallAgentLaunch {
  bool started = false;
  int pid = -1;  // -1 when the start failed
};

class Download : public ApplicationDelegate, public UrlSessionDelegate {
 public:
  // Takes the destination from downloadTo; the window shows its first state.
  Download(const WindowControls& controls, DownloadPlatform& platform, InstallAgentLaunch* launch);
  // Joins the session's thread: the stopped event loop has released any waiting report.
  ~Download() override { urlSession_.reset(); }

  // Shows the splash and fetches downloadFrom; without a main bundle nothing, and
  // with an unusable public key the verification failure instead.
  void applicationDidFinishLaunching() override;
  // Cancels the transfer and stops the event loop; nothing is started after this.
  void windowWillClose() override;
  bool startedTransfer() const override { return urlSession_ != nullptr; }

  // Session reports, on the session's thread.
  void didWriteData(long long bytesWritten, long long totalBytesWritten,
                    long long totalBytesExpectedToWrite) override;
  void didFinishDownloadingToURL(const std::string& path) override;
  void didCompleteWithError(const UrlCompletion& completion) override;

  // Starts "/bin/sh <agent>/install -installbundle <bundle.zip> <own arguments>"
  // without waiting; nothing once the window has closed.
  void fireInstallAgent();

  // The archive's transfer; null until it has started.
  std::shared_ptr<UrlSessionTask> theDownload() const { return theDownload_; }

 private:
  // Logs `logLine` and shows the verification failure.
  void unverified(const std::string& logLine);
  // With a key, checks the archive's signature: false (shown unless closed) when it fails.
  bool verifyArchive(const std::string& path);
  // False (after the refusal display) for 400 and up.
  bool checkStatus(long status, const std::string& logLine);
  // Takes the validation string: false when the cache was current and its agent started.
  bool checkValidation();
  // Under the cache lock: starts a current cached install agent (true), or
  // deletes an outdated one that no other run uses.
  bool useOrClearCache();
  // Whether the cache may be used (trusted), or claimed for deleting or unpacking;
  // when not, the run goes on without it (logged).
  bool trustCache(const std::string& cacheDir);
  bool claimCache(const std::string& cacheDir);
  bool dropCache(const std::string& logLine);  // logs it; false
  void abandonTransfer();
  // Unpacks into the cache and starts the agent from there: false when the unpacking
  // failed, or the cache cannot be used now (useCache_ is then false).
  bool unpackAndStartFromCache(const std::string& path);

  Application* application_;
  DownloadWindow* window_;
  DownloadPlatform& platform_;
  InstallAgentLaunch* launch_;

  SignatureCheck signature_{platform_};
  std::shared_ptr<UrlSessionTask> theDownload_;
  std::string validationString_;
  bool checkedFirstReport_ = false;
  bool useCache_ = true;                // else the agent is unpacked beside the archive
  std::atomic<bool> abandoned_{false};  // from any thread: later reports are ignored
  std::unique_ptr<UrlSession> urlSession_;
  // The same, for a late report to cancel through while the destructor resets the owner.
  UrlSession* session_ = nullptr;

  // So that a window closed while the archive is unpacked starts nothing.
  std::mutex launchLock_;
  bool closed_ = false;
};

#endif  // BOOTSTRAP_DOWNLOAD_DOWNLOAD_H_
