// The URL session: an HTTP(S) GET of a file on a thread of the session's own, reported
// to a delegate on that thread. Toolkit-free; the implementation uses libcurl.
#ifndef BOOTSTRAP_PLATFORM_HTTP_URL_SESSION_H_
#define BOOTSTRAP_PLATFORM_HTTP_URL_SESSION_H_

#include <map>
#include <memory>
#include <string>

// The last response of a transfer, after redirects (and a proxy's CONNECT).
struct UrlResponse {
  long statusCode = 0;
  // Header names in lower case; a repeated header keeps its last value.
  std::map<std::string, std::string> headers;
  long long expectedContentLength = -1;  // as announced, or -1

  // The header's value, empty when it is missing; names compare without case.
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

// A transfer's reports, one at a time: didWriteData any number of times (the response
// known before the first), didFinishDownloadingToURL when the body arrived whole, then
// always didCompleteWithError.
class UrlSessionDelegate {
 public:
  virtual ~UrlSessionDelegate() = default;
  // Bytes since the last report (at most 2 MiB, reports no more often than reads, the
  // first with the body's first bytes), the sum so far, and the announced length or -1.
  virtual void didWriteData(long long bytesWritten, long long totalBytesWritten,
                            long long totalBytesExpectedToWrite) = 0;
  // The whole body is in the file at `path`, removed when this returns.
  virtual void didFinishDownloadingToURL(const std::string& path) = 0;
  virtual void didCompleteWithError(const UrlCompletion& completion) = 0;
};

// One download; its methods may be called from any thread, also from inside a report,
// and none waits for the session's thread.
class UrlSessionTask {
 public:
  virtual ~UrlSessionTask() = default;
  // Starts the transfer, once; a task cancelled before never starts nor reports.
  virtual void resume() = 0;
  // Stops the transfer within one chunk, or 250 ms of a silent server: only the
  // kCancelled completion follows. Harmless when it has ended or never started.
  virtual void cancel() = 0;
  // The response as far as it is known; status 0 before any.
  virtual UrlResponse response() const = 0;
};

class UrlSession {
 public:
  // Joins the session's thread. Never destroy a session from its own thread
  // or while its delegate waits for the destroying thread.
  virtual ~UrlSession() = default;
  // A task fetching `url` into a temporary file; one per session, none started after
  // invalidateAndCancel.
  virtual std::shared_ptr<UrlSessionTask> downloadTaskWithURL(const std::string& url) = 0;
  // Cancels every task and retires the session; no new task starts.
  virtual void invalidateAndCancel() = 0;
};

// A session with the platform's defaults: redirects followed, 60 s without a
// byte is a time-out, proxies from the environment, TLS peers verified, no
// compression asked for. `delegate` must outlive the session.
std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate* delegate);

#endif  // BOOTSTRAP_PLATFORM_HTTP_URL_SESSION_H_
