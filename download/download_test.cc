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
  std::vector<double> delays, values;  // timers asked for; every value the bar took
  std::vector<std::function<void()>> timers;
  std::string text = "Downloading";
  std::function<void()> onUnpacking;
  void stop() override { ++stops; }
  void dispatchSync(const std::function<void()>& work) override { work(); }
  void performAfterDelay(const std::function<void()>& work, double seconds) override {
    delays.push_back(seconds);
    timers.push_back(work);
  }
  void showSplash(const std::string&) override {}
  void showProgress(long long received, long long) override {
    values.push_back(static_cast<double>(received));
  }
  void showUnpacking() override {
    text = "Initializing the installer";
    if (onUnpacking) onUnpacking();
  }
  void showFailure(const std::string& shown, TextColor) override { text = shown; }
  void close() override {
    if (closes++ == 0 && delegate) delegate->windowWillClose();
  }
  void closeAfter(double seconds) override { performAfterDelay([this] { close(); }, seconds); }
};

struct FakeTask : UrlSessionTask {
  UrlResponse answer;
  int cancels = 0;
  void resume() override {}
  void cancel() override { ++cancels; }
  UrlResponse response() const override { return answer; }
};

struct FakeSession : UrlSession {
  std::shared_ptr<FakeTask> task = std::make_shared<FakeTask>();
  std::shared_ptr<UrlSessionTask> downloadTaskWithURL(const std::string&) override { return task; }
  void invalidateAndCancel() override {}
};

struct FakePlatform : DownloadPlatform {
  std::optional<MainBundle> bundle;
  FakeSession* session = nullptr;
  std::vector<std::vector<std::string>> spawned;  // "/bin/sh" and its arguments
  std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate*) override {
    auto made = std::make_unique<FakeSession>();
    session = made.get();
    return made;
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

enum class Cache { kNone, kCurrent, kEtagOnly };  // kCurrent: "old agent" with ETag "v1"
enum class Body { kAgent, kEmpty, kNotZip, kNoInstall };

// One run of the download logic against a fake server and a real cache.
struct Transfer {
  Transfer(const ScratchDir& resources, InstallAgentLaunch* launch)
      : download(controls(), platform, launch) {
    platform.bundle = MainBundle{resources.path(), resources.path()};
    window.delegate = &download;
    downloadFrom = "http://127.0.0.1:1/agent.zip";
  }
  WindowControls controls() { return {&window, &window}; }
  void start(long status, std::optional<std::string> etag) {
    download.applicationDidFinishLaunching();
    platform.session->task->answer.statusCode = status;
    if (etag) platform.session->task->answer.headers["etag"] = *etag;
    platform.session->task->answer.expectedContentLength = 100;
  }
  FakeWindow window;
  FakePlatform platform;
  Download download;
};

void fill(Cache cache) {
  std::string dir = getInstallAgentCacheDir();
  if (cache == Cache::kNone) return;
  ASSERT_EQ(0, mkpath(dir + "installagent", 0700));
  if (cache == Cache::kCurrent) writeFile(dir + "installagent/install", "old agent");
  writeValidationString(dir, "\"v1\"");
}

std::string archive(const ScratchDir& work, Body body) {
  std::string path = work / "download.tmp";
  if (body == Body::kAgent) makeZip(path, {{"install", "new agent"}});
  if (body == Body::kNoInstall) makeZip(path, {{"README", "no agent"}});
  if (body == Body::kNotZip) writeFile(path, "not a zip");
  if (body == Body::kEmpty) writeFile(path, "");
  return path;
}

class DownloadTest : public testing::Test {
 protected:
  ScratchDir home_, resources_, work_;
  ScopedEnv homeEnv_{"HOME", home_.path()};
  InstallAgentLaunch launch_;
};

}  // namespace

// (server answer, cache state) -> what is started, shown and left in the cache.
TEST_F(DownloadTest, ServerAnswerAndCacheDecideTheOutcome) {
  const std::string refused = "Download failed with error code ";
  const std::string notUnpacked = "Failed to unzip the installer.";
  const std::string unpacking = "Initializing the installer";
  const std::vector<double> bar = {0, 50, 100}, still = {};
  struct Case {
    const char* name;
    long status;
    std::optional<std::string> etag;
    Cache cache;
    Body body;  // kEmpty: no data report before the end
    std::string started;  // the agent run: "old agent", "new agent" or none
    std::string text;     // shown at the end
    std::string stored;   // the validation string left, "" for none
    std::string agent;    // the cached install left, "" for none
    std::vector<double> bar;
  } cases[] = {
      {"current cache", 200, "\"v1\"", Cache::kCurrent, Body::kAgent, "old agent", "Downloading",
       "\"v1\"", "old agent", still},
      {"current cache, empty body", 200, "\"v1\"", Cache::kCurrent, Body::kEmpty, "old agent",
       "Downloading", "\"v1\"", "old agent", still},
      {"outdated cache", 200, "\"v2\"", Cache::kCurrent, Body::kAgent, "new agent", unpacking,
       "\"v2\"", "new agent", bar},
      {"ETag only, no agent", 200, "\"v1\"", Cache::kEtagOnly, Body::kAgent, "new agent", unpacking,
       "\"v1\"", "new agent", bar},
      {"no cache", 200, "\"v1\"", Cache::kNone, Body::kAgent, "new agent", unpacking, "\"v1\"",
       "new agent", bar},
      {"no ETag", 200, std::nullopt, Cache::kCurrent, Body::kAgent, "new agent", unpacking, "",
       "new agent", bar},
      {"399", 399, "\"v1\"", Cache::kNone, Body::kAgent, "new agent", unpacking, "\"v1\"",
       "new agent", bar},
      {"400", 400, "\"v1\"", Cache::kNone, Body::kAgent, "", refused + "400", "", "", still},
      {"404 at the end only", 404, "\"v1\"", Cache::kNone, Body::kEmpty, "", refused + "404", "",
       "", still},
      {"500", 500, std::nullopt, Cache::kNone, Body::kAgent, "", refused + "500", "", "", still},
      {"not a zip", 200, "\"v1\"", Cache::kNone, Body::kNotZip, "", notUnpacked, "", "", bar},
      {"no install at the top", 200, "\"v2\"", Cache::kCurrent, Body::kNoInstall, "", notUnpacked,
       "", "", bar},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir home;
    ScopedEnv homeEnv("HOME", home.path());
    fill(c.cache);
    Transfer run(resources_, &launch_);
    run.start(c.status, c.etag);
    if (c.body != Body::kEmpty) {
      run.download.didWriteData(50, 50, 100);
      run.download.didWriteData(50, 100, 100);
    }
    if (c.cache == Cache::kCurrent && c.started != "old agent" && c.status < 400) {
      EXPECT_EQ("", readFile(getInstallAgentCacheDir() + "installagent/install"))
          << "the outdated agent goes at the first data";
    }
    bool abandoned = run.platform.session->task->cancels > 0;
    testing::internal::CaptureStderr();
    if (!abandoned) run.download.didFinishDownloadingToURL(archive(work_, c.body));
    testing::internal::GetCapturedStderr();

    std::string cacheDir = getInstallAgentCacheDir();
    std::vector<std::vector<std::string>> spawned;
    if (!c.started.empty()) {
      std::string install = cacheDir + "installagent/install";
      spawned.push_back({"/bin/sh", install, "-installbundle", resources_ / "bundle.zip", "", "a b"});
      EXPECT_EQ(c.started, readFile(install));
    }
    EXPECT_EQ(spawned, run.platform.spawned);
    EXPECT_EQ(c.text, run.window.text);
    EXPECT_EQ(c.stored, readFile(validationStringPath(cacheDir)));
    EXPECT_EQ(c.agent, readFile(cacheDir + "installagent/install"));
    EXPECT_EQ(c.bar, run.window.values) << "the bar starts anew once, then moves per report";
    int cancels = run.platform.session->task->cancels;
    if (c.text.find(refused) == 0) {
      EXPECT_EQ(1, cancels) << "a late report changes nothing";
    } else {
      EXPECT_EQ(c.started == "old agent", cancels > 0) << "the transfer is abandoned at a hit";
    }
    // A hand-off stops the run and closes the window a little later; a failure
    // leaves the window for the user to close.
    bool handedOff = !c.started.empty();
    EXPECT_EQ(handedOff, launch_.started);
    EXPECT_EQ(handedOff ? 1 : 0, run.window.stops);
    if (c.started == "old agent") {
      EXPECT_EQ(1, run.window.closes) << "closed at once";
    }
    if (c.started == "new agent") {
      EXPECT_EQ(std::vector<double>{3.0}, run.window.delays);
      EXPECT_EQ(0, run.window.closes);
    }
    launch_ = InstallAgentLaunch();
  }
}

TEST_F(DownloadTest, OnlyTransportErrorsAreShown) {
  Transfer run(resources_, &launch_);
  run.start(200, "\"v1\"");
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
    Transfer run(resources_, &launch);
    run.start(200, "\"v1\"");
    run.download.didWriteData(100, 100, 100);
    if (duringUnpacking) {
      run.window.onUnpacking = [&] { run.download.windowWillClose(); };
    } else {
      run.download.windowWillClose();
    }
    run.download.didFinishDownloadingToURL(archive(work_, Body::kAgent));
    EXPECT_TRUE(run.platform.spawned.empty());
    EXPECT_FALSE(launch.started);
    EXPECT_GE(run.window.stops, 1);
  }
}
