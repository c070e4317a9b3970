// The signature check of a downloaded archive: a bundle opts in with its publisher's
// minisign key (installAgentKey.pub), and the archive URL + ".minisig" is fetched.
#ifndef BOOTSTRAP_DOWNLOAD_SIGNATURE_CHECK_H_
#define BOOTSTRAP_DOWNLOAD_SIGNATURE_CHECK_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/http/url_session.h"
#include "verify/minisign.h"

class DownloadPlatform;

class SignatureCheck : private UrlSessionDelegate {
 public:
  explicit SignatureCheck(DownloadPlatform& platform) : platform_(platform) {}
  ~SignatureCheck() override;

  // Reads the bundle's key: true without a key file or when it parses, else false
  // with the log line in `error`.
  bool loadKey(const std::string& resourcePath, std::string* error);
  bool hasKey() const { return key_.has_value(); }
  // The key's id as minisign prints it (16 hex digits); empty without a key.
  std::string keyId() const;

  // Fetches the signature, waits, and checks the archive at `path` with the key: false
  // with the log line in `error` when anything fails or was cancelled. Once, with a key.
  bool verify(const std::string& archiveURL, const std::string& path, std::string* error);
  // From any thread, without waiting: verify fails from then on.
  void cancel();

 private:
  void didWriteData(long long bytesWritten, long long totalBytesWritten,
                    long long totalBytesExpectedToWrite) override;
  void didFinishDownloadingToURL(const std::string& path) override;
  void didCompleteWithError(const UrlCompletion& completion) override;

  DownloadPlatform& platform_;
  std::optional<MinisignPublicKey> key_;

  // Shared by the waiting thread, the fetch's thread and a canceller.
  std::mutex mutex_;
  std::condition_variable finished_;
  bool cancelled_ = false;
  bool done_ = false;
  std::string body_;
  std::string error_;
  std::unique_ptr<UrlSession> session_;
  std::shared_ptr<UrlSessionTask> task_;
};

#endif  // BOOTSTRAP_DOWNLOAD_SIGNATURE_CHECK_H_
