#include "platform/http/url_session.h"

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <list>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/os/file_system.h"
#include "tests/test_util.h"

namespace {

using Kind = UrlCompletion::Kind;
using Reports = std::vector<std::string>;

constexpr auto kHang = std::chrono::seconds(20);  // a transfer or cancel not ended by then hangs

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
  for (auto end = std::chrono::steady_clock::now() + kHang; !condition();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A transfer on a session of its own, started at once (after a cancel when
// `cancelAt` is "start"), that records its reports (read them once the session
// is gone), checks that they come on one thread of the session's own with no
// descriptor a child would inherit, and cancels inside the report `cancelAt`.
struct Transfer : UrlSessionDelegate {
  explicit Transfer(const std::string& url, const std::string& cancelAt = "")
      : cancelAt(cancelAt), task(session->downloadTaskWithURL(url)) {
    if (cancelAt == "start") task->cancel();
    task->resume();
  }
  void didWriteData(long long bytes, long long total, long long expected) override {
    EXPECT_EQ(received += bytes, total);
    EXPECT_EQ(task->response().expectedContentLength, expected);
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
    if (reports.size() == 1) response = task->response();
    if (reports.size() == 1) thread = std::this_thread::get_id();
    EXPECT_EQ(thread, std::this_thread::get_id());
    EXPECT_NE(caller, thread) << "reports on the caller's thread";
    for (int fd : inheritable()) EXPECT_TRUE(atStart.count(fd)) << fd << " a child would inherit";
    EXPECT_TRUE(!stopped || report == "complete") << report << " after the cancel";
    if (report == cancelAt) task->cancel();
  }
  // Waits for the completion, ends the session, and checks the order of the
  // reports: data, then a finish only for a whole body, then one completion.
  const Transfer& end() {
    EXPECT_TRUE(waitUntil([this] { return completed.load(); }));
    session.reset();
    Reports expected(std::count(reports.begin(), reports.end(), "write"), "write");
    if (completion.kind == Kind::kSuccess || cancelAt == "finish") expected.push_back("finish");
    expected.push_back("complete");
    EXPECT_EQ(expected, reports);
    return *this;
  }

  const std::string cancelAt;
  Reports reports;                   // "write", "finish", "complete", in order
  std::atomic<bool> stopped{false};  // set before a cancel from another thread
  std::atomic<bool> completed{false};
  long long received = 0;
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id thread;  // of the first report
  const std::set<int> atStart = inheritable();
  UrlResponse response;  // at the first report
  std::string finishedPath, finishedContent;
  UrlCompletion completion;
  std::unique_ptr<UrlSession> session = makeUrlSession(this);
  std::shared_ptr<UrlSessionTask> task;
};

// Each test with a temporary folder and a fault server (tests/fault_server.py on
// 127.0.0.1) of its own, in a process of its own (ctest), which keeps its environment.
class UrlSessionTest : public ::testing::Test {
 protected:
  UrlSessionTest() {
    setenv("TMPDIR", temporary.getDir().c_str(), 1);
    setenv("no_proxy", "*", 1);
    char line[64];  // the shell's pid, which the server takes over, then "PORT <n>"
    if (server && std::fgets(line, sizeof line, server)) pid = std::atoi(line);
    if (server && std::fgets(line, sizeof line, server)) port = std::atoi(line + 5);
  }
  ~UrlSessionTest() override {
    EXPECT_EQ(Reports(), directoryEntries(temporary.getDir())) << "left behind";
    if (pid > 0) kill(pid, SIGTERM);
    if (server) pclose(server);  // waits for the server's end
  }
  void SetUp() override { ASSERT_GT(port, 0) << "the test server did not start"; }
  std::string url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(port) + pathAndQuery;
  }
  // One of the server's counters: "requests", "bytes_sent" (body), "open".
  long long stat(const std::string& name) const {
    std::string command =
        "python3 -c 'import json, sys, urllib.request as r\n"
        "print(json.load(r.build_opener(r.ProxyHandler({})).open(sys.argv[1]))[sys.argv[2]])' " +
        url("/_stats") + " " + name;
    FILE* output = popen(command.c_str(), "re");
    char line[64] = "";
    if (!output || !std::fgets(line, sizeof line, output)) ADD_FAILURE() << "no " << name;
    if (output) pclose(output);
    return std::atoll(line);
  }
  const Transfer& fetch(const std::string& path, const std::string& cancelAt = "") {
    return transfers.emplace_back(url(path), cancelAt).end();
  }

  TempDir temporary{""};
  FILE* server = popen("echo $$; exec python3 '" BOOTSTRAP_SOURCE_DIR
                       "/tests/fault_server.py' --max-seconds 300",
                       "re");
  int pid = -1, port = 0;
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
      {"/f?header=X-First:1&redirect=%2Fg%3Fsize%3D10%26etag%3D%2522f%2522", 200, "\"f\"", 10, 10},
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
  EXPECT_TRUE(waitUntil([&] { return stat("open") == 0; })) << "the connection stays open";
  EXPECT_LT(stat("bytes_sent"), size / 2);
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
      long long before = stat("requests");
      Transfer transfer(url(path));
      ASSERT_TRUE(waitUntil([&] { return stat("requests") > before; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      transfer.stopped = true;
      stop(transfer);
      const Transfer& r = transfer.end();
      EXPECT_EQ(Kind::kCancelled, r.completion.kind);
    }
  }
}

TEST_F(UrlSessionTest, TasksCancelledBeforeTheyStartNeverStart) {
  Transfer cancelled(url("/f?size=10"), "start");
  cancelled.session->invalidateAndCancel();
  cancelled.session->downloadTaskWithURL(url("/f?size=10"))->resume();
  cancelled.session.reset();
  EXPECT_EQ(Reports(), cancelled.reports);
  EXPECT_EQ(0, stat("requests"));
}

}  // namespace
