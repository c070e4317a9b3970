#include "platform/http/url_session.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/os/file_system.h"
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

// Waits until `condition` holds; false when it did not within `limit`.
bool waitUntil(const std::function<bool()>& condition, Clock::duration limit = kHang) {
  for (auto end = Clock::now() + limit; !condition();) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A transfer of `url` on a session of its own, started at once (after a
// cancel when `cancelAt` is "start"), that records its reports and cancels
// itself inside the report named by `cancelAt`. Read it once the session is
// gone.
struct Transfer : UrlSessionDelegate {
  explicit Transfer(const std::string& url, const std::string& cancelAt = "")
      : cancelAt(cancelAt), task(session->downloadTaskWithURL(url)) {
    if (cancelAt == "start") task->cancel();
    task->resume();
  }
  void didWriteData(long long bytes, long long total, long long expected) override {
    totalsAddUp &=
        total == (received += bytes) && expected == task->response().expectedContentLength;
    record("write");
  }
  void didFinishDownloadingToURL(const std::string& path) override {
    finishedPath = path;
    finishedContent = readFile(path);
    record("finish");
  }
  void didCompleteWithError(const UrlCompletion& result) override {
    completion = result;
    record("complete");
    completed = true;
  }
  void record(const std::string& report) {
    reports.push_back(report);
    threads.insert(std::this_thread::get_id());
    if (reports.size() == 1) response = task->response();
    for (int fd : inheritable()) {
      if (!atStart.count(fd)) leaked.insert(fd);
    }
    ++reported;
    if (report == cancelAt) task->cancel();
  }
  // Waits at most `limit` for the completion, ends the session, and checks
  // what holds for every transfer: data, then a finish only for a whole body,
  // then one completion, all on one thread of the session's own; nothing
  // left in the temporary folder.
  const Transfer& end(Clock::duration limit) {
    EXPECT_TRUE(waitUntil([this] { return completed.load(); }, limit));
    session.reset();
    Reports expected(std::count(reports.begin(), reports.end(), "write"), "write");
    if (completion.kind == Kind::kSuccess || cancelAt == "finish") expected.push_back("finish");
    expected.push_back("complete");
    EXPECT_EQ(expected, reports);
    EXPECT_TRUE(totalsAddUp);
    EXPECT_EQ(1u, threads.size());
    EXPECT_FALSE(threads.count(std::this_thread::get_id())) << "reports on the caller's thread";
    EXPECT_EQ(std::set<int>(), leaked) << "descriptors a child would inherit";
    EXPECT_EQ(Reports(), directoryEntries(userTemporaryDirectory())) << "left behind";
    return *this;
  }

  const std::string cancelAt;
  Reports reports;  // "write", "finish", "complete", in order
  std::atomic<size_t> reported{0};
  std::atomic<bool> completed{false};
  long long received = 0;
  bool totalsAddUp = true;  // to the running sum, and to the announced length
  std::set<std::thread::id> threads;
  const std::set<int> atStart = inheritable();
  std::set<int> leaked;  // opened since the start, not close-on-exec
  UrlResponse response;  // at the first report
  std::string finishedPath, finishedContent;
  UrlCompletion completion;
  std::unique_ptr<UrlSession> session = makeUrlSession(this);
  std::shared_ptr<UrlSessionTask> task;
};

class UrlSessionTest : public ::testing::Test {
 protected:
  const Transfer& fetch(const std::string& path, const std::string& cancelInside = "") {
    return transfers.emplace_back(server.url(path), cancelInside).end(kHang);
  }

  TempDir temporary{""};
  ScopedEnv tmpdir{"TMPDIR", temporary.getDir().c_str()}, noProxy{"no_proxy", "*"};
  TestServer server;
  std::list<Transfer> transfers;
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
    const Transfer& r = fetch(c.path);
    EXPECT_EQ(Kind::kSuccess, r.completion.kind) << r.completion.description;
    EXPECT_EQ(c.status, r.response.statusCode);
    EXPECT_EQ(c.etag, r.response.header("ETag"));
    EXPECT_EQ(0u, r.response.headers.count("x-first")) << "a header of the redirect";
    EXPECT_EQ(c.length, r.response.expectedContentLength);
    std::string body;  // the server's generated body: byte i is i % 251
    for (long long i = 0; i < c.size; ++i) body += static_cast<char>(i % 251);
    EXPECT_EQ(body, r.finishedContent);
    EXPECT_EQ(0u, r.finishedPath.rfind(temporary.getDir() + "/", 0)) << r.finishedPath;
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
  const Transfer& r = fetch("/f?size=10", "finish");
  EXPECT_EQ((Reports{"write", "finish", "complete"}), r.reports);
  EXPECT_EQ(Kind::kCancelled, r.completion.kind);
  EXPECT_TRUE(waitUntil([&] { return server.stat("open") == 0; })) << "the connection stays open";
  EXPECT_LT(server.stat("bytes_sent"), size / 2);
}

// From the test's thread, while the server sends nothing: at once, and
// nothing but the completion is reported after it.
TEST_F(UrlSessionTest, CancelFromAnotherThreadWhileTheServerSendsNothing) {
  const std::pair<const char*, std::function<void(Transfer&)>> stops[] = {
      {"cancel", [](Transfer& t) { t.task->cancel(); }},
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
      size_t seen = transfer.reported;
      stop(transfer);
      const Transfer& r = transfer.end(kPrompt);
      EXPECT_EQ(Kind::kCancelled, r.completion.kind);
      EXPECT_EQ(seen + 1, r.reports.size()) << "reported after the cancel";
    }
  }
}

TEST_F(UrlSessionTest, TasksCancelledBeforeTheyStartNeverStart) {
  Transfer cancelled(server.url("/f?size=10"), "start");
  cancelled.session->invalidateAndCancel();
  cancelled.session->downloadTaskWithURL(server.url("/f?size=10"))->resume();
  cancelled.session.reset();
  EXPECT_EQ(Reports(), cancelled.reports);
  EXPECT_EQ(0, server.stat("requests"));
}

}  // namespace
