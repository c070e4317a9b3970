// The URL session on libcurl. Each task drives its one transfer with the multi
// interface on a thread of its own (the session's delegate queue), so that a
// cancel from any thread wakes the transfer at once through
// curl_multi_wakeup instead of waiting for data or a time-out.
#include "platform/http/url_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "base/paths.h"
#include "platform/http/curl_library.h"
#include "platform/os/file_system.h"

namespace {

using Clock = std::chrono::steady_clock;

// libcurl's read size, and the most one report carries. Larger reads mean
// fewer reports, each of which waits for the main thread: 2 MiB moved a
// 512 MiB transfer about a third faster on loopback than 512 KiB did, for
// 1.5 MiB more resident memory.
constexpr long kReadBufferBytes = 2 * 1024 * 1024;

// A transfer without any byte for this long has timed out. Timed here, not
// with libcurl's low-speed limit, which takes a trickle of a byte a second
// for less than one (its rate is a whole number).
constexpr std::chrono::seconds kIdleLimit(60);
constexpr long kConnectSeconds = 60;
constexpr long kMaxRedirects = 20;
constexpr int kPollMilliseconds = 1000;
constexpr char kProtocols[] = "http,https";
constexpr char kUserAgent[] = "bootstrapper";

std::string systemErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

// The body of a transfer in a file of its own under the user's temporary
// directory (else /tmp); the file is removed with the object.
class BodyFile {
 public:
  BodyFile() = default;
  BodyFile(const BodyFile&) = delete;
  BodyFile& operator=(const BodyFile&) = delete;
  ~BodyFile() { remove(); }

  // Creates the empty file; false when it cannot be made.
  bool create(std::string* error);
  // Appends `size` bytes; false when they cannot be written.
  bool append(const char* data, size_t size, std::string* error);
  // Closes and removes the file, if there is one.
  void remove();
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

bool BodyFile::create(std::string* error) {
  std::string directory = userTemporaryDirectory();
  if (directory.empty()) directory = "/tmp";
  std::string pattern = appendPathComponent(directory, "bootstrap-download-XXXXXX");
  int fd = mkostemp(&pattern[0], O_CLOEXEC);
  if (fd < 0) {
    *error = "Cannot create a temporary file in " + directory + ": " + systemErrorText(errno);
    return false;
  }
  fd_ = fd;
  path_ = pattern;
  return true;
}

bool BodyFile::append(const char* data, size_t size, std::string* error) {
  while (size > 0) {
    ssize_t written = write(fd_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      *error = "Cannot write the download to " + path_ + ": " + systemErrorText(errno);
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

void BodyFile::remove() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(path_.c_str());
  fd_ = -1;
}

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

// The status of a status line ("HTTP/1.1 200 OK"), or 0 for any other line.
long statusOfLine(const std::string& line) {
  if (line.compare(0, 5, "HTTP/") != 0) return 0;
  std::string::size_type space = line.find(' ');
  if (space == std::string::npos) return 0;
  return std::strtol(line.c_str() + space + 1, nullptr, 10);
}

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::string::size_type start = text.find_first_not_of(blanks);
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

// Splits a header line "Name: value" into its trimmed name and value; false
// for a line that is none.
bool splitHeaderLine(const std::string& line, std::string* name, std::string* value) {
  std::string::size_type colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  *name = trimmed(line.substr(0, colon));
  *value = trimmed(line.substr(colon + 1));
  return !name->empty();
}

// `url` with its control bytes percent-encoded, so that a message naming it
// stays on one line (a URL file written with CRLF ends its URL in "\r").
std::string printableUrl(const std::string& url) {
  std::string printable;
  for (unsigned char byte : url) {
    if (byte >= 0x20 && byte != 0x7f) {
      printable += static_cast<char>(byte);
      continue;
    }
    char escaped[4];
    snprintf(escaped, sizeof escaped, "%%%02X", byte);
    printable += escaped;
  }
  return printable;
}

UrlCompletion completion(UrlCompletion::Kind kind, std::string description,
                         const std::string& url) {
  UrlCompletion result;
  result.kind = kind;
  result.description = std::move(description);
  result.failingURL = printableUrl(url);
  return result;
}

std::set<int> openDescriptors() {
  std::set<int> descriptors;
  if (DIR* directory = opendir("/proc/self/fd")) {
    while (struct dirent* entry = readdir(directory)) {
      int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd != dirfd(directory)) descriptors.insert(fd);
    }
    closedir(directory);
  }
  return descriptors;
}

// A multi handle whose descriptors a child process does not inherit:
// libcurl (7.88) opens its wake-up socket pair without close-on-exec.
CURLM* newMultiHandle(const CurlLibrary& curl) {
  std::set<int> before = openDescriptors();
  CURLM* multi = curl.multi_init();
  for (int fd : openDescriptors()) {
    if (!before.count(fd)) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
  }
  return multi;
}

// The connection's socket, close-on-exec from the start.
curl_socket_t openSocket(void*, curlsocktype, struct curl_sockaddr* address) {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// The result of the transfer that `multi` has finished.
CURLcode resultOf(const CurlLibrary& curl, CURLM* multi) {
  int left;
  while (CURLMsg* message = curl.multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE) return message->data.result;
  }
  return CURLE_FAILED_INIT;
}

// One download: resume() starts its thread, which reports to the delegate and
// ends with the completion.
class CurlTask : public UrlSessionTask {
 public:
  CurlTask(std::string url, UrlSessionDelegate* delegate)
      : url_(std::move(url)), delegate_(delegate) {}
  ~CurlTask() override;
  CurlTask(const CurlTask&) = delete;
  CurlTask& operator=(const CurlTask&) = delete;

  void resume() override;
  void cancel() override;
  UrlResponse response() const override;
  // Waits for the task's thread to end; never called on that thread.
  void join();

 private:
  void run();
  UrlCompletion transfer();
  UrlCompletion transferWith(const CurlLibrary& curl);
  void configure(CURL* easy);
  CURLcode perform(CURL* easy);
  CURLcode drive(CURLM* multi);
  // Sets the error text of a failure found here rather than by libcurl.
  CURLcode fail(CURLcode code, const std::string& text);
  void setMulti(CURLM* multi);
  static size_t onHeader(char* data, size_t size, size_t count, void* task);
  static size_t onBody(char* data, size_t size, size_t count, void* task);
  void receiveHeaderLine(const std::string& line);
  size_t receiveBody(const char* data, size_t size);
  void reportReceived();
  std::string failureText(CURLcode result) const;

  const std::string url_;
  UrlSessionDelegate* const delegate_;
  std::atomic<bool> cancelled_{false};

  mutable std::mutex mutex_;
  UrlResponse response_;    // guarded by mutex_
  CURLM* multi_ = nullptr;  // guarded by mutex_, for cancel() to wake
  bool started_ = false;    // guarded by mutex_
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

CurlTask::~CurlTask() {
  cancel();
  join();
}

void CurlTask::resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_ || cancelled_) return;
  started_ = true;
  thread_ = std::thread(&CurlTask::run, this);
}

void CurlTask::cancel() {
  cancelled_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (multi_) curl_->multi_wakeup(multi_);
}

UrlResponse CurlTask::response() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return response_;
}

void CurlTask::join() {
  if (thread_.joinable()) thread_.join();
}

void CurlTask::run() {
  UrlCompletion result = cancelled_ ? UrlCompletion() : transfer();
  if (result.kind == UrlCompletion::Kind::kSuccess && !cancelled_) {
    delegate_->didFinishDownloadingToURL(body_.path());
  }
  body_.remove();
  if (cancelled_) result = completion(UrlCompletion::Kind::kCancelled, "cancelled", url_);
  delegate_->didCompleteWithError(result);
}

UrlCompletion CurlTask::transfer() {
  std::string problem;
  const CurlLibrary* curl = curlLibrary(&problem);
  if (curl == nullptr) return completion(UrlCompletion::Kind::kTransportError, problem, url_);
  curl_ = curl;
  return transferWith(*curl);
}

UrlCompletion CurlTask::transferWith(const CurlLibrary& curl) {
  std::string problem;
  if (!urlParses(curl, url_, &problem) || !body_.create(&problem)) {
    return completion(UrlCompletion::Kind::kTransportError, problem, url_);
  }
  std::unique_ptr<CURL, void (*)(CURL*)> easy(curl.easy_init(), curl.easy_cleanup);
  CURLcode result = easy ? perform(easy.get()) : CURLE_OUT_OF_MEMORY;
  if (result == CURLE_OK && writeError_.empty()) return UrlCompletion();
  char* effectiveUrl = nullptr;
  if (easy) curl.easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &effectiveUrl);
  return completion(UrlCompletion::Kind::kTransportError, failureText(result),
                    effectiveUrl ? effectiveUrl : url_);
}

void CurlTask::configure(CURL* easy) {
  curl_->easy_setopt(easy, CURLOPT_URL, url_.c_str());
  curl_->easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_->easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kProtocols);
  curl_->easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
  curl_->easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_->easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_->easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_->easy_setopt(easy, CURLOPT_BUFFERSIZE, kReadBufferBytes);
  curl_->easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  curl_->easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText_);
  curl_->easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
  curl_->easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_->easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
  curl_->easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_->easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openSocket);
  const char* certificates = std::getenv("SSL_CERT_FILE");
  if (certificates && *certificates) curl_->easy_setopt(easy, CURLOPT_CAINFO, certificates);
}

CURLcode CurlTask::perform(CURL* easy) {
  configure(easy);
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
    if (code == CURLM_OK && running == 0) return resultOf(*curl_, multi);
    if (Clock::now() - lastArrival_ >= kIdleLimit) {
      return fail(CURLE_OPERATION_TIMEDOUT, "Timed out: nothing received for " +
                                                std::to_string(kIdleLimit.count()) + " seconds");
    }
    if (code == CURLM_OK) code = curl_->multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr);
    if (code != CURLM_OK) return fail(CURLE_FAILED_INIT, curl_->multi_strerror(code));
  }
  return CURLE_ABORTED_BY_CALLBACK;
}

CURLcode CurlTask::fail(CURLcode code, const std::string& text) {
  snprintf(errorText_, sizeof errorText_, "%s", text.c_str());
  return code;
}

void CurlTask::setMulti(CURLM* multi) {
  std::lock_guard<std::mutex> lock(mutex_);
  multi_ = multi;
}

size_t CurlTask::onHeader(char* data, size_t size, size_t count, void* task) {
  static_cast<CurlTask*>(task)->receiveHeaderLine(std::string(data, size * count));
  return size * count;
}

size_t CurlTask::onBody(char* data, size_t size, size_t count, void* task) {
  return static_cast<CurlTask*>(task)->receiveBody(data, size * count);
}

// Every status line starts a new response (a redirect, a proxy's CONNECT);
// the blank line ending the headers fixes its announced length.
void CurlTask::receiveHeaderLine(const std::string& line) {
  lastArrival_ = Clock::now();
  std::string name, value;
  std::lock_guard<std::mutex> lock(mutex_);
  if (long status = statusOfLine(line)) {
    response_ = UrlResponse();
    response_.statusCode = status;
  } else if (trimmed(line).empty()) {
    curl_off_t length = -1;
    curl_->easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    response_.expectedContentLength = length;
  } else if (splitHeaderLine(line, &name, &value)) {
    response_.setHeader(name, value);
  }
}

// Stores one piece of the body (libcurl hands over at most 16 KiB at a time);
// 0 stops the transfer.
size_t CurlTask::receiveBody(const char* data, size_t size) {
  lastArrival_ = Clock::now();
  if (pending_ + static_cast<long long>(size) > kReadBufferBytes) reportReceived();
  if (cancelled_ || size == 0) return 0;
  if (!body_.append(data, size, &writeError_)) return 0;
  pending_ += static_cast<long long>(size);
  // The first bytes are reported at once: the checks they start may end the
  // transfer (a current cache), and every byte read before that is wasted and
  // lets the server fill the socket buffers, which grow as fast as we read.
  if (received_ == 0) reportReceived();
  return size;
}

// Reports what arrived since the last report, at most one read buffer's
// worth, so that reports are no more frequent than the reads.
void CurlTask::reportReceived() {
  if (pending_ == 0 || cancelled_) return;
  long long bytes = pending_;
  pending_ = 0;
  received_ += bytes;
  delegate_->didWriteData(bytes, received_, response().expectedContentLength);
}

std::string CurlTask::failureText(CURLcode result) const {
  if (!writeError_.empty()) return writeError_;
  if (errorText_[0] != '\0') return errorText_;
  return curl_->easy_strerror(result);
}

class CurlSession : public UrlSession {
 public:
  explicit CurlSession(UrlSessionDelegate* delegate) : delegate_(delegate) {}
  ~CurlSession() override;
  std::shared_ptr<UrlSessionTask> downloadTaskWithURL(const std::string& url) override;
  void invalidateAndCancel() override;

 private:
  UrlSessionDelegate* const delegate_;
  std::mutex mutex_;
  bool invalidated_ = false;                      // guarded by mutex_
  std::vector<std::shared_ptr<CurlTask>> tasks_;  // guarded by mutex_
};

CurlSession::~CurlSession() {
  invalidateAndCancel();
  for (const std::shared_ptr<CurlTask>& task : tasks_) task->join();
}

std::shared_ptr<UrlSessionTask> CurlSession::downloadTaskWithURL(const std::string& url) {
  auto task = std::make_shared<CurlTask>(url, delegate_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (invalidated_) task->cancel();
  tasks_.push_back(task);
  return task;
}

void CurlSession::invalidateAndCancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  invalidated_ = true;
  for (const std::shared_ptr<CurlTask>& task : tasks_) task->cancel();
}

}  // namespace

std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate* delegate) {
  return std::make_unique<CurlSession>(delegate);
}
