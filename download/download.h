// The download window's logic: it fetches the install agent archive, keeps the
// window current, checks the server's answer against the per-user cache,
// unpacks the archive into the cache and starts the install agent.
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

// What the window's logic asks of the platform beyond its controls. The real
// one is the process's; tests give a recording one.
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

// Whether, and which, install agent the window started. It outlives the
// window, so that the run can wait for the agent.
struct InstallAgentLaunch {
  bool started = false;
  int pid = -1;  // -1 when the start failed
};

class Download : public ApplicationDelegate, public UrlSessionDelegate {
 public:
  // Takes the destination from downloadTo; the window shows its first state.
  Download(const WindowControls& controls, DownloadPlatform& platform, InstallAgentLaunch* launch);
  // Joins the session's thread; by now the event loop has stopped, so a
  // report waiting for the main thread has been released.
  ~Download() override { urlSession_.reset(); }

  // Shows the splash and starts the transfer of downloadFrom; does nothing
  // without a main bundle, nor after the verification failure display when
  // the bundle's public key cannot be read or parsed.
  void applicationDidFinishLaunching() override;
  // Cancels the transfer, retires the session and stops the event loop.
  // Nothing is started after this.
  void windowWillClose() override;
  bool startedTransfer() const override { return urlSession_ != nullptr; }

  // Session reports, on the session's thread.
  void didWriteData(long long bytesWritten, long long totalBytesWritten,
                    long long totalBytesExpectedToWrite) override;
  void didFinishDownloadingToURL(const std::string& path) override;
  void didCompleteWithError(const UrlCompletion& completion) override;

  // Starts "/bin/sh" with the cached install agent entry, "-installbundle",
  // the bundle's bundle.zip and the process's arguments after its path, and
  // does not wait. Nothing is started once the window has closed.
  void fireInstallAgent();

  // The archive's transfer; null until it has started.
  std::shared_ptr<UrlSessionTask> theDownload() const { return theDownload_; }

 private:
  // Logs `logLine` and shows the verification failure.
  void unverified(const std::string& logLine);
  // With a key, checks the archive at `path` against its signature: false
  // (after the verification failure display, unless the window closed) when
  // it does not hold.
  bool verifyArchive(const std::string& path);
  // Whether the cache holds the archive of this validation string and, when
  // the bundle has a key, was verified with that key.
  bool cacheIsCurrent(const std::string& cacheDir);
  // Forgets what the cache held, then deletes its install agent.
  void clearCache(const std::string& cacheDir);
  // The response's status: false (after the refusal display) for 400 and up.
  bool checkStatus(long status, const std::string& logLine);
  // Takes the validation string once per transfer and compares with the
  // cache: false when the cache was current and its agent started.
  bool checkValidation();
  // Under the cache lock: starts a current cached install agent (true), or
  // deletes an outdated one that no other run uses.
  bool useOrClearCache();
  // Whether the cache may be used; the first time it may not, the run goes
  // on without it, and the log says why.
  bool trustCache(const std::string& cacheDir);
  // Claims the cached install agent for deleting or unpacking; when another
  // run's agent uses it, the run goes on without the cache (logged).
  bool claimCache(const std::string& cacheDir);
  void abandonTransfer();
  // Unpacks the archive at `path` into `agentDir`; true when it holds the
  // install agent entry afterwards, which group and others may not change.
  bool unpackInto(const std::string& path, const std::string& agentDir);
  // Unpacks the archive at `path` into the cache, under the cache lock, and
  // starts the install agent from there. False when the unpacking failed, or
  // when the cache cannot be used now (useCache_ is then false).
  bool unpackAndStartFromCache(const std::string& path);

  Application* application_;
  DownloadWindow* window_;
  DownloadPlatform& platform_;
  InstallAgentLaunch* launch_;

  std::string archiveURL_;  // as given, before redirects: its signature's too
  SignatureCheck signature_{platform_};
  std::shared_ptr<UrlSessionTask> theDownload_;
  std::string validationString_;
  bool checkedFirstReport_ = false;
  // False once the cache turned out not to be usable: the install agent is
  // then unpacked into privateAgentDir_, beside the downloaded archive, and
  // nothing is stored.
  bool useCache_ = true;
  std::string privateAgentDir_;
  // Set once the transfer is cancelled, from any thread: later reports are
  // ignored.
  std::atomic<bool> abandoned_{false};
  std::unique_ptr<UrlSession> urlSession_;
  // The same session for the session's own thread, set once before the
  // transfer starts: the owner above is reset by the destructor while a late
  // report may still cancel through this one.
  UrlSession* session_ = nullptr;

  // Guards closing against starting the install agent, so that a window
  // closed while the archive is unpacked starts nothing.
  std::mutex launchLock_;
  bool closed_ = false;
};

#endif  // BOOTSTRAP_DOWNLOAD_DOWNLOAD_H_
