#include "download/download.h"

#include <cstdio>

#include "base/console_report.h"
#include "base/names.h"
#include "base/paths.h"
#include "cache/cache_layout.h"
#include "cache/cache_lock.h"
#include "cache/cache_trust.h"
#include "cache/validation_string.h"
#include "download/download_entry.h"
#include "platform/os/file_system.h"
#include "platform/os/process.h"
#include "sourcing/unpack.h"

namespace {

// Where the agent goes when the cache cannot be used: beside the downloaded archive.
std::string privateAgentDir() {
  return appendPathComponent(parentDirectory(downloadTo), INSTALL_AGENT_DIR);
}

// Whether the cache holds the archive of `validationString` and, with a key, was
// verified with it. A few bytes read, no signature fetched: a hit stays as fast.
bool cacheIsCurrent(const std::string& cacheDir, const std::string& validationString,
                    const SignatureCheck& signature) {
  return isCacheValid(cacheDir, validationString) &&
         (!signature.hasKey() || isVerifiedWith(cacheDir, signature.keyId()));
}

// Forgets what the cache held, then deletes its install agent.
void clearCache(const std::string& cacheDir) {
  // The cache no longer counts as current before any of it is deleted.
  std::remove(validationStringPath(cacheDir).c_str());
  removeVerifiedKey(cacheDir);
  // Whatever could not be removed is unpacked over, or judged again next run.
  std::string notRemoved;
  removeTree(cacheDir + INSTALL_AGENT_DIR, &notRemoved);
}

// Unpacks the archive at `path` into `agentDir`: true when it holds the install agent
// entry afterwards, which group and others may not change.
bool unpackInto(const std::string& path, const std::string& agentDir, DownloadPlatform& platform) {
  mkpath(agentDir, 0700);
  bool unzipped = unzipInstallAgent(path, agentDir, "unzip", report_message_main);
  // An archive without "install" at its top holds no install agent.
  if (unzipped && pathExists(getInstallAgentExecutable(agentDir))) {
    std::string notClosed;
    return removeWriteForOthers(agentDir, &notClosed);
  }
  platform.log("The archive from " + downloadFrom +
               " holds no install agent: " + whyNoInstallAgent(path, agentDir, unzipped));
  std::string notRemoved;  // nothing of a failed unpacking stays, as far as it goes
  removeTree(agentDir, &notRemoved);
  return false;
}

}  // namespace

Download::Download(const WindowControls& controls, DownloadPlatform& platform,
                   InstallAgentLaunch* launch)
    : application_(controls.application),
      window_(controls.window),
      platform_(platform),
      launch_(launch) {}

void Download::applicationDidFinishLaunching() {
  std::optional<MainBundle> bundle = platform_.mainBundle();
  if (!bundle) return;
  std::string splash = appendPathComponent(bundle->resourcePath, "splash.png");
  if (pathExists(splash)) window_->showSplash(splash);
  std::string logLine;
  // Before any request: a bundle whose key is unusable verifies nothing.
  if (!signature_.loadKey(bundle->resourcePath, &logLine)) {
    unverified(logLine);
    return;
  }
  urlSession_ = platform_.makeUrlSession(this);
  session_ = urlSession_.get();
  theDownload_ = urlSession_->downloadTaskWithURL(downloadFrom);
  theDownload_->resume();
}

void Download::unverified(const std::string& logLine) {
  platform_.log(logLine);
  window_->showFailure(
      "The downloaded installer could not be verified.\nSee the log in Console app for more "
      "information.",
      TextColor::kRed);
}

void Download::windowWillClose() {
  {
    std::lock_guard<std::mutex> guard(launchLock_);
    closed_ = true;
  }
  abandonTransfer();
  application_->stop();
}

void Download::abandonTransfer() {
  abandoned_ = true;
  if (theDownload_) theDownload_->cancel();
  if (session_ != nullptr) session_->invalidateAndCancel();
  signature_.cancel();
}

bool Download::checkStatus(long status, const std::string& logLine) {
  if (status < 400) return true;
  platform_.log(logLine);
  platform_.log("Download refused with HTTP status " + std::to_string(status) + ": " +
                downloadFrom);
  window_->showFailure("Download failed with error code " + std::to_string(status),
                       TextColor::kRed);
  abandonTransfer();
  return false;
}

bool Download::checkValidation() {
  checkedFirstReport_ = true;
  // Without an ETag the validation string is empty: it never matches and is never stored.
  validationString_ = theDownload_->response().header("ETag");
  if (validationString_.empty()) {
    platform_.log("No ETag from " + downloadFrom +
                  ": the install agent cannot be cached and is downloaded on every run");
  }
  if (!useOrClearCache()) return true;
  abandonTransfer();
  window_->close();
  return false;
}

bool Download::useOrClearCache() {
  std::string cacheDir = getInstallAgentCacheDir();
  CacheLock lock(cacheDir);
  if (!trustCache(cacheDir)) return false;
  if (installAgentDirOnDisk().empty()) return false;
  if (cacheIsCurrent(cacheDir, validationString_, signature_)) {
    useCachedInstallAgent(cacheDir);
    fireInstallAgent();
    return true;
  }
  if (!claimCache(cacheDir)) return false;
  clearCache(cacheDir);
  releaseCachedInstallAgent();
  return false;
}

bool Download::trustCache(const std::string& cacheDir) {
  std::string why;
  return useCache_ && (secureCache(cacheDir, &why) || dropCache(why));
}

bool Download::claimCache(const std::string& cacheDir) {
  std::string why;
  return claimCachedInstallAgent(cacheDir, &why) || dropCache(cacheNotUsedLine(why));
}

bool Download::dropCache(const std::string& logLine) {
  platform_.log(logLine);
  useCache_ = false;
  return false;
}

void Download::didWriteData(long long /*bytesWritten*/, long long totalBytesWritten,
                            long long totalBytesExpectedToWrite) {
  if (abandoned_) return;  // a report that crossed the cancellation
  if (!checkedFirstReport_) {
    long status = theDownload_->response().statusCode;
    if (!checkStatus(status, "Download failed with http error code- " + std::to_string(status))) {
      return;
    }
    if (!checkValidation()) return;
    window_->showProgress(0, totalBytesExpectedToWrite);  // the bar starts anew at the first data
  }
  window_->showProgress(totalBytesWritten, totalBytesExpectedToWrite);
}

bool Download::unpackAndStartFromCache(const std::string& path) {
  // The lock covers the start too: no other run replaces the agent before it starts.
  std::string cacheDir = getInstallAgentCacheDir();
  CacheLock lock(cacheDir);
  if (!trustCache(cacheDir)) return false;
  // A bootstrap running beside this one may have unpacked this very archive meanwhile.
  if (!cacheIsCurrent(cacheDir, validationString_, signature_) || installAgentDirOnDisk().empty()) {
    if (!claimCache(cacheDir)) return false;
    std::string agentDir = cacheDir + INSTALL_AGENT_DIR;
    clearCache(cacheDir);
    bool unpacked = [&] {
      // An unzip that outlives this run keeps the cache locked until it has ended.
      InheritedDescriptor keepLocked(lock.descriptor());
      return unpackInto(path, agentDir, platform_);
    }();
    if (!unpacked) {
      releaseCachedInstallAgent();
      return false;
    }
    // The key first: the validation string is what makes the cache current.
    if (signature_.hasKey()) writeVerifiedKey(cacheDir, signature_.keyId());
    writeValidationString(cacheDir, validationString_);
  }
  useCachedInstallAgent(cacheDir);
  fireInstallAgent();
  return true;
}

void Download::didFinishDownloadingToURL(const std::string& path) {
  if (abandoned_) return;
  long status = theDownload_->response().statusCode;
  char code[32];  // as "%3.0f" writes it: 404 gives "404", 99 gives " 99"
  std::snprintf(code, sizeof code, "%3.0f", static_cast<double>(status));
  if (!checkStatus(status, std::string("Download failed! Error code- ") + code)) return;
  // An empty body brings no data report: its checks run here.
  if (!checkedFirstReport_ && !checkValidation()) return;
  if (!verifyArchive(path)) return;
  window_->showUnpacking();
  // From the cache, or when it cannot be used, from the run's private temporary folder.
  bool started = useCache_ && unpackAndStartFromCache(path);
  if (!started && !useCache_ && unpackInto(path, privateAgentDir(), platform_)) {
    fireInstallAgent();
    started = true;
  }
  if (!started) {
    window_->showFailure("Failed to unzip the installer.", TextColor::kRed);
    return;
  }
  window_->closeAfter(3.0);
  application_->stop();
}

bool Download::verifyArchive(const std::string& path) {
  std::string logLine;
  if (!signature_.hasKey() || signature_.verify(downloadFrom, path, &logLine)) return true;
  // A window closed during the signature's fetch shows nothing more.
  if (!abandoned_) unverified(logLine);
  return false;
}

void Download::didCompleteWithError(const UrlCompletion& completion) {
  // Successful completions and the window's own cancellations are no errors.
  if (completion.kind != UrlCompletion::Kind::kTransportError) return;
  std::string url = completion.failingURL.empty() ? "(null)" : completion.failingURL;
  platform_.log("Download failed! Error - " + completion.description + " " + url);
  window_->showFailure(
      "Error during the download process.\nSee the log in Console app for more information.",
      TextColor::kRed);
}

void Download::fireInstallAgent() {
  std::lock_guard<std::mutex> guard(launchLock_);
  if (closed_ || launch_->started) return;
  std::string location =
      useCache_ ? installAgentDirOnDisk() : appendPathComponent(privateAgentDir(), "");
  std::optional<MainBundle> bundle = platform_.mainBundle();
  std::vector<std::string> arguments = {
      appendPathComponent(location, "install"), "-installbundle",
      appendPathComponent(bundle ? bundle->resourcePath : std::string(), "bundle.zip")};
  std::vector<std::string> own = platform_.processArguments();
  if (own.size() >= 2) arguments.insert(arguments.end(), own.begin() + 1, own.end());
  launch_->started = true;
  launch_->pid = platform_.spawn("/bin/sh", arguments);
}
