// The URL session on libcurl: each task drives its transfer with the multi interface on
// a thread of its own, so that a cancel from any thread wakes it (curl_multi_wakeup).
#include "platform/http/url_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/paths.h"
#include "platform/http/curl_library.h"
#include "platform/os/file_system.h"

namespace {

using Clock = std::chrono::steady_clock;
using Kind = UrlCompletion::Kind;

// libcurl's read size, and the most one report carries: each report waits for the main
// thread, and 2 MiB moved 512 MiB a third faster than 512 KiB, for 1.5 MiB more memory.
constexpr long kReadBufferBytes = 2 * 1024 * 1024;

// Idle time-out; not libcurl's low-speed limit, whose whole-number rate takes a trickle
// of a byte a second for less than one.
constexpr std::chrono::seconds kIdleLimit(60);
constexpr int kPollMilliseconds = 1000;
constexpr char kProtocols[] = "http,https";

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string systemErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::string::size_type start = text.find_first_not_of(blanks);
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

// The status of a status line ("HTTP/1.1 200 OK"), or 0 for any other line.
long statusOfLine(const std::string& line) {
  std::string::size_type space = line.find(' ');
  if (!startsWith(line, "HTTP/") || space == std::string::npos) return 0;
  return std::strtol(line.c_str() + space + 1, nullptr, 10);
}

// The body in a file of its own in the user's temporary directory (else /tmp), removed
// with the object.
struct BodyFile {
  int fd = -1;
  std::string path;

  ~BodyFile() { remove(); }
  bool create(std::string* error) {
    std::string directory = userTemporaryDirectory();
    if (directory.empty()) directory = "/tmp";
    path = appendPathComponent(directory, "bootstrap-download-XXXXXX");
    fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd >= 0) return true;
    *error = "Cannot create a temporary file in " + directory + ": " + systemErrorText(errno);
    return false;
  }
  bool append(const char* data, size_t size, std::string* error) {
    while (size > 0) {
      ssize_t written = write(fd, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        *error = "Cannot write the download to " + path + ": " + systemErrorText(errno);
        return false;
      }
      data += written;
      size -= static_cast<size_t>(written);
    }
    return true;
  }
  void remove() {
    if (fd < 0) return;
    close(fd);
    unlink(path.c_str());
    fd = -1;
  }
};

// False when `url` cannot be fetched, as found before any connection.
bool urlParses(const CurlLibrary& curl, const std::string& url, std::string* error) {
  if (url.empty()) {
    *error = "The URL is empty";
  } else if (url.find('\0') != std::string::npos) {
    // libcurl takes C strings: a NUL byte would silently cut the URL short.
    *error = "The URL does not parse: it holds a NUL byte";
  } else {
    CURLU* parsed = curl.url();
    CURLUcode code =
        parsed ? curl.url_set(parsed, CURLUPART_URL, url.c_str(), 0) : CURLUE_OUT_OF_MEMORY;
    curl.url_cleanup(parsed);
    if (code == CURLUE_OK) return true;
    *error = std::string("The URL does not parse: ") + curl.url_strerror(code);
  }
  return false;
}

// A completion naming `url` with its control bytes percent-encoded: a message naming it
// stays on one line (a URL file written with CRLF ends its URL in "\r").
UrlCompletion completion(Kind kind, std::string description, const std::string& url) {
  UrlCompletion result{kind, std::move(description), ""};
  for (unsigned char byte : url) {
    char escaped[4] = {static_cast<char>(byte), '\0'};
    if (byte < 0x20 || byte == 0x7f) snprintf(escaped, sizeof escaped, "%%%02X", byte);
    result.failingURL += escaped;
  }
  return result;
}

// Each open descriptor with what it stands for ("socket:[123]", a path); not
// the listing's own, which is closed again at once. Read from /proc, not with
// fstat, which would touch descriptors other threads may be closing.
std::set<std::pair<int, std::string>> openDescriptors() {
  std::set<std::pair<int, std::string>> descriptors;
  if (DIR* directory = opendir("/proc/self/fd")) {
    while (struct dirent* entry = readdir(directory)) {
      int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] == '.' || fd == dirfd(directory)) continue;
      char target[PATH_MAX];
      ssize_t size = readlinkat(dirfd(directory), entry->d_name, target, sizeof target);
      if (size >= 0) descriptors.emplace(fd, std::string(target, size));
    }
    closedir(directory);
  }
  return descriptors;
}

// A multi handle whose descriptors a child process does not inherit:
// libcurl (7.88) opens its wake-up socket pair without close-on-exec. Another
// thread may close a descriptor meanwhile and libcurl take its number, so a
// descriptor is new by the file it stands for, not by its number. Marking a
// descriptor another thread opened meanwhile does no harm: the program hands
// a child only its standard streams.
CURLM* newMultiHandle(const CurlLibrary& curl) {
  std::set<std::pair<int, std::string>> before = openDescriptors();
  CURLM* multi = curl.multi_init();
  for (const auto& [fd, target] : openDescriptors()) {
    if (!before.count({fd, target})) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
  }
  return multi;
}

// The connection's socket, close-on-exec from the start.
curl_socket_t openSocket(void*, curlsocktype, struct curl_sockaddr* address) {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// One download: resume() starts its thread, which reports and ends with the completion.
class CurlTask : public UrlSessionTask {
 public:
  CurlTask(std::string url, UrlSessionDelegate* delegate)
      : url_(std::move(url)), delegate_(delegate) {}
  ~CurlTask() override {
    cancel();
    join();
  }
  CurlTask(const CurlTask&) = delete;
  CurlTask& operator=(const CurlTask&) = delete;

  void resume() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || cancelled_) return;
    thread_ = std::thread(&CurlTask::run, this);
  }
  void cancel() override {
    cancelled_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    if (multi_) curl_->multi_wakeup(multi_);
  }
  UrlResponse response() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return response_;
  }
  // Waits for the task's thread to end; never called on that thread.
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run();
  UrlCompletion transfer();
  CURLcode perform(CURL* easy);
  CURLcode drive(CURLM* multi);
  void setMulti(CURLM* multi) {
    std::lock_guard<std::mutex> lock(mutex_);
    multi_ = multi;
  }
  // Sets the error text of a failure found here rather than by libcurl.
  CURLcode fail(CURLcode code, const std::string& text) {
    snprintf(errorText_, sizeof errorText_, "%s", text.c_str());
    return code;
  }
  static size_t onHeader(char* data, size_t size, size_t count, void* task) {
    static_cast<CurlTask*>(task)->receiveHeaderLine(std::string(data, size * count));
    return size * count;
  }
  static size_t onBody(char* data, size_t size, size_t count, void* task) {
    return static_cast<CurlTask*>(task)->receiveBody(data, size * count);
  }
  void receiveHeaderLine(const std::string& line);
  size_t receiveBody(const char* data, size_t size);
  void reportReceived();

  const std::string url_;
  UrlSessionDelegate* const delegate_;
  std::atomic<bool> cancelled_{false};

  mutable std::mutex mutex_;
  UrlResponse response_;    // guarded by mutex_
  CURLM* multi_ = nullptr;  // guarded by mutex_, for cancel() to wake
  std::thread thread_;      // set once under mutex_, before cancel() can win

  // Used on the task's thread only.
  const CurlLibrary* curl_ = nullptr;  // set before multi_, when the transfer starts
  CURL* easy_ = nullptr;
  BodyFile body_;
  long long received_ = 0;         // reported so far
  long long pending_ = 0;          // received, not yet reported
  Clock::time_point lastArrival_;  // of the last byte of the headers or the body
  std::string writeError_;
  char errorText_[CURL_ERROR_SIZE] = {};
};

void CurlTask::run() {
  UrlCompletion result = cancelled_ ? UrlCompletion() : transfer();
  if (result.kind == Kind::kSuccess && !cancelled_)
    delegate_->didFinishDownloadingToURL(body_.path);
  body_.remove();
  if (cancelled_) result = completion(Kind::kCancelled, "cancelled", url_);
  delegate_->didCompleteWithError(result);
}

UrlCompletion CurlTask::transfer() {
  std::string problem;
  curl_ = curlLibrary(&problem);
  if (curl_ == nullptr || !urlParses(*curl_, url_, &problem) || !body_.create(&problem)) {
    return completion(Kind::kTransportError, problem, url_);
  }
  std::unique_ptr<CURL, void (*)(CURL*)> easy(curl_->easy_init(), curl_->easy_cleanup);
  CURLcode result = easy ? perform(easy.get()) : CURLE_OUT_OF_MEMORY;
  if (result == CURLE_OK && writeError_.empty()) return UrlCompletion();
  char* effectiveUrl = nullptr;
  if (easy) curl_->easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &effectiveUrl);
  std::string text = !writeError_.empty() ? writeError_
                     : errorText_[0]      ? errorText_
                                          : curl_->easy_strerror(result);
  return completion(Kind::kTransportError, text, effectiveUrl ? effectiveUrl : url_);
}

CURLcode CurlTask::perform(CURL* easy) {
  auto set = [&](CURLoption option, auto value) { curl_->easy_setopt(easy, option, value); };
  set(CURLOPT_URL, url_.c_str());
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_PROTOCOLS_STR, kProtocols);
  set(CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, 20L);
  set(CURLOPT_CONNECTTIMEOUT, 60L);
  set(CURLOPT_BUFFERSIZE, kReadBufferBytes);
  set(CURLOPT_USERAGENT, "bootstrapper");
  set(CURLOPT_ERRORBUFFER, errorText_);
  set(CURLOPT_HEADERFUNCTION, onHeader);
  set(CURLOPT_HEADERDATA, this);
  set(CURLOPT_WRITEFUNCTION, onBody);
  set(CURLOPT_WRITEDATA, this);
  set(CURLOPT_OPENSOCKETFUNCTION, openSocket);
  const char* certificates = std::getenv("SSL_CERT_FILE");
  if (certificates && *certificates) set(CURLOPT_CAINFO, certificates);

  CURLM* multi = newMultiHandle(*curl_);
  if (!multi) return CURLE_OUT_OF_MEMORY;
  easy_ = easy;
  setMulti(multi);
  curl_->multi_add_handle(multi, easy);
  CURLcode result = drive(multi);
  curl_->multi_remove_handle(multi, easy);
  setMulti(nullptr);
  curl_->multi_cleanup(multi);
  easy_ = nullptr;
  return result;
}

// Runs the transfer until it ends or is cancelled.
CURLcode CurlTask::drive(CURLM* multi) {
  lastArrival_ = Clock::now();
  while (!cancelled_) {
    int running = 0;
    CURLMcode code = curl_->multi_perform(multi, &running);
    reportReceived();
    if (code == CURLM_OK && running == 0) {
      int left;
      while (CURLMsg* message = curl_->multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE) return message->data.result;
      }
      return CURLE_FAILED_INIT;
    }
    if (Clock::now() - lastArrival_ >= kIdleLimit) {
      return fail(CURLE_OPERATION_TIMEDOUT, "Timed out: nothing received for " +
                                                std::to_string(kIdleLimit.count()) + " seconds");
    }
    if (code == CURLM_OK) code = curl_->multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr);
    if (code != CURLM_OK) return fail(CURLE_FAILED_INIT, curl_->multi_strerror(code));
  }
  return CURLE_ABORTED_BY_CALLBACK;
}

// Every status line starts a new response (a redirect, a proxy's CONNECT); the blank
// line ending the headers fixes its announced length.
void CurlTask::receiveHeaderLine(const std::string& line) {
  lastArrival_ = Clock::now();
  std::string::size_type colon = line.find(':');
  std::string name = colon == std::string::npos ? "" : trimmed(line.substr(0, colon));
  std::lock_guard<std::mutex> lock(mutex_);
  if (long status = statusOfLine(line)) {
    response_ = UrlResponse();
    response_.statusCode = status;
  } else if (trimmed(line).empty()) {
    curl_off_t length = -1;
    curl_->easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    response_.expectedContentLength = length;
  } else if (!name.empty()) {
    response_.headers[lowerCase(name)] = trimmed(line.substr(colon + 1));
  }
}

// Stores one piece of the body (at most 16 KiB); 0 stops the transfer.
size_t CurlTask::receiveBody(const char* data, size_t size) {
  lastArrival_ = Clock::now();
  if (pending_ + static_cast<long long>(size) > kReadBufferBytes) reportReceived();
  if (cancelled_ || size == 0) return 0;
  if (!body_.append(data, size, &writeError_)) return 0;
  pending_ += static_cast<long long>(size);
  // The first bytes at once: their checks may end the transfer (a current cache), and
  // reading on meanwhile wastes bytes and grows the socket buffers.
  if (received_ == 0) reportReceived();
  return size;
}

// Reports what arrived since the last report: at most a read buffer's worth.
void CurlTask::reportReceived() {
  if (pending_ == 0 || cancelled_) return;
  long long bytes = pending_;
  pending_ = 0;
  received_ += bytes;
  delegate_->didWriteData(bytes, received_, response().expectedContentLength);
}

class CurlSession : public UrlSession {
 public:
  explicit CurlSession(UrlSessionDelegate* delegate) : delegate_(delegate) {}
  ~CurlSession() override {
    invalidateAndCancel();
    for (const std::shared_ptr<CurlTask>& task : tasks_) task->join();
  }
  std::shared_ptr<UrlSessionTask> downloadTaskWithURL(const std::string& url) override {
    auto task = std::make_shared<CurlTask>(url, delegate_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (invalidated_) task->cancel();
    tasks_.push_back(task);
    return task;
  }
  void invalidateAndCancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    invalidated_ = true;
    for (const std::shared_ptr<CurlTask>& task : tasks_) task->cancel();
  }

 private:
  UrlSessionDelegate* const delegate_;
  std::mutex mutex_;
  bool invalidated_ = false;                      // guarded by mutex_
  std::vector<std::shared_ptr<CurlTask>> tasks_;  // guarded by mutex_
};

}  // namespace

std::string UrlResponse::header(const std::string& name) const {
  auto found = headers.find(lowerCase(name));
  return found == headers.end() ? std::string() : found->second;
}

std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate* delegate) {
  return std::make_unique<CurlSession>(delegate);
}
