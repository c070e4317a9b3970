#include "platform/http/url_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tests/test_server.h"
#include "tests/test_util.h"

namespace {

using Kind = UrlCompletion::Kind;
using Clock = std::chrono::steady_clock;

constexpr auto kHang = std::chrono::seconds(30);    // a transfer not ended by then hangs
constexpr auto kPrompt = std::chrono::seconds(20);  // a cancel takes effect well before
constexpr long long kReadBuffer = 2 * 1024 * 1024;

// Open descriptors; the listing's own is closed by the time it is checked.
std::set<int> openDescriptors() {
  std::set<int> descriptors;
  for (const std::string& name : listDir("/proc/self/fd")) {
    if (fcntl(std::stoi(name), F_GETFD) != -1) descriptors.insert(std::stoi(name));
  }
  return descriptors;
}

// Waits until `condition` holds; false when it did not within kHang.
bool waitUntil(const std::function<bool()>& condition) {
  for (auto deadline = Clock::now() + kHang; !condition();) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Whether the file at `path` holds exactly the generated body of its size.
bool holdsGeneratedBody(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string chunk(1 << 20, '\0');
  long long offset = 0;
  while (file.read(&chunk[0], chunk.size()) || file.gcount() > 0) {
    size_t got = static_cast<size_t>(file.gcount());
    if (chunk.compare(0, got, generatedBody(offset, got)) != 0) return false;
    offset += static_cast<long long>(got);
  }
  return true;
}

// What a delegate saw of one transfer.
struct Recording {
  std::vector<std::string> reports;    // "write", "finish", "complete", in order
  std::vector<long long> writes;       // bytesWritten of each didWriteData
  bool totalsAddUp = true;             // totalBytesWritten is their running sum
  std::set<long long> expectedTotals;  // totalBytesExpectedToWrite
  std::set<std::thread::id> threads;
  std::optional<UrlResponse> atFirstWrite;
  UrlResponse atCompletion;
  std::string finishedPath;
  long long finishedSize = -1;
  bool finishedIsGenerated = false;
  std::string finishedContent;  // when at most 1 MiB
  std::set<int> inheritable;    // descriptors opened since the start, not close-on-exec
  UrlCompletion completion;

  long long bytes() const {
    long long sum = 0;
    for (long long bytes : writes) sum += bytes;
    return sum;
  }
};

class RecordingDelegate : public UrlSessionDelegate {
 public:
  std::shared_ptr<UrlSessionTask> task;  // set before the transfer starts
  std::string cancelInside;              // "write" or "finish": the report that cancels the task

  void didWriteData(long long bytesWritten, long long totalBytesWritten,
                    long long totalBytesExpectedToWrite) override {
    std::unique_lock<std::mutex> lock(mutex_);
    record("write");
    recording_.totalsAddUp &= totalBytesWritten == recording_.bytes() + bytesWritten;
    recording_.writes.push_back(bytesWritten);
    recording_.expectedTotals.insert(totalBytesExpectedToWrite);
    if (!recording_.atFirstWrite) recording_.atFirstWrite = task->response();
    lock.unlock();
    if (cancelInside == "write") task->cancel();
  }

  void didFinishDownloadingToURL(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    record("finish");
    struct stat info;
    recording_.finishedPath = path;
    recording_.finishedSize = stat(path.c_str(), &info) == 0 ? info.st_size : -1;
    recording_.finishedIsGenerated = holdsGeneratedBody(path);
    if (recording_.finishedSize <= (1 << 20)) recording_.finishedContent = readFile(path);
    if (cancelInside == "finish") task->cancel();
  }

  void didCompleteWithError(const UrlCompletion& completion) override {
    std::lock_guard<std::mutex> lock(mutex_);
    record("complete");
    recording_.completion = completion;
    recording_.atCompletion = task->response();
    completed_.notify_all();
  }

  bool waitForCompletion(Clock::duration limit = kHang) {
    std::unique_lock<std::mutex> lock(mutex_);
    return completed_.wait_for(lock, limit, [this] {
      return !recording_.reports.empty() && recording_.reports.back() == "complete";
    });
  }

  Recording recording() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recording_;
  }

 private:
  void record(const char* report) {
    recording_.reports.push_back(report);
    recording_.threads.insert(std::this_thread::get_id());
    for (int fd : openDescriptors()) {
      if (!startDescriptors_.count(fd) && !(fcntl(fd, F_GETFD) & FD_CLOEXEC)) {
        recording_.inheritable.insert(fd);
      }
    }
  }

  mutable std::mutex mutex_;
  std::condition_variable completed_;
  Recording recording_;
  const std::set<int> startDescriptors_ = openDescriptors();
};

// Holds for every transfer: one completion, last; a finish only for a whole
// body, right before it; all on one thread of the session's own.
void expectWellFormed(const Recording& r) {
  ASSERT_FALSE(r.reports.empty());
  EXPECT_EQ("complete", r.reports.back());
  EXPECT_EQ(1, std::count(r.reports.begin(), r.reports.end(), "complete"));
  bool finished = std::count(r.reports.begin(), r.reports.end(), "finish") == 1;
  if (r.completion.kind != Kind::kCancelled) {  // a cancel may come inside the finish
    EXPECT_EQ(r.completion.kind == Kind::kSuccess, finished);
  }
  if (finished) {
    EXPECT_EQ("finish", r.reports[r.reports.size() - 2]);
  }
  EXPECT_TRUE(r.totalsAddUp);
  EXPECT_EQ(1u, r.threads.size());
  EXPECT_FALSE(r.threads.count(std::this_thread::get_id())) << "reports on the caller's thread";
  EXPECT_TRUE(r.inheritable.empty())
      << "descriptors a child would inherit: " << *r.inheritable.rbegin();
  for (long long bytes : r.writes) EXPECT_LE(bytes, kReadBuffer);
}

// A transfer of `url` on a session of its own, started at once; it cancels
// itself inside the report named by `cancelInside`, if any.
class Transfer {
 public:
  explicit Transfer(const std::string& url, const std::string& cancelInside = "")
      : session_(makeUrlSession(&delegate_)) {
    delegate_.task = session_->downloadTaskWithURL(url);
    delegate_.cancelInside = cancelInside;
    delegate_.task->resume();
  }
  RecordingDelegate& delegate() { return delegate_; }
  UrlSession& session() { return *session_; }
  UrlSessionTask& task() { return *delegate_.task; }

  // Waits for the completion, at most `limit`, then ends the session.
  Recording finish(Clock::duration limit = kHang) {
    EXPECT_TRUE(delegate_.waitForCompletion(limit));
    return abandon();
  }
  // Ends the session at once.
  Recording abandon() {
    session_.reset();
    Recording recording = delegate_.recording();
    expectWellFormed(recording);
    return recording;
  }

 private:
  RecordingDelegate delegate_;
  std::unique_ptr<UrlSession> session_;
};

class UrlSessionTest : public ::testing::Test {
 protected:
  Recording fetch(const std::string& url, const std::string& cancelInside = "") {
    Recording recording = Transfer(url, cancelInside).finish();
    EXPECT_EQ(std::vector<std::string>(), listDir(temporary.path())) << "left behind by " << url;
    return recording;
  }

  ScratchDir temporary;
  ScopedEnv environment[8] = {{"TMPDIR", temporary.path()},  {"http_proxy", std::nullopt},
                              {"https_proxy", std::nullopt}, {"HTTPS_PROXY", std::nullopt},
                              {"all_proxy", std::nullopt},   {"ALL_PROXY", std::nullopt},
                              {"no_proxy", std::nullopt},    {"NO_PROXY", std::nullopt}};
  TestServer server;
};

TEST_F(UrlSessionTest, WholeBodiesFinishWithTheFinalResponse) {
  struct Case {
    const char* name;
    std::string path;
    long status;
    std::optional<std::string> etag;
    long long length;  // announced, -1 for none
    long long size;    // of the body
  };
  const std::string final = "/g?size=10&etag=%22final%22";
  const Case cases[] = {
      {"length and ETag", "/f?size=1000&etag=%22abc%22", 200, "\"abc\"", 1000, 1000},
      {"no ETag", "/f?size=10&noetag", 200, std::nullopt, 10, 10},
      {"ETag header in odd case", "/f?size=3&noetag&header=eTaG:%22x%22", 200, "\"x\"", 3, 3},
      {"close-delimited", "/f?size=5000&nolength", 200, "\"gen-5000\"", -1, 5000},
      {"404 body", "/f?size=20&status=404", 404, "\"gen-20\"", 20, 20},
      {"empty body", "/f", 200, "\"gen-0\"", 0, 0},
      {"redirect", "/f?header=X-First:1&redirect=" + queryValue(final), 200, "\"final\"", 10, 10},
      {"redirect to no length", "/f?size=50&redirect=" + queryValue("/g?size=10&nolength"), 200,
       "\"gen-10\"", -1, 10},
      {"3xx without Location", "/f?size=7&status=301", 301, "\"gen-7\"", 7, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recording r = fetch(server.url(c.path));
    EXPECT_EQ(Kind::kSuccess, r.completion.kind) << r.completion.description;
    const UrlResponse& response = r.atFirstWrite ? *r.atFirstWrite : r.atCompletion;
    EXPECT_EQ(c.size > 0, r.atFirstWrite.has_value());
    EXPECT_EQ(c.status, response.statusCode);
    EXPECT_EQ(c.etag.has_value(), response.headers.count("etag") == 1);
    EXPECT_EQ(c.etag.value_or(""), response.header("ETag"));
    EXPECT_FALSE(response.headers.count("x-first") == 1) << "a header of the redirect";
    EXPECT_EQ(c.length, response.expectedContentLength);
    EXPECT_EQ(c.size > 0 ? std::set<long long>{c.length} : std::set<long long>{}, r.expectedTotals);
    EXPECT_EQ(c.size, r.bytes());
    EXPECT_EQ(c.size, r.finishedSize);
    EXPECT_TRUE(r.finishedIsGenerated);
    EXPECT_EQ(0u, r.finishedPath.rfind(temporary.path() + "/", 0)) << r.finishedPath;
  }
}

TEST_F(UrlSessionTest, TransportErrorsNameTheUrl) {
  struct Case {
    const char* name;
    std::string url;
    std::string failingURL;
    std::string text;    // in the description
    long long requests;  // that reach the server
    long long bytes;     // reported
  };
  const std::string refused = "http://127.0.0.1:" + std::to_string(unusedPort()) + "/f";
  const std::string ftp = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/";
  const std::string https = "https://127.0.0.1:" + std::to_string(server.port()) + "/f?size=9";
  const std::string cut = server.url("/f?size=1000&length=5000");
  const std::string loop = server.url("/f?loop");
  const Case cases[] = {
      {"connection refused", refused, refused, "onnect", 0, 0},
      {"body cut short", cut, cut, "4000 bytes remaining", 1, 1000},
      {"redirect loop", loop, loop, "redirects", 21, 0},
      {"TLS to a plain server", https, https, "SSL", 0, 0},
      {"unparsable", "http://[::1/x", "http://[::1/x", "does not parse", 0, 0},
      {"NUL byte", server.url("/f") + std::string("\0.zip", 5), server.url("/f") + "%00.zip", "NUL",
       0, 0},
      {"carriage return", server.url("/f") + "\r", server.url("/f") + "%0D", "does not parse", 0,
       0},
      {"file scheme", "file:///etc/passwd", "file:///etc/passwd", "file", 0, 0},
      {"ftp scheme", ftp, ftp, "ftp", 0, 0},
      {"redirect to file", server.url("/f?redirect=file:///etc/passwd"), "file:///etc/passwd",
       "file", 1, 0},
      {"redirect to ftp", server.url("/f?redirect=" + queryValue(ftp)), ftp, "ftp", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    long long before = server.stat("requests");
    Recording r = fetch(c.url);
    EXPECT_EQ(Kind::kTransportError, r.completion.kind);
    EXPECT_EQ(c.failingURL, r.completion.failingURL);
    EXPECT_NE(std::string::npos, r.completion.description.find(c.text)) << r.completion.description;
    EXPECT_EQ(c.requests, server.stat("requests") - before);
    EXPECT_EQ(c.bytes, r.bytes());
  }
}

TEST_F(UrlSessionTest, AsksForNoCompression) {
  Recording r = fetch(server.url("/f?echo"));
  ASSERT_EQ(0u, r.finishedContent.find("GET /f?echo HTTP/1.1\r\n"));
  std::string lower = r.finishedContent;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  EXPECT_EQ(std::string::npos, lower.find("accept-encoding")) << r.finishedContent;
}

TEST_F(UrlSessionTest, CancelInsideAReportLeavesOnlyTheCompletion) {
  const long long size = 50'000'000;
  struct Case {
    std::string report, path;
    std::vector<std::string> reports;
  } cases[] = {
      {"write", "/f?rate=2000000&size=" + std::to_string(size), {"write", "complete"}},
      {"finish", "/f?size=10", {"write", "finish", "complete"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    Recording r = fetch(server.url(c.path), c.report);
    EXPECT_EQ(c.reports, r.reports);
    EXPECT_EQ(Kind::kCancelled, r.completion.kind);
  }
  EXPECT_TRUE(waitUntil([&] { return server.stat("open") == 0; })) << "the connection stays open";
  EXPECT_LT(server.stat("bytes_sent"), size / 2);
}

TEST_F(UrlSessionTest, CancelFromAnotherThreadWhileTheServerSendsNothing) {
  using Stop = std::function<void(UrlSession&, UrlSessionTask&)>;
  const std::pair<const char*, Stop> stops[] = {
      {"cancel", [](UrlSession&, UrlSessionTask& task) { task.cancel(); }},
      {"invalidateAndCancel",
       [](UrlSession& session, UrlSessionTask&) { session.invalidateAndCancel(); }},
  };
  const std::pair<std::string, size_t> quiet[] = {{"/f?silent", 0},
                                                  {"/f?size=100&stall_after=10", 1}};
  for (const auto& [name, stop] : stops) {
    for (const auto& [path, writes] : quiet) {
      SCOPED_TRACE(std::string(name) + " " + path);
      long long before = server.stat("requests");
      Transfer transfer(server.url(path));
      ASSERT_TRUE(waitUntil([&] {
        return server.stat("requests") > before &&
               transfer.delegate().recording().writes.size() >= writes;
      }));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      size_t seen =
          transfer.delegate().recording().writes.size();  // the stalled bytes may come in pieces
      stop(transfer.session(), transfer.task());
      Recording r = transfer.finish(kPrompt);
      EXPECT_EQ(Kind::kCancelled, r.completion.kind);
      EXPECT_EQ(seen, r.writes.size()) << "nothing is reported after the cancel";
    }
  }
}

TEST_F(UrlSessionTest, DestroyingASessionMidTransferDoesNotHang) {
  for (const char* path : {"/f?silent", "/f?size=100000000&rate=1000000"}) {
    SCOPED_TRACE(path);
    Transfer transfer(server.url(path));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto start = Clock::now();
    Recording r = transfer.abandon();
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(Kind::kCancelled, r.completion.kind);
    EXPECT_EQ(std::vector<std::string>(), listDir(temporary.path()));
  }
}

TEST_F(UrlSessionTest, TasksCancelledBeforeTheyStartNeverStart) {
  RecordingDelegate delegate;
  auto session = makeUrlSession(&delegate);
  auto cancelled = session->downloadTaskWithURL(server.url("/f?size=10"));
  cancelled->cancel();
  cancelled->resume();
  session->invalidateAndCancel();
  auto late = session->downloadTaskWithURL(server.url("/f?size=10"));
  late->resume();
  session.reset();
  EXPECT_TRUE(delegate.recording().reports.empty());
  EXPECT_EQ(0, server.stat("requests"));
}

}  // namespace
