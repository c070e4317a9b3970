// The URL session: one HTTP(S) GET of a file, run on a thread of the
// session's own, reported to a delegate on that thread, one report at a time.
// This header is toolkit-free; the implementation uses libcurl.
#ifndef BOOTSTRAP_PLATFORM_HTTP_URL_SESSION_H_
#define BOOTSTRAP_PLATFORM_HTTP_URL_SESSION_H_

#include <map>
#include <memory>
#include <string>

// The final response of a transfer: after redirects (and a proxy's CONNECT)
// the status and headers are the last response's.
struct UrlResponse {
  long statusCode = 0;
  // Header names in lower case; a repeated header keeps its last value.
  std::map<std::string, std::string> headers;
  // The announced length of the body in bytes, or -1 when none was announced.
  long long expectedContentLength = -1;

  // The header's value, empty when it is missing; names compare without
  // regard to case.
  std::string header(const std::string& name) const;
};

// How a transfer ended, as its last report says.
struct UrlCompletion {
  enum class Kind {
    kSuccess,         // the body arrived whole (whatever the HTTP status)
    kCancelled,       // cancel() or invalidateAndCancel() stopped it
    kTransportError,  // connection, name lookup, TLS, time-out, a body cut
                      // short, a URL that does not parse or is not http(s)
  };
  Kind kind = Kind::kSuccess;
  std::string description;  // readable text of a transport error
  std::string failingURL;   // the URL that failed
};

// Receives a transfer's reports on the session's thread, one at a time and in
// order: didWriteData any number of times (the response is known before the
// first), then didFinishDownloadingToURL when the body arrived whole, then
// didCompleteWithError, always last.
class UrlSessionDelegate {
 public:
  virtual ~UrlSessionDelegate() = default;
  // `bytesWritten` bytes arrived since the last report; reports come no more
  // often than the connection's reads, and carry at most 2 MiB each; the first
  // comes with the first bytes of the body.
  // `totalBytesWritten` is the sum so far, `totalBytesExpectedToWrite` the
  // announced length, or -1.
  virtual void didWriteData(long long bytesWritten, long long totalBytesWritten,
                            long long totalBytesExpectedToWrite) = 0;
  // The whole body is in the file at `path`, which is removed when this
  // returns.
  virtual void didFinishDownloadingToURL(const std::string& path) = 0;
  virtual void didCompleteWithError(const UrlCompletion& completion) = 0;
};

// One download. Its methods may be called from any thread, also from inside a
// report; none of them waits for the session's thread.
class UrlSessionTask {
 public:
  virtual ~UrlSessionTask() = default;
  // Starts the transfer on the session's thread; once only. A task cancelled
  // before it started never starts and reports nothing.
  virtual void resume() = 0;
  // Stops the transfer within one chunk (within 250 ms even while the server
  // sends nothing); the only report that follows is the completion with
  // kCancelled (also when the cancel came during didFinishDownloadingToURL).
  // Harmless when the transfer has ended or never started.
  virtual void cancel() = 0;
  // The response as far as it is known; status 0 before any.
  virtual UrlResponse response() const = 0;
};

class UrlSession {
 public:
  // Joins the session's thread. Never destroy a session from its own thread
  // or while its delegate waits for the destroying thread.
  virtual ~UrlSession() = default;
  // A task that fetches `url` into a temporary file; one task per session.
  // After invalidateAndCancel the task never starts.
  virtual std::shared_ptr<UrlSessionTask> downloadTaskWithURL(const std::string& url) = 0;
  // Cancels every task and retires the session; no new task starts.
  virtual void invalidateAndCancel() = 0;
};

// A session with the platform's defaults: redirects followed, 60 s without a
// byte is a time-out, proxies from the environment, TLS peers verified, no
// compression asked for. `delegate` must outlive the session.
std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate* delegate);

#endif  // BOOTSTRAP_PLATFORM_HTTP_URL_SESSION_H_
