// The signature check of a downloaded install agent archive. A bundle opts in
// by carrying its publisher's minisign public key (installAgentKey.pub); the
// detached signature is then fetched from the archive's URL + ".minisig" in a
// session of its own, with the archive's session settings, and the archive is
// checked against both before anything of it is unpacked.
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

  // Reads the key from the bundle's resources: true when there is no key
  // file (nothing will be checked) or when it parses; false with the log line
  // in `error` otherwise. Before the transfer starts.
  bool loadKey(const std::string& resourcePath, std::string* error);
  bool hasKey() const { return key_.has_value(); }
  // The key's id as minisign prints it (16 hex digits); empty without a key.
  std::string keyId() const;

  // Fetches archiveURL + ".minisig" and checks the archive at `path` with the
  // key; waits for the fetch. False with the log line in `error` when
  // anything fails or the check was cancelled. Called once, with a key.
  bool verify(const std::string& archiveURL, const std::string& path, std::string* error);
  // Stops a fetch under way, from any thread, without waiting; verify fails
  // from then on.
  void cancel();

 private:
  // Whether the fetch has failed, or fails now: the response refuses the
  // signature, or `received` bytes are more than a signature holds. The
  // fetch then ends.
  bool rejected(long long received);

  void didWriteData(long long bytesWritten, long long totalBytesWritten,
                    long long totalBytesExpectedToWrite) override;
  void didFinishDownloadingToURL(const std::string& path) override;
  void didCompleteWithError(const UrlCompletion& completion) override;

  DownloadPlatform& platform_;
  std::optional<MinisignPublicKey> key_;

  // The fetch's state, shared between the waiting thread, the fetch's
  // session thread and a canceller.
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
