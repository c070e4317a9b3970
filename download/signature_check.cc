#include "download/signature_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/paths.h"
#include "download/download.h"
#include "platform/os/file_system.h"

namespace {

// Key and signature files are a few hundred bytes: a larger body is none, and not read on.
constexpr long long kMaxFileBytes = 64 * 1024;

// The file's bytes, or false with the reason; `what` names it in the error.
bool readSmallFile(const std::string& path, const std::string& what, std::string* text,
                   std::string* error) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rbe"), &std::fclose);
  std::string bytes(kMaxFileBytes + 1, '\0');
  size_t size = file ? std::fread(&bytes[0], 1, bytes.size(), file.get()) : 0;
  if (!file || std::ferror(file.get())) {
    *error = what + " cannot be read: " + std::strerror(errno);
    return false;
  }
  if (size > static_cast<size_t>(kMaxFileBytes)) {
    *error = what + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  *text = bytes.substr(0, size);
  return true;
}

// The log line of a failed check: `why`, then the URL it concerns, if any.
std::string verificationFailedLine(const std::string& why, const std::string& url) {
  return "Verification failed! Error - " + why + (url.empty() ? "" : " " + url);
}

// Whether the fetch of `task` has failed (`error` set), or fails and ends now: a
// refusal, or `received` bytes more than a signature holds.
bool rejected(UrlSessionTask& task, long long received, std::string* error) {
  long status = task.response().statusCode;
  if (!error->empty()) return true;
  if (status >= 400) {
    *error = "The signature was refused with HTTP status " + std::to_string(status);
  } else if (received > kMaxFileBytes) {
    *error = "The signature is larger than " + std::to_string(kMaxFileBytes) + " bytes";
  } else {
    return false;
  }
  task.cancel();
  return true;
}

}  // namespace

SignatureCheck::~SignatureCheck() {
  cancel();
  session_.reset();  // joins a fetch's thread, if one is left
}

bool SignatureCheck::loadKey(const std::string& resourcePath, std::string* error) {
  std::string path = appendPathComponent(resourcePath, "installAgentKey.pub");
  // Without the file the bundle has not opted in: not even a read more.
  if (!pathExists(path)) return true;
  std::string what = "The bundle's public key " + path, text, why;
  MinisignPublicKey key;
  if (readSmallFile(path, what, &text, &why) && !parseMinisignPublicKey(text, &key, &why)) {
    why = what + " does not parse: " + why;
  }
  if (!why.empty()) {
    *error = verificationFailedLine(why, "");
    return false;
  }
  key_ = key;
  return true;
}

std::string SignatureCheck::keyId() const {
  return key_ ? minisignKeyIdText(key_->keyId) : std::string();
}

bool SignatureCheck::verify(const std::string& archiveURL, const std::string& path,
                            std::string* error) {
  std::string signatureURL = archiveURL + ".minisig", body, why = "Cancelled";
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cancelled_) {
    session_ = platform_.makeUrlSession(this);
    task_ = session_->downloadTaskWithURL(signatureURL);
    task_->resume();
    finished_.wait(lock, [this] { return done_; });
    body = body_;
    why = error_;
  }
  std::unique_ptr<UrlSession> session = std::move(session_);
  lock.unlock();
  session.reset();  // joins the fetch's thread, which has reported its last
  MinisignSignature signature;
  bool parsed = why.empty() && parseMinisignSignature(body, &signature, &why);
  if (parsed && verifyMinisignFile(*key_, signature, path, &why)) return true;
  *error = verificationFailedLine(why, parsed ? archiveURL : signatureURL);
  return false;
}

void SignatureCheck::cancel() {
  std::lock_guard<std::mutex> guard(mutex_);
  cancelled_ = true;
  if (task_) task_->cancel();
  if (session_) session_->invalidateAndCancel();
}

void SignatureCheck::didWriteData(long long /*bytesWritten*/, long long totalBytesWritten,
                                  long long /*totalBytesExpectedToWrite*/) {
  std::lock_guard<std::mutex> guard(mutex_);
  rejected(*task_, totalBytesWritten, &error_);
}

void SignatureCheck::didFinishDownloadingToURL(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  // An empty body brings no data report: its status is judged here.
  if (!rejected(*task_, 0, &error_)) readSmallFile(path, "The signature", &body_, &error_);
}

void SignatureCheck::didCompleteWithError(const UrlCompletion& completion) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (error_.empty() && completion.kind != UrlCompletion::Kind::kSuccess) {
    error_ = completion.kind == UrlCompletion::Kind::kCancelled
                 ? "Cancelled"
                 : "The signature could not be fetched: " + completion.description;
  }
  done_ = true;
  finished_.notify_all();
}
