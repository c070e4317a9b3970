#include "download/download.h"

#include <deque>

#include <gtest/gtest.h>

#include "cache/cache_layout.h"
#include "cache/validation_string.h"
#include "download/download_entry.h"
#include "platform/os/file_system.h"
#include "tests/test_util.h"

namespace {

// A window that keeps what it was told to show, and an application that runs
// hand-overs inline and records the rest.
struct FakeWindow : Application, DownloadWindow {
  // Application
  int stops = 0;
  std::vector<double> delays;
  std::vector<std::function<void()>> timers;
  void stop() override { ++stops; }
  void dispatchSync(const std::function<void()>& work) override { work(); }
  void performAfterDelay(const std::function<void()>& work, double seconds) override {
    delays.push_back(seconds);
    timers.push_back(work);
  }
  // DownloadWindow
  ApplicationDelegate* delegate = nullptr;
  int closes = 0;
  std::string imagePath, text = "Downloading", title = "Cancel";
  double value = 0, maximum = 100;
  std::vector<double> values;  // every value the bar took
  bool indeterminate = false, animating = false, enabled = true;
  TextColor color = TextColor::kDefault;
  std::function<void(const std::string&)> onText;  // runs after each text shown
  void showSplash(const std::string& path) override { imagePath = path; }
  void showText(const std::string& shown) {
    text = shown;
    if (onText) onText(shown);
  }
  void showProgress(long long received, long long total) override {
    values.push_back(value = static_cast<double>(received));
    if (total != -1) maximum = static_cast<double>(total);
    indeterminate = total == -1;
    showText("Downloading");
  }
  void showUnpacking() override {
    indeterminate = animating = true;
    enabled = false;
    showText("Initializing the installer");
  }
  void showFailure(const std::string& shown, TextColor shownColor) override {
    title = "Close";
    values.push_back(value = maximum);
    indeterminate = animating = false;
    color = shownColor;
    showText(shown);
  }
  void close() override {
    if (closes++ == 0 && delegate) delegate->windowWillClose();
  }
  void closeAfter(double seconds) override {
    performAfterDelay([this] { close(); }, seconds);
  }

  WindowControls controls() { return {this, this}; }
};

struct FakeTask : UrlSessionTask {
  UrlResponse fakeResponse;
  int resumes = 0, cancels = 0;
  void resume() override { ++resumes; }
  void cancel() override { ++cancels; }
  UrlResponse response() const override { return fakeResponse; }
};

struct FakeSession : UrlSession {
  std::shared_ptr<FakeTask> task = std::make_shared<FakeTask>();
  std::string url;
  int invalidations = 0;
  std::shared_ptr<UrlSessionTask> downloadTaskWithURL(const std::string& u) override {
    url = u;
    return task;
  }
  void invalidateAndCancel() override { ++invalidations; }
};

struct FakePlatform : DownloadPlatform {
  std::optional<MainBundle> bundle;
  std::vector<std::string> arguments = {"/b/Boot.app/Contents/MacOS/boot"};
  FakeSession* session = nullptr;  // the last one made
  std::vector<std::pair<std::string, std::vector<std::string>>> spawned;
  std::vector<std::string> logLines;
  std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate*) override {
    auto made = std::make_unique<FakeSession>();
    session = made.get();
    return made;
  }
  std::optional<MainBundle> mainBundle() override { return bundle; }
  std::vector<std::string> processArguments() override { return arguments; }
  int spawn(const std::string& program, const std::vector<std::string>& args) override {
    spawned.emplace_back(program, args);
    return 4242;
  }
  void log(const std::string& text) override { logLines.push_back(text); }
};

UrlResponse response(long status, std::optional<std::string> etag, long long length) {
  UrlResponse r;
  r.statusCode = status;
  if (etag) r.headers["etag"] = *etag;
  r.expectedContentLength = length;
  return r;
}

class DownloadTest : public testing::Test {
 protected:
  DownloadTest() : home_env_("HOME", home_.path()) {
    platform_.bundle = MainBundle{resources_.path(), resources_.path()};
    downloadTo = "/w/InstallAgent.zip";
    downloadFrom = "http://127.0.0.1:1/agent.zip";
    download_ = std::make_unique<Download>(ui_.controls(), platform_, &launch_);
    ui_.delegate = download_.get();
  }

  // Launches the window and gives the transfer `r` as its response.
  void start(const UrlResponse& r) {
    download_->applicationDidFinishLaunching();
    ASSERT_NE(nullptr, platform_.session);
    platform_.session->task->fakeResponse = r;
  }
  std::string cacheDir() const { return getInstallAgentCacheDir(); }
  void fillCache(const std::string& etag) {
    ASSERT_EQ(0, mkpath(cacheDir() + "installagent", 0700));
    writeFile(cacheDir() + "installagent/install", "old agent");
    writeValidationString(cacheDir(), etag);
  }
  // A downloaded archive holding `files`.
  std::string archive(const std::vector<std::pair<std::string, std::string>>& files) {
    makeZip(work_ / "download.tmp", files);
    return work_ / "download.tmp";
  }
  FakeTask& task() { return *platform_.session->task; }
  std::vector<std::string> spawnedArguments() {
    EXPECT_EQ(1u, platform_.spawned.size());
    if (platform_.spawned.empty()) return {};
    EXPECT_EQ("/bin/sh", platform_.spawned[0].first);
    return platform_.spawned[0].second;
  }
  void expectFailureDisplay(const std::string& message) {
    EXPECT_EQ(message, ui_.text);
    EXPECT_EQ(TextColor::kRed, ui_.color);
    EXPECT_EQ("Close", ui_.title);
    EXPECT_FALSE(ui_.indeterminate);
    EXPECT_FALSE(ui_.animating);
    EXPECT_EQ(ui_.maximum, ui_.value) << "the bar shows full";
  }

  ScratchDir home_, resources_, work_;
  ScopedEnv home_env_;
  FakeWindow ui_;
  FakePlatform platform_;
  InstallAgentLaunch launch_;
  std::unique_ptr<Download> download_;
};

}  // namespace

TEST_F(DownloadTest, LaunchShowsTheSplashAndStartsTheTransfer) {
  writeFile(resources_ / "splash.png", "png");
  start(response(200, "\"e\"", 10));
  EXPECT_EQ(resources_ / "splash.png", ui_.imagePath);
  EXPECT_EQ("http://127.0.0.1:1/agent.zip", platform_.session->url);
  EXPECT_EQ(1, task().resumes);
  EXPECT_TRUE(download_->startedTransfer());
}

TEST_F(DownloadTest, LaunchWithoutSplashOrBundle) {
  start(response(200, "\"e\"", 10));
  EXPECT_EQ("", ui_.imagePath) << "no splash.png: the image view is left alone";

  FakeWindow ui;
  FakePlatform platform;  // no main bundle
  Download download(ui.controls(), platform, &launch_);
  download.applicationDidFinishLaunching();
  EXPECT_EQ(nullptr, platform.session);
  EXPECT_FALSE(download.startedTransfer());
}

TEST_F(DownloadTest, ProgressAddsTheBytesOfEachReport) {
  start(response(200, "\"e\"", 1000));
  for (long long bytes : {400, 400, 200}) download_->didWriteData(bytes, 0, 0);
  EXPECT_EQ(1000.0, ui_.maximum);
  // The bar starts anew at the first data, then moves once per report.
  EXPECT_EQ((std::vector<double>{0.0, 400.0, 800.0, 1000.0}), ui_.values);
  EXPECT_FALSE(ui_.indeterminate);
  EXPECT_EQ("Downloading", ui_.text);
}

TEST_F(DownloadTest, UnknownLengthMakesTheBarIndeterminateAndStill) {
  start(response(200, "\"e\"", -1));
  download_->didWriteData(10, 10, -1);
  EXPECT_TRUE(ui_.indeterminate);
  EXPECT_FALSE(ui_.animating);
}

TEST_F(DownloadTest, RefusalsAtTheFirstReport) {
  for (long status : {400L, 401L, 404L, 500L}) {
    FakeWindow ui;
    FakePlatform platform;
    platform.bundle = platform_.bundle;
    Download download(ui.controls(), platform, &launch_);
    download.applicationDidFinishLaunching();
    platform.session->task->fakeResponse = response(status, "\"e\"", 100);
    download.didWriteData(50, 50, 100);
    download.didWriteData(50, 100, 100);  // a late report changes nothing
    std::string code = std::to_string(status);
    EXPECT_EQ("Download failed with error code " + code, ui.text);
    EXPECT_EQ(TextColor::kRed, ui.color);
    EXPECT_EQ("Close", ui.title);
    EXPECT_EQ((std::vector<std::string>{"Download failed with http error code- " + code,
                                        "Download refused with HTTP status " + code + ": " +
                                            downloadFrom}),
              platform.logLines);
    EXPECT_EQ(1, platform.session->task->cancels);
    EXPECT_EQ(1, platform.session->invalidations);
    EXPECT_EQ(0, ui.stops) << "the window stays until it is closed";
  }
}

TEST_F(DownloadTest, StatusesBelow400AreDownloads) {
  start(response(399, "\"e\"", 10));
  download_->didWriteData(10, 10, 10);
  EXPECT_EQ("Downloading", ui_.text);
  EXPECT_EQ(0, task().cancels);
}

TEST_F(DownloadTest, CurrentCacheStartsTheCachedAgentAndAbandonsTheTransfer) {
  fillCache("\"v1\"");
  platform_.arguments = {"/b/boot", "-mode", "two words"};
  start(response(200, "\"v1\"", 1 << 30));
  download_->didWriteData(100, 100, 1 << 30);
  EXPECT_EQ((std::vector<std::string>{cacheDir() + "installagent/install", "-installbundle",
                                      resources_ / "bundle.zip", "-mode", "two words"}),
            spawnedArguments());
  EXPECT_TRUE(launch_.started);
  EXPECT_EQ(4242, launch_.pid);
  EXPECT_GE(task().cancels, 1);
  EXPECT_GE(platform_.session->invalidations, 1);
  EXPECT_EQ(1, ui_.closes);
  EXPECT_EQ(1, ui_.stops);
  EXPECT_TRUE(ui_.values.empty()) << "the bar never moves";
}

TEST_F(DownloadTest, OutdatedCacheIsDeletedAndTheDownloadGoesOn) {
  fillCache("\"v1\"");
  start(response(200, "\"v2\"", 100));
  download_->didWriteData(100, 100, 100);
  EXPECT_FALSE(pathExists(cacheDir() + "installagent"));
  EXPECT_FALSE(pathExists(validationStringPath(cacheDir())));
  EXPECT_TRUE(platform_.spawned.empty());
  EXPECT_EQ(0, task().cancels);

  download_->didFinishDownloadingToURL(archive({{"install", "new agent"}}));
  EXPECT_EQ("new agent", readFile(cacheDir() + "installagent/install"));
  EXPECT_TRUE(isCacheValid(cacheDir(), "\"v2\""));
  EXPECT_EQ(1u, platform_.spawned.size());
}

TEST_F(DownloadTest, MatchingEtagWithoutCachedAgentDownloads) {
  ASSERT_EQ(0, mkpath(cacheDir(), 0700));
  writeValidationString(cacheDir(), "\"v1\"");
  start(response(200, "\"v1\"", 100));
  download_->didWriteData(100, 100, 100);
  EXPECT_TRUE(platform_.spawned.empty());
  EXPECT_EQ(0, task().cancels);
}

TEST_F(DownloadTest, CompletionUnpacksStoresAndHandsOff) {
  platform_.arguments = {"/b/boot", "", "a\"b"};
  start(response(200, "\"v1\"", 100));
  download_->didWriteData(100, 100, 100);
  download_->didFinishDownloadingToURL(archive({{"install", "agent"}}));

  EXPECT_EQ("agent", readFile(cacheDir() + "installagent/install"));
  EXPECT_EQ("\"v1\"", readFile(validationStringPath(cacheDir())));
  EXPECT_EQ((std::vector<std::string>{cacheDir() + "installagent/install", "-installbundle",
                                      resources_ / "bundle.zip", "", "a\"b"}),
            spawnedArguments());
  EXPECT_EQ("Initializing the installer", ui_.text);
  EXPECT_TRUE(ui_.indeterminate);
  EXPECT_TRUE(ui_.animating);
  EXPECT_FALSE(ui_.enabled);
  EXPECT_EQ(std::vector<double>{3.0}, ui_.delays);
  EXPECT_EQ(1, ui_.stops);
  EXPECT_EQ(0, ui_.closes) << "the window closes later, from the timer";
  ui_.timers.at(0)();
  EXPECT_EQ(1, ui_.closes);
}

TEST_F(DownloadTest, RefusalAtCompletion) {
  start(response(404, "\"v1\"", 0));
  download_->didFinishDownloadingToURL(archive({{"install", "agent"}}));
  expectFailureDisplay("Download failed with error code 404");
  EXPECT_EQ((std::vector<std::string>{"Download failed! Error code- 404",
                                      "Download refused with HTTP status 404: " + downloadFrom}),
            platform_.logLines);
  EXPECT_TRUE(listDir(home_.path()).empty()) << "nothing is written to the cache";
  EXPECT_TRUE(platform_.spawned.empty());
}

TEST_F(DownloadTest, Status400AtCompletionIsARefusal) {
  start(response(400, "\"v1\"", 0));
  download_->didFinishDownloadingToURL(archive({{"install", "agent"}}));
  expectFailureDisplay("Download failed with error code 400");
  EXPECT_TRUE(platform_.spawned.empty());
}

TEST_F(DownloadTest, ArchivesThatDoNotUnpackFail) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files;  // empty: not a zip
  } cases[] = {
      {"corrupt", {}},
      {"no install entry", {{"README", "no agent here"}}},
  };
  for (const Case& c : cases) {
    FakeWindow ui;
    FakePlatform platform;
    platform.bundle = platform_.bundle;
    Download download(ui.controls(), platform, &launch_);
    download.applicationDidFinishLaunching();
    platform.session->task->fakeResponse = response(200, "\"v1\"", 10);
    download.didWriteData(10, 10, 10);
    std::string path = work_ / "bad.tmp";
    if (c.files.empty()) {
      writeFile(path, "this is not a zip archive");
    } else {
      makeZip(path, c.files);
    }
    testing::internal::CaptureStderr();
    download.didFinishDownloadingToURL(path);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ("Failed to unzip the installer.", ui.text) << c.name;
    EXPECT_EQ("Close", ui.title) << c.name;
    EXPECT_FALSE(ui.enabled) << c.name << ": stays disabled";
    EXPECT_TRUE(platform.spawned.empty()) << c.name;
    EXPECT_FALSE(isCacheValid(cacheDir(), "\"v1\"")) << c.name << ": never counts as current";
    EXPECT_EQ(0, ui.stops) << c.name;
  }
}

TEST_F(DownloadTest, ResponseWithoutEtagIsCheckedOnceAndNeverStored) {
  fillCache("\"v1\"");
  start(response(200, std::nullopt, 100));
  download_->didWriteData(50, 50, 100);
  download_->didWriteData(50, 100, 100);
  EXPECT_EQ((std::vector<double>{0.0, 50.0, 100.0}), ui_.values) << "one reset only";
  EXPECT_FALSE(pathExists(cacheDir() + "installagent/install")) << "outdated agent deleted";
  download_->didFinishDownloadingToURL(archive({{"install", "agent"}}));
  EXPECT_FALSE(pathExists(validationStringPath(cacheDir())));
  EXPECT_EQ(1u, platform_.spawned.size());
}

TEST_F(DownloadTest, EmptyBodyGetsItsChecksAtCompletion) {
  fillCache("\"v1\"");
  start(response(200, "\"v1\"", 0));
  download_->didFinishDownloadingToURL(work_ / "empty");
  EXPECT_EQ(1u, platform_.spawned.size()) << "a current cache is a hit without any data report";
  EXPECT_EQ(1, ui_.closes);
}

TEST_F(DownloadTest, OnlyTransportErrorsAreReported) {
  start(response(200, "\"v1\"", 10));
  download_->didCompleteWithError({UrlCompletion::Kind::kSuccess, "", ""});
  download_->didCompleteWithError({UrlCompletion::Kind::kCancelled, "cancelled", "u"});
  EXPECT_EQ("Downloading", ui_.text);
  EXPECT_TRUE(platform_.logLines.empty());

  download_->didCompleteWithError(
      {UrlCompletion::Kind::kTransportError, "Connection refused", "http://127.0.0.1:1/a.zip"});
  expectFailureDisplay(
      "Error during the download process.\nSee the log in Console app for more information.");
  EXPECT_EQ(std::vector<std::string>{"Download failed! Error - Connection refused "
                                     "http://127.0.0.1:1/a.zip"},
            platform_.logLines);
}

TEST_F(DownloadTest, ClosingCancelsAndStops) {
  download_->windowWillClose();  // before any transfer
  EXPECT_EQ(1, ui_.stops);

  start(response(200, "\"v1\"", 10));
  download_->windowWillClose();
  EXPECT_EQ(1, task().cancels);
  EXPECT_EQ(1, platform_.session->invalidations);
  EXPECT_EQ(2, ui_.stops);
}

TEST_F(DownloadTest, WindowClosedBeforeTheHandOffStartsNothing) {
  for (bool duringUnpacking : {false, true}) {
    FakeWindow ui;
    FakePlatform platform;
    platform.bundle = platform_.bundle;
    InstallAgentLaunch launch;
    Download download(ui.controls(), platform, &launch);
    download.applicationDidFinishLaunching();
    platform.session->task->fakeResponse = response(200, "\"v1\"", 100);
    download.didWriteData(100, 100, 100);
    if (duringUnpacking) {
      ui.onText = [&](const std::string& text) {
        if (text == "Initializing the installer") download.windowWillClose();
      };
    } else {
      download.windowWillClose();
    }
    download.didFinishDownloadingToURL(archive({{"install", "agent"}}));
    EXPECT_TRUE(platform.spawned.empty()) << duringUnpacking;
    EXPECT_FALSE(launch.started) << duringUnpacking;
  }
}
