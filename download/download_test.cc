#include "download/download.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "cache/cache_layout.h"
#include "cache/validation_string.h"
#include "download/download_entry.h"
#include "platform/os/file_system.h"
#include "tests/test_util.h"

namespace {

using Spawned = std::vector<std::vector<std::string>>;  // programs and their arguments

// The one task that every session hands out, and its answer.
struct FakeTask : UrlSessionTask, UrlSession {
  UrlResponse answer;
  int cancels = 0;
  void resume() override {}
  void cancel() override { ++cancels; }
  UrlResponse response() const override { return answer; }
  std::shared_ptr<UrlSessionTask> self;
  std::shared_ptr<UrlSessionTask> downloadTaskWithURL(const std::string&) override { return self; }
  void invalidateAndCancel() override {}
};

// One run of the download logic against a fake server and a real cache, on a
// window that keeps what it shows and an application that runs hand-overs
// inline and keeps its timers.
struct DownloadRun : Application, DownloadWindow, DownloadPlatform {
  DownloadRun(const std::string& resources, long status, const char* etag)
      : resources(resources), download({this, this}, *this, &launch) {
    download.applicationDidFinishLaunching();
    task->answer.statusCode = status;
    if (etag) task->answer.headers["etag"] = etag;
  }
  void stop() override { ++stops; }
  void dispatchSync(const std::function<void()>& work) override { work(); }
  void performAfterDelay(const std::function<void()>&, double s) override { delays.push_back(s); }
  void showSplash(const std::string&) override {}
  void showProgress(long long received, long long) override { bar.push_back(received); }
  void showUnpacking() override {
    text = "Initializing the installer";
    if (onUnpacking) onUnpacking();
  }
  void showFailure(const std::string& shown, TextColor) override { text = shown; }
  void close() override {
    if (closes++ == 0) download.windowWillClose();
  }
  void closeAfter(double seconds) override { performAfterDelay(nullptr, seconds); }
  std::unique_ptr<UrlSession> makeUrlSession(UrlSessionDelegate*) override {
    auto session = std::make_unique<FakeTask>();
    session->self = task;
    return session;
  }
  std::optional<MainBundle> mainBundle() override { return MainBundle{resources, resources}; }
  std::vector<std::string> processArguments() override { return {"/b/boot", "", "a b"}; }
  int spawn(const std::string& program, const std::vector<std::string>& args) override {
    spawned.push_back(args);
    spawned.back().insert(spawned.back().begin(), program);
    return 4242;
  }
  void log(const std::string&) override {}

  std::string resources, text = "Downloading";
  int stops = 0, closes = 0;
  std::vector<double> delays, bar;  // timers asked for; every value the bar took
  std::function<void()> onUnpacking;
  std::shared_ptr<FakeTask> task = std::make_shared<FakeTask>();
  Spawned spawned;
  InstallAgentLaunch launch;
  Download download;
};

// kCurrent: "old agent" with ETag "v1"; kEtagOnly: no agent; kNoEtag: an empty ETag.
enum class Cache { kNone, kCurrent, kEtagOnly, kNoEtag };
enum class Body { kAgent, kEmpty, kNoInstall };

// ctest runs each test in a process of its own, which keeps its HOME.
class DownloadTest : public testing::Test {
 protected:
  DownloadTest() { setenv("HOME", home_.getDir().c_str(), 1); }
  // The downloaded file: a zip archive holding "new agent" as install (or
  // as README), or an empty file.
  std::string archive(Body body) {
    std::string dir = work_.getDir(), name = body == Body::kAgent ? "install" : "README";
    writeFile(dir + "/" + name, "new agent");
    writeFile(dir + "/a.zip", "");
    std::string zip = "cd " + dir + " && rm a.zip && zip -q a.zip " + name;
    EXPECT_EQ(0, body == Body::kEmpty ? 0 : std::system(zip.c_str()));
    return dir + "/a.zip";
  }

  TempDir home_{""}, resources_{""}, work_{""};
};

}  // namespace

// (server answer, cache state) -> what is started, shown and left in the
// cache: a started agent is the one left, with the answer's ETag.
TEST_F(DownloadTest, ServerAnswerAndCacheDecideTheOutcome) {
  const std::string refused = "Download failed with error code ",
                    unpacking = "Initializing the installer",
                    notUnpacked = "Failed to unzip the installer.";
  const struct {
    long status;
    const char* etag;
    Cache cache;
    Body body;            // kEmpty: no data report before the end
    std::string started;  // the agent run: "old agent", "new agent" or none
    std::string text;     // shown at the end
  } cases[] = {
      {200, "\"v1\"", Cache::kCurrent, Body::kAgent, "old agent", "Downloading"},
      {200, "\"v1\"", Cache::kCurrent, Body::kEmpty, "old agent", "Downloading"},
      {200, "\"v2\"", Cache::kCurrent, Body::kAgent, "new agent", unpacking},
      {200, "\"v1\"", Cache::kEtagOnly, Body::kAgent, "new agent", unpacking},
      {200, "\"v1", Cache::kCurrent, Body::kAgent, "new agent", unpacking},
      {200, nullptr, Cache::kNoEtag, Body::kAgent, "new agent", unpacking},
      {200, "\"v1\"", Cache::kNone, Body::kAgent, "new agent", unpacking},
      {200, nullptr, Cache::kCurrent, Body::kAgent, "new agent", unpacking},
      {399, "\"v1\"", Cache::kNone, Body::kAgent, "new agent", unpacking},
      {400, "\"v1\"", Cache::kNone, Body::kAgent, "", refused + "400"},
      {404, "\"v1\"", Cache::kNone, Body::kEmpty, "", refused + "404"},
      {500, nullptr, Cache::kNone, Body::kAgent, "", refused + "500"},
      {200, "\"v2\"", Cache::kCurrent, Body::kNoInstall, "", notUnpacked},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    std::string cacheDir = getInstallAgentCacheDir(), install = cacheDir + "installagent/install";
    std::string error;
    ASSERT_TRUE(removeTree(cacheDir, &error)) << error;
    if (c.cache != Cache::kNone) {
      ASSERT_EQ(0, mkpath(cacheDir + "installagent", 0700));
      if (c.cache != Cache::kEtagOnly) writeFile(install, "old agent");
      writeValidationString(cacheDir, "\"v1\"");
      if (c.cache == Cache::kNoEtag) {
        ASSERT_EQ(0, truncate(validationStringPath(cacheDir).c_str(), 0));
      }
    }
    DownloadRun run(resources_.getDir(), c.status, c.etag);
    if (c.body != Body::kEmpty) {
      run.download.didWriteData(50, 50, 100);
      run.download.didWriteData(50, 100, 100);
    }
    bool hit = c.started == "old agent", refusal = c.text.find(refused) == 0;
    if (!hit && !refusal) {
      EXPECT_EQ("", readFile(install)) << "the outdated agent goes at the first data";
    }
    if (run.task->cancels == 0) run.download.didFinishDownloadingToURL(archive(c.body));

    std::vector<std::string> agent = {
        "/bin/sh", install, "-installbundle", resources_.getDir() + "/bundle.zip", "", "a b"};
    EXPECT_EQ(c.started.empty() ? Spawned() : Spawned{agent}, run.spawned);
    EXPECT_EQ(c.text, run.text);
    EXPECT_EQ(c.started.empty() || !c.etag ? "" : c.etag, readFile(validationStringPath(cacheDir)));
    EXPECT_EQ(c.started, readFile(install));
    std::vector<double> bar = {0, 50, 100};  // starts anew once, then moves per report
    EXPECT_EQ(hit || refusal ? std::vector<double>() : bar, run.bar);
    // A late report after a refusal changes nothing; a hit abandons the
    // transfer, and so does the window's closing that follows.
    EXPECT_EQ(refusal ? 1 : hit ? 2 : 0, run.task->cancels);
    // A hand-off stops the run and closes the window: at once after a hit, a
    // little later after unpacking; a failure leaves the window to the user.
    EXPECT_EQ(c.started.empty() ? 0 : 1, run.stops);
    EXPECT_EQ(hit ? 1 : 0, run.closes);
    EXPECT_EQ(std::vector<double>(c.started == "new agent" ? 1 : 0, 3.0), run.delays);
  }
}

TEST_F(DownloadTest, WindowClosedBeforeTheHandOffStartsNothing) {
  for (bool duringUnpacking : {false, true}) {
    SCOPED_TRACE(duringUnpacking ? "while unpacking" : "before the end");
    DownloadRun run(resources_.getDir(), 200, "\"v1\"");
    run.download.didWriteData(100, 100, 100);
    run.onUnpacking = [&] { run.download.windowWillClose(); };
    if (!duringUnpacking) run.onUnpacking();
    run.download.didFinishDownloadingToURL(archive(Body::kAgent));
    EXPECT_EQ(Spawned(), run.spawned);
  }
}
