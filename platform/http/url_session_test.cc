#include "platform/http/url_session.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/os/file_system.h"
#include "tests/test_server.h"
#include "tests/test_util.h"

namespace {

using Kind = UrlCompletion::Kind;
using Clock = std::chrono::steady_clock;
using Reports = std::vector<std::string>;

constexpr auto kHang = std::chrono::seconds(30);    // a transfer not ended by then hangs
constexpr auto kPrompt = std::chrono::seconds(20);  // a cancel takes effect well before

// Open descriptors that a child process would inherit.
std::set<int> inheritable() {
  std::set<int> descriptors;
  for (const std::string& name : directoryEntries("/proc/self/fd")) {
    int flags = fcntl(std::stoi(name), F_GETFD);
    if (flags != -1 && !(flags & FD_CLOEXEC)) descriptors.insert(std::stoi(name));
  }
  return descriptors;
}

// Waits until `condition` holds; false when it did not within kHang.
bool waitUntil(const std::function<bool()>& condition) {
  for (auto end = Clock::now() + kHang; !condition();) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// What a delegate saw of one transfer.
struct Recording {
  Reports reports;  // "write", "finish", "complete", in order
  std::vector<long long> writes;
  long long bytes = 0;
  bool totalsAddUp = true;             // totalBytesWritten is the running sum
  std::set<long long> expectedTotals;  // totalBytesExpectedToWrite
  std::set<std::thread::id> threads;
  std::set<int> inheritable;  // opened since the start, not close-on-exec
  std::optional<UrlResponse> atFirstWrite;
  UrlResponse atCompletion;
  std::string finishedPath, finishedContent;
  UrlCompletion completion;
};

// Records the reports of `task`; it cancels the task inside the report
// named by `cancelInside`, if any.
class Recorder : public UrlSessionDelegate {
 public:
  std::shared_ptr<UrlSessionTask> task;
  std::string cancelInside;

  void didWriteData(long long bytes, long long total, long long expected) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      record("write");
      r_.totalsAddUp &= total == (r_.bytes += bytes);
      r_.writes.push_back(bytes);
      r_.expectedTotals.insert(expected);
      if (!r_.atFirstWrite) r_.atFirstWrite = task->response();
    }
    if (cancelInside == "write") task->cancel();
  }
  void didFinishDownloadingToURL(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    record("finish");
    r_.finishedPath = path;
    r_.finishedContent = readFile(path);
    if (cancelInside == "finish") task->cancel();
  }
  void didCompleteWithError(const UrlCompletion& completion) override {
    std::lock_guard<std::mutex> lock(mutex_);
    record("complete");
    r_.completion = completion;
    r_.atCompletion = task->response();
    completed_.notify_all();
  }
  bool waitForCompletion(Clock::duration limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return completed_.wait_for(
        lock, limit, [this] { return !r_.reports.empty() && r_.reports.back() == "complete"; });
  }
  Recording recording() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return r_;
  }

 private:
  void record(const char* report) {
    r_.reports.push_back(report);
    r_.threads.insert(std::this_thread::get_id());
    for (int fd : inheritable()) {
      if (!atStart_.count(fd)) r_.inheritable.insert(fd);
    }
  }

  mutable std::mutex mutex_;
  std::condition_variable completed_;
  Recording r_;
  const std::set<int> atStart_ = inheritable();
};

// A transfer of `url` on a session of its own, started at once.
struct Transfer {
  Recorder recorder;
  std::unique_ptr<UrlSession> session = makeUrlSession(&recorder);

  explicit Transfer(const std::string& url, const std::string& cancelInside = "") {
    recorder.task = session->downloadTaskWithURL(url);
    recorder.cancelInside = cancelInside;
    recorder.task->resume();
  }
  // Waits at most `limit` for the completion, ends the session, and checks
  // what holds for every transfer: one completion, last; a finish only for
  // a whole body, right before it; all on one thread of the session's own;
  // no report larger than a read buffer.
  Recording end(Clock::duration limit) {
    EXPECT_TRUE(recorder.waitForCompletion(limit));
    session.reset();
    Recording r = recorder.recording();
    EXPECT_EQ(1, std::count(r.reports.begin(), r.reports.end(), "complete"));
    EXPECT_EQ("complete", r.reports.empty() ? "" : r.reports.back());
    bool finished = std::count(r.reports.begin(), r.reports.end(), "finish") == 1;
    if (r.completion.kind != Kind::kCancelled) {  // a cancel may come inside the finish
      EXPECT_EQ(r.completion.kind == Kind::kSuccess, finished);
    }
    EXPECT_TRUE(!finished || r.reports[r.reports.size() - 2] == "finish");
    EXPECT_TRUE(r.totalsAddUp);
    EXPECT_EQ(1u, r.threads.size());
    EXPECT_FALSE(r.threads.count(std::this_thread::get_id())) << "reports on the caller's thread";
    EXPECT_EQ(std::set<int>(), r.inheritable) << "descriptors a child would inherit";
    for (long long bytes : r.writes) EXPECT_LE(bytes, 2 * 1024 * 1024);
    return r;
  }
};

class UrlSessionTest : public ::testing::Test {
 protected:
  Recording fetch(const std::string& path, const std::string& cancelInside = "") {
    Recording recording = Transfer(server.url(path), cancelInside).end(kHang);
    EXPECT_EQ(0u, directoryEntries(temporary.path()).size()) << "left behind by " << path;
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
  const struct {
    std::string path;
    long status;
    std::string etag;  // "" for none
    long long length;  // announced, -1 for none
    long long size;    // of the body
  } cases[] = {
      {"/f?size=1000&etag=%22abc%22", 200, "\"abc\"", 1000, 1000},
      {"/f?size=3&noetag&header=eTaG:%22x%22", 200, "\"x\"", 3, 3},
      {"/f?size=5000&nolength", 200, "\"gen-5000\"", -1, 5000},
      {"/f?size=20&status=404", 404, "\"gen-20\"", 20, 20},
      {"/f", 200, "\"gen-0\"", 0, 0},
      {"/f?header=X-First:1&redirect=%2Fg%3Fsize%3D10%26etag%3D%2522final%2522", 200, "\"final\"",
       10, 10},
      {"/f?size=7&status=301", 301, "\"gen-7\"", 7, 7},  // a 3xx without Location
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Recording r = fetch(c.path);
    EXPECT_EQ(Kind::kSuccess, r.completion.kind) << r.completion.description;
    EXPECT_EQ(c.size > 0, r.atFirstWrite.has_value());
    const UrlResponse& response = r.atFirstWrite ? *r.atFirstWrite : r.atCompletion;
    EXPECT_EQ(c.status, response.statusCode);
    EXPECT_EQ(c.etag, response.header("ETag"));
    EXPECT_EQ(c.etag.empty() ? 0u : 1u, response.headers.count("etag"));
    EXPECT_EQ(0u, response.headers.count("x-first")) << "a header of the redirect";
    EXPECT_EQ(c.length, response.expectedContentLength);
    EXPECT_EQ(c.size > 0 ? std::set<long long>{c.length} : std::set<long long>{}, r.expectedTotals);
    std::string body(c.size, '\0');  // the server's generated body: byte i is i % 251
    for (long long i = 0; i < c.size; ++i) body[i] = static_cast<char>(i % 251);
    EXPECT_EQ(body, r.finishedContent);
    EXPECT_EQ(0u, r.finishedPath.rfind(temporary.path() + "/", 0)) << r.finishedPath;
  }
  std::string echoed = fetch("/f?echo").finishedContent;
  ASSERT_EQ(0u, echoed.find("GET /f?echo HTTP/1.1\r\n"));
  std::transform(echoed.begin(), echoed.end(), echoed.begin(), ::tolower);
  EXPECT_EQ(std::string::npos, echoed.find("accept-encoding")) << "compression asked for";
}

TEST_F(UrlSessionTest, CancelInsideAReportLeavesOnlyTheCompletion) {
  const long long size = 50'000'000;
  EXPECT_EQ((Reports{"write", "complete"}),
            fetch("/f?rate=2000000&size=" + std::to_string(size), "write").reports);
  Recording r = fetch("/f?size=10", "finish");
  EXPECT_EQ((Reports{"write", "finish", "complete"}), r.reports);
  EXPECT_EQ(Kind::kCancelled, r.completion.kind);
  EXPECT_TRUE(waitUntil([&] { return server.stat("open") == 0; })) << "the connection stays open";
  EXPECT_LT(server.stat("bytes_sent"), size / 2);
}

// From the test's thread, while the server sends nothing: at once, and
// nothing but the completion is reported after it.
TEST_F(UrlSessionTest, CancelFromAnotherThreadWhileTheServerSendsNothing) {
  const std::pair<const char*, std::function<void(Transfer&)>> stops[] = {
      {"cancel", [](Transfer& t) { t.recorder.task->cancel(); }},
      {"invalidateAndCancel", [](Transfer& t) { t.session->invalidateAndCancel(); }},
      {"destroy the session", [](Transfer& t) { t.session.reset(); }},
  };
  for (const auto& [name, stop] : stops) {
    for (const char* path : {"/f?silent", "/f?size=100&stall_after=10"}) {
      SCOPED_TRACE(std::string(name) + " " + path);
      long long before = server.stat("requests");
      Transfer transfer(server.url(path));
      ASSERT_TRUE(waitUntil([&] { return server.stat("requests") > before; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      size_t seen = transfer.recorder.recording().writes.size();
      auto start = Clock::now();
      stop(transfer);
      Recording r = transfer.end(kPrompt);
      EXPECT_LT(Clock::now() - start, kPrompt);
      EXPECT_EQ(Kind::kCancelled, r.completion.kind);
      EXPECT_EQ(seen, r.writes.size()) << "reported after the cancel";
      EXPECT_EQ(0u, directoryEntries(temporary.path()).size());
    }
  }
}

TEST_F(UrlSessionTest, TasksCancelledBeforeTheyStartNeverStart) {
  Recorder recorder;
  auto session = makeUrlSession(&recorder);
  auto cancelled = session->downloadTaskWithURL(server.url("/f?size=10"));
  cancelled->cancel();
  cancelled->resume();
  session->invalidateAndCancel();
  session->downloadTaskWithURL(server.url("/f?size=10"))->resume();
  session.reset();
  EXPECT_TRUE(recorder.recording().reports.empty());
  EXPECT_EQ(0, server.stat("requests"));
}

}  // namespace
