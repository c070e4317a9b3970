#include "download/download.h"

#include <gtest/gtest.h>

#include "cache/cache_layout.h"
#include "cache/validation_string.h"
#include "download/download_entry.h"
#include "platform/os/file_system.h"
#include "tests/test_util.h"

namespace {

// A window that keeps what it shows, on an application that runs hand-overs
// inline and keeps its timers.
struct FakeWindow : Application, DownloadWindow {
  ApplicationDelegate* delegate = nullptr;
  int stops = 0, closes = 0;
  std::vector<double> delays, bar;  // timers asked for; every value the bar took
  std::string text = "Downloading";
  std::function<void()> onUnpacking;
  void stop() override { ++stops; }
  void dispatchSync(const std::function<void()>& work) override { work(); }
  void performAfterDelay(const std::function<void()>&, double seconds) override {
    delays.push_back(seconds);
  }
  void showSplash(const std::string&) override {}
  void showProgress(long long received, long long) override { bar.push_back(received); }
  void showUnpacking() override {
    text = "Initializing the installer";
    if (onUnpacking) onUnpacking();
  }
  void showFailure(const std::string& shown, TextColor) override { text = shown; }
  void close() override {
    if (closes++ == 0) delegate->windowWillClose();
  }
  void closeAfter(double seconds) override { performAfterDelay(nullptr, seconds); }
};

struct FakeTask : UrlSessionTask {
  UrlResponse answer;
  int cancels = 0;
  void resume() override {}
  void cancel() override { ++cancels; }
  UrlResponse response() const override { return answer; }
};

// Each session hands out the one task.
struct FakeSession : UrlSession {
  std::shared_ptr<FakeTask> task;
  std::shared_ptr<UrlSessionTask> downloadTaskWithURL(const std::string&) override { return task; }
  void invalidateAndCancel() override {}
};

struct FakePlatform : DownloadPlatform {
  std::optional<MainBundle> bundle;
  std::shared_ptr<FakeTask> task = std::make_shared<FakeTask>();
  std::vector<std::vector<std::string>> spawned;  // "/bin/sh" and its arguments
  std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate*) override {
    auto session = std::make_unique<FakeSession>();
    session->task = task;
    return session;
  }
  std::optional<MainBundle> mainBundle() override { return bundle; }
  std::vector<std::string> processArguments() override { return {"/b/boot", "", "a b"}; }
  int spawn(const std::string& program, const std::vector<std::string>& args) override {
    spawned.push_back(args);
    spawned.back().insert(spawned.back().begin(), program);
    return 4242;
  }
  void log(const std::string&) override {}
};

// One run of the download logic against a fake server and a real cache.
struct Transfer {
  Transfer(const ScratchDir& resources, InstallAgentLaunch* launch, long status, const char* etag)
      : download({&window, &window}, platform, launch) {
    platform.bundle = MainBundle{resources.path(), resources.path()};
    window.delegate = &download;
    downloadFrom = "http://127.0.0.1:1/agent.zip";
    download.applicationDidFinishLaunching();
    platform.task->answer.statusCode = status;
    if (etag) platform.task->answer.headers["etag"] = etag;
  }
  FakeWindow window;
  FakePlatform platform;
  Download download;
};

enum class Cache { kNone, kCurrent, kEtagOnly };  // kCurrent: "old agent" with ETag "v1"
enum class Body { kAgent, kEmpty, kNotZip, kNoInstall };

std::string archive(const ScratchDir& work, Body body) {
  std::string path = work / "download.tmp";
  if (body == Body::kAgent) makeZip(path, {{"install", "new agent"}});
  if (body == Body::kNoInstall) makeZip(path, {{"README", "no agent"}});
  if (body == Body::kNotZip || body == Body::kEmpty) {
    writeFile(path, body == Body::kNotZip ? "not a zip" : "");
  }
  return path;
}

class DownloadTest : public testing::Test {
 protected:
  ScratchDir home_, resources_, work_;
  ScopedEnv homeEnv_{"HOME", home_.path()};
  InstallAgentLaunch launch_;
};

}  // namespace

// (server answer, cache state) -> what is started, shown and left in the
// cache: a started agent is the one left, with the answer's ETag.
TEST_F(DownloadTest, ServerAnswerAndCacheDecideTheOutcome) {
  const std::string refused = "Download failed with error code ";
  const std::string notUnpacked = "Failed to unzip the installer.";
  const std::string unpacking = "Initializing the installer";
  const struct {
    const char* name;
    long status;
    const char* etag;
    Cache cache;
    Body body;            // kEmpty: no data report before the end
    std::string started;  // the agent run: "old agent", "new agent" or none
    std::string text;     // shown at the end
  } cases[] = {
      {"current cache", 200, "\"v1\"", Cache::kCurrent, Body::kAgent, "old agent", "Downloading"},
      {"current cache, empty body", 200, "\"v1\"", Cache::kCurrent, Body::kEmpty, "old agent",
       "Downloading"},
      {"outdated cache", 200, "\"v2\"", Cache::kCurrent, Body::kAgent, "new agent", unpacking},
      {"ETag only, no agent", 200, "\"v1\"", Cache::kEtagOnly, Body::kAgent, "new agent",
       unpacking},
      {"no cache", 200, "\"v1\"", Cache::kNone, Body::kAgent, "new agent", unpacking},
      {"no ETag", 200, nullptr, Cache::kCurrent, Body::kAgent, "new agent", unpacking},
      {"399", 399, "\"v1\"", Cache::kNone, Body::kAgent, "new agent", unpacking},
      {"400", 400, "\"v1\"", Cache::kNone, Body::kAgent, "", refused + "400"},
      {"404 at the end only", 404, "\"v1\"", Cache::kNone, Body::kEmpty, "", refused + "404"},
      {"500", 500, nullptr, Cache::kNone, Body::kAgent, "", refused + "500"},
      {"not a zip", 200, "\"v1\"", Cache::kNone, Body::kNotZip, "", notUnpacked},
      {"no install at the top", 200, "\"v2\"", Cache::kCurrent, Body::kNoInstall, "", notUnpacked},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir home;
    ScopedEnv homeEnv("HOME", home.path());
    std::string cacheDir = getInstallAgentCacheDir(), install = cacheDir + "installagent/install";
    if (c.cache != Cache::kNone) {
      ASSERT_EQ(0, mkpath(cacheDir + "installagent", 0700));
      if (c.cache == Cache::kCurrent) writeFile(install, "old agent");
      writeValidationString(cacheDir, "\"v1\"");
    }
    Transfer run(resources_, &launch_, c.status, c.etag);
    if (c.body != Body::kEmpty) {
      run.download.didWriteData(50, 50, 100);
      run.download.didWriteData(50, 100, 100);
    }
    bool hit = c.started == "old agent", refusal = c.text.find(refused) == 0;
    if (c.cache == Cache::kCurrent && !hit && !refusal) {
      EXPECT_EQ("", readFile(install)) << "the outdated agent goes at the first data";
    }
    testing::internal::CaptureStderr();
    if (run.platform.task->cancels == 0)
      run.download.didFinishDownloadingToURL(archive(work_, c.body));
    testing::internal::GetCapturedStderr();

    std::vector<std::vector<std::string>> spawned;
    if (!c.started.empty()) {
      spawned.push_back(
          {"/bin/sh", install, "-installbundle", resources_ / "bundle.zip", "", "a b"});
    }
    EXPECT_EQ(spawned, run.platform.spawned);
    EXPECT_EQ(c.text, run.window.text);
    EXPECT_EQ(c.started.empty() || !c.etag ? "" : c.etag, readFile(validationStringPath(cacheDir)));
    EXPECT_EQ(c.started, readFile(install));
    std::vector<double> bar = {0, 50, 100};  // starts anew once, then moves per report
    EXPECT_EQ(hit || refusal ? std::vector<double>() : bar, run.window.bar);
    // A late report after a refusal changes nothing; a hit abandons the
    // transfer, and so does the window's closing that follows.
    EXPECT_EQ(refusal ? 1 : hit ? 2 : 0, run.platform.task->cancels);
    // A hand-off stops the run and closes the window: at once after a hit, a
    // little later after unpacking; a failure leaves the window to the user.
    EXPECT_EQ(!c.started.empty(), launch_.started);
    EXPECT_EQ(c.started.empty() ? 0 : 1, run.window.stops);
    EXPECT_EQ(hit ? 1 : 0, run.window.closes);
    EXPECT_EQ(std::vector<double>(c.started == "new agent" ? 1 : 0, 3.0), run.window.delays);
    launch_ = InstallAgentLaunch();
  }
}

TEST_F(DownloadTest, OnlyTransportErrorsAreShown) {
  Transfer run(resources_, &launch_, 200, "\"v1\"");
  run.download.didCompleteWithError({UrlCompletion::Kind::kSuccess, "", ""});
  run.download.didCompleteWithError({UrlCompletion::Kind::kCancelled, "cancelled", "u"});
  EXPECT_EQ("Downloading", run.window.text);
  run.download.didCompleteWithError({UrlCompletion::Kind::kTransportError, "refused", "u"});
  EXPECT_EQ("Error during the download process.\nSee the log in Console app for more information.",
            run.window.text);
}

TEST_F(DownloadTest, WindowClosedBeforeTheHandOffStartsNothing) {
  for (bool duringUnpacking : {false, true}) {
    SCOPED_TRACE(duringUnpacking ? "while unpacking" : "before the end");
    InstallAgentLaunch launch;
    Transfer run(resources_, &launch, 200, "\"v1\"");
    run.download.didWriteData(100, 100, 100);
    run.window.onUnpacking = [&] { run.download.windowWillClose(); };
    if (!duringUnpacking) run.window.onUnpacking();
    run.download.didFinishDownloadingToURL(archive(work_, Body::kAgent));
    EXPECT_TRUE(run.platform.spawned.empty());
    EXPECT_FALSE(launch.started);
    EXPECT_GE(run.window.stops, 1);
  }
}
