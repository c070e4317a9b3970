#include "download/download.h"

#include <cstdio>

#include "base/console_report.h"
#include "base/names.h"
#include "cache/cache_layout.h"
#include "cache/cache_lock.h"
#include "cache/cache_trust.h"
#include "cache/validation_string.h"
#include "download/download_entry.h"
#include "platform/os/file_system.h"
#include "sourcing/unpack.h"

namespace {

const char kTransportErrorText[] =
    "Error during the download process.\nSee the log in Console app for more information.";

std::string refusalText(long status) {
  return "Download failed with error code " + std::to_string(status);
}

// The status as "%3.0f" writes it: 404 gives "404", 99 gives " 99".
std::string statusAsFloat(long status) {
  char text[32];
  std::snprintf(text, sizeof text, "%3.0f", static_cast<double>(status));
  return text;
}

}  // namespace

Download::Download(const WindowControls& controls, DownloadPlatform& platform,
                   InstallAgentLaunch* launch)
    : application_(controls.application),
      window_(controls.window),
      image_(controls.image),
      progress_(controls.progress),
      downloadPercent_(controls.downloadPercent),
      cancel_(controls.cancel),
      platform_(platform),
      launch_(launch),
      installAgentLocation_(downloadTo),
      privateAgentDir_(appendPathComponent(parentDirectory(downloadTo), INSTALL_AGENT_DIR)) {
  progress_->setDoubleValue(0.0);
  progress_->setMaxValue(100.0);
  progress_->setUsesThreadedAnimation(true);
  downloadPercent_->setUsesSingleLineMode(true);
  downloadPercent_->setStringValue("Downloading");
  cancel_->setKeyEquivalent("\r");
}

Download::~Download() {
  // Joins the session's thread; by now the event loop has stopped, so a
  // report waiting for the main thread has been released.
  urlSession_.reset();
}

void Download::applicationDidFinishLaunching() {
  std::optional<MainBundle> bundle = platform_.mainBundle();
  if (!bundle) return;
  std::string splash = appendPathComponent(bundle->resourcePath, "splash.png");
  if (pathExists(splash)) {
    image_->setScalesProportionally(true);
    image_->setEditable(false);
    image_->setImage(splash, 400.0, 400.0);
    window_->layoutIfNeeded();
    window_->setViewsNeedDisplay(true);
  }
  downloadFromURL(downloadFrom);
}

void Download::downloadFromURL(const std::string& url) {
  urlSession_ = platform_.makeUrlSession(this);
  session_ = urlSession_.get();
  theDownload_ = urlSession_->downloadTaskWithURL(url);
  theDownload_->resume();
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
}

void Download::failure(const std::string& message, TextColor color) {
  cancel_->setTitle("Close");
  progress_->stopAnimation();
  progress_->setIndeterminate(false);
  progress_->setDoubleValue(progress_->maxValue());
  downloadPercent_->setStringValue(message);
  downloadPercent_->setTextColor(color);
  window_->layoutIfNeeded();
  window_->setViewsNeedDisplay(true);
}

bool Download::checkStatus(long status, const std::string& logLine) {
  // 400 is a refusal like every status above it.
  if (status < 400) return true;
  platform_.log(logLine);
  onMain([&] { failure(refusalText(status), TextColor::kRed); });
  abandonTransfer();
  return false;
}

bool Download::checkValidation() {
  checkedFirstReport_ = true;
  UrlResponse response = theDownload_->response();
  // A response without an ETag has the empty validation string, which never
  // matches and is never stored.
  validationString_ = response.header("ETag");
  fileLength_ = response.expectedContentLength;
  if (!useOrClearCache()) return true;
  abandonTransfer();
  window_->close();
  return false;
}

bool Download::useOrClearCache() {
  std::string cacheDir = getInstallAgentCacheDir();
  CacheLock lock(cacheDir);
  if (!trustCache(cacheDir)) return false;
  std::string agentDir = installAgentDirOnDisk();
  if (agentDir.empty()) return false;
  if (isCacheValid(cacheDir, validationString_)) {
    useCachedInstallAgent(cacheDir);
    fireInstallAgent();
    return true;
  }
  if (!claimCache(cacheDir)) return false;
  // The cache no longer counts as current before any of it is deleted.
  std::remove(validationStringPath(cacheDir).c_str());
  std::string notRemoved;
  removeTree(agentDir, &notRemoved);
  releaseCachedInstallAgent();
  return false;
}

bool Download::trustCache(const std::string& cacheDir) {
  if (!useCache_) return false;
  std::string distrust;
  if (secureCache(cacheDir, &distrust)) return true;
  platform_.log(distrust);
  useCache_ = false;
  return false;
}

bool Download::claimCache(const std::string& cacheDir) {
  std::string why;
  if (claimCachedInstallAgent(cacheDir, &why)) return true;
  platform_.log(cacheNotUsedLine(why));
  useCache_ = false;
  return false;
}

void Download::resetBar() {
  progress_->setDoubleValue(0.0);
  if (fileLength_ == -1) {
    progress_->setIndeterminate(true);
  } else {
    progress_->setMaxValue(static_cast<double>(fileLength_));
    progress_->setIndeterminate(false);
  }
}

void Download::didWriteData(long long bytesWritten, long long /*totalBytesWritten*/,
                            long long /*totalBytesExpectedToWrite*/) {
  if (abandoned_) return;  // a report that crossed the cancellation
  if (!checkedFirstReport_) {
    long status = theDownload_->response().statusCode;
    if (!checkStatus(status, "Download failed with http error code- " + std::to_string(status))) {
      return;
    }
    if (!checkValidation()) return;
    resetBar();
  }
  onMain([&] {
    downloadPercent_->setStringValue("Downloading");
    progress_->incrementBy(static_cast<double>(bytesWritten));
    window_->layoutIfNeeded();
    window_->setViewsNeedDisplay(true);
  });
}

void Download::showUnpacking() {
  onMain([&] {
    downloadPercent_->setStringValue("Initializing the installer");
    progress_->setIndeterminate(true);
    progress_->startAnimation();
    cancel_->setEnabled(false);
    window_->setViewsNeedDisplay(true);
    window_->layoutIfNeeded();
  });
}

bool Download::unpackInto(const std::string& path, const std::string& agentDir) {
  mkpath(agentDir, 0700);
  if (!unzipInstallAgent(path, agentDir, "unzip", report_message_main)) return false;
  // An archive without "install" at its top holds no install agent.
  if (!pathExists(getInstallAgentExecutable(agentDir))) return false;
  std::string notClosed;
  return removeWriteForOthers(agentDir, &notClosed);
}

bool Download::unpackAndStartFromCache(const std::string& path) {
  // The lock covers the start too, so that no other run replaces the install
  // agent between its unpacking and its start.
  std::string cacheDir = getInstallAgentCacheDir();
  CacheLock lock(cacheDir);
  if (!trustCache(cacheDir)) return false;
  // A bootstrap that ran at the same time may have unpacked this very
  // archive meanwhile: it is used as it is, not unpacked over.
  if (!isCacheValid(cacheDir, validationString_) || installAgentDirOnDisk().empty()) {
    if (!claimCache(cacheDir)) return false;
    std::string agentDir = cacheDir + INSTALL_AGENT_DIR;
    // Whatever happens below, a half-unpacked cache must never count as current.
    std::remove(validationStringPath(cacheDir).c_str());
    std::string notRemoved;
    removeTree(agentDir, &notRemoved);
    if (!unpackInto(path, agentDir)) {
      releaseCachedInstallAgent();
      return false;
    }
    writeValidationString(cacheDir, validationString_);
  }
  useCachedInstallAgent(cacheDir);
  fireInstallAgent();
  return true;
}

bool Download::unpackAndStart(const std::string& path) {
  if (useCache_ && unpackAndStartFromCache(path)) return true;
  if (useCache_ || !unpackInto(path, privateAgentDir_)) return false;
  fireInstallAgent();
  return true;
}

void Download::handOff() {
  onMain([&] { application_->performAfterDelay([this] { window_->close(); }, 3.0); });
  application_->stop();
}

void Download::didFinishDownloadingToURL(const std::string& path) {
  if (abandoned_) return;
  long status = theDownload_->response().statusCode;
  if (!checkStatus(status, "Download failed! Error code- " + statusAsFloat(status))) return;
  // An empty body brings no data report: its checks run here.
  if (!checkedFirstReport_ && !checkValidation()) return;
  showUnpacking();
  if (unpackAndStart(path)) {
    handOff();
  } else {
    onMain([&] { failure("Failed to unzip the installer.", TextColor::kRed); });
  }
}

void Download::didCompleteWithError(const UrlCompletion& completion) {
  // Successful completions and the window's own cancellations are no errors.
  if (completion.kind != UrlCompletion::Kind::kTransportError) return;
  std::string url = completion.failingURL.empty() ? "(null)" : completion.failingURL;
  platform_.log("Download failed! Error - " + completion.description + " " + url);
  onMain([&] { failure(kTransportErrorText, TextColor::kRed); });
}

void Download::fireInstallAgent() {
  std::lock_guard<std::mutex> guard(launchLock_);
  if (closed_ || launch_->started) return;
  installAgentLocation_ =
      useCache_ ? installAgentDirOnDisk() : appendPathComponent(privateAgentDir_, "");
  std::optional<MainBundle> bundle = platform_.mainBundle();
  std::vector<std::string> arguments = {
      appendPathComponent(installAgentLocation_, "install"), "-installbundle",
      appendPathComponent(bundle ? bundle->resourcePath : std::string(), "bundle.zip")};
  std::vector<std::string> own = platform_.processArguments();
  if (own.size() >= 2) arguments.insert(arguments.end(), own.begin() + 1, own.end());
  launch_->started = true;
  launch_->pid = platform_.spawn("/bin/sh", arguments);
}
