#include "platform/window/application_run.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>


namespace {

// What happened, in order, on any thread.
class EventLog {
 public:
  void add(const std::string& event) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(event);
  }
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }
  int count(const std::string& event) const {
    std::vector<std::string> all = events();
    return static_cast<int>(std::count(all.begin(), all.end(), event));
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> events_;
};

class FakeView : public WindowView {
 public:
  explicit FakeView(EventLog& log) : log_(log), mainThread_(std::this_thread::get_id()) {}
  void apply(const WindowState& state) override {
    if (std::this_thread::get_id() != mainThread_) log_.add("apply off the main thread");
    state_ = state;
    statuses.push_back(state.status);
  }
  void refresh() override {}
  void show() override { log_.add("show"); }
  void launched(bool started) override { log_.add(started ? "launched" : "launched idle"); }
  void takeDown() override { log_.add("takeDown"); }
  ControlReadings readBack() const override { return readingsOf(state_); }
  // As the user's close box does.
  void askToClose() { requestClose(); }

  std::vector<std::string> statuses;  // each status applied, in order

 private:
  EventLog& log_;
  std::thread::id mainThread_;
  WindowState state_;
};

// The session's script: runs on a thread of its own when `onThread`, else
// on the main thread within applicationDidFinishLaunching.
struct Script {
  std::function<void(const WindowControls&)> play;
  bool onThread = true;
};

class FakeDelegate : public ApplicationDelegate {
 public:
  FakeDelegate(const WindowControls& controls, EventLog& log, Script script)
      : c_(controls), log_(log), script_(std::move(script)) {
    log_.add("created");
  }
  ~FakeDelegate() override {
    if (session_.joinable()) session_.join();
    log_.add("destroyed");
  }
  void applicationDidFinishLaunching() override {
    log_.add("didFinishLaunching");
    if (!script_.play) return;
    if (!script_.onThread) return script_.play(c_);
    session_ = std::thread([this] { script_.play(c_); });
  }
  void windowWillClose() override {
    log_.add("windowWillClose");
    c_.application->stop();
  }
  bool startedTransfer() const override { return script_.play != nullptr; }

 private:
  WindowControls c_;
  EventLog& log_;
  Script script_;
  std::thread session_;
};

struct RunRecord {
  EventLog log;
  FakeView* view = nullptr;
  int status = -1;
};

void runWith(RunRecord& run, Script script) {
  Toolkit toolkit;
  toolkit.loop = makePollMainLoop();
  auto view = std::make_unique<FakeView>(run.log);
  run.view = view.get();
  toolkit.view = std::move(view);
  run.status = runApplication(toolkit, [&](const WindowControls& controls) {
    return std::make_unique<FakeDelegate>(controls, run.log, script);
  });
  run.view = nullptr;
}

using Events = std::vector<std::string>;

}  // namespace

TEST(ApplicationRunTest, ClosingAndStoppingHappenOnceFromTheSessionThread) {
  RunRecord run;
  runWith(run, {[](const WindowControls& c) {
            c.window->close();
            c.window->close();
            c.application->stop();
            c.application->stop();
          }});
  EXPECT_EQ(0, run.status);
  // The session's close may come before or after the view hears of the
  // launch. The take-down asked for after the stop is dropped: the run takes
  // the window down once the delegate (and its thread) is gone.
  Events events = run.log.events();
  EXPECT_EQ(1, run.log.count("launched"));
  events.erase(std::find(events.begin(), events.end(), "launched"));
  EXPECT_EQ(
      (Events{"created", "show", "didFinishLaunching", "windowWillClose", "destroyed", "takeDown"}),
      events);
}

TEST(ApplicationRunTest, UserCloseOnTheMainThreadTakesTheWindowDownAtOnce) {
  RunRecord run;
  runWith(run, {[&](const WindowControls& c) {
                  c.application->performAfterDelay([&] { run.view->askToClose(); }, 0.01);
                  c.application->performAfterDelay([&] { run.view->askToClose(); }, 0.02);
                },
                false});
  EXPECT_EQ((Events{"created", "show", "didFinishLaunching", "launched", "windowWillClose",
                    "takeDown", "destroyed"}),
            run.log.events());
}

TEST(ApplicationRunTest, EventsChangeTheWindowOnTheMainThreadAndOnlyWhenSomethingDiffers) {
  RunRecord run;
  std::vector<std::string> statuses;
  runWith(run, {[&](const WindowControls& c) {
            c.window->showUnpacking();
            c.window->showUnpacking();
            c.application->dispatchSync([&] { c.window->showFailure("Failed", TextColor::kRed); });
            c.application->dispatchSync([&] { statuses = run.view->statuses; });
            c.window->close();
          }});
  EXPECT_EQ(0, run.log.count("apply off the main thread"));
  // The first status is the window's own, applied before it shows.
  EXPECT_EQ((std::vector<std::string>{"Downloading", "Initializing the installer", "Failed"}),
            std::vector<std::string>(statuses.end() - 3, statuses.end()));
  EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), "Initializing the installer"));
}

TEST(ApplicationRunTest, HandOversAfterTheStopAreDroppedAtOnce) {
  RunRecord run;
  std::atomic<int> ran{0};
  runWith(run, {[&](const WindowControls& c) {
            c.application->stop();
            for (int i = 0; i < 100; ++i) {
              c.application->dispatchSync([&] { ++ran; });
              c.window->showFailure("after the stop", TextColor::kRed);
              c.application->performAfterDelay([&] { ++ran; }, 0);
            }
          }});
  EXPECT_EQ(0, ran.load());
  EXPECT_EQ(0, run.log.count("windowWillClose"));
  EXPECT_EQ("takeDown", run.log.events().back());
}

TEST(ApplicationRunTest, TimersPendingAtTheStopNeverFire) {
  RunRecord run;
  bool fired = false;
  runWith(run, {[&](const WindowControls& c) {
                  c.application->performAfterDelay([&] { fired = true; }, 0);
                  c.application->stop();
                },
                false});
  EXPECT_FALSE(fired);
}

TEST(ApplicationRunTest, SignalsCloseTheWindowAndTheirHandlingComesBack) {
  static std::atomic<int> earlierHandlerRan{0};
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction earlier = {}, saved = {}, after = {};
    earlier.sa_handler = [](int) { ++earlierHandlerRan; };
    sigaction(signal, &earlier, &saved);

    RunRecord run;
    runWith(run, {[signal](const WindowControls&) { raise(signal); }, false});
    EXPECT_EQ(1, run.log.count("windowWillClose")) << signal;

    sigaction(signal, &saved, &after);
    EXPECT_EQ(earlier.sa_handler, after.sa_handler) << signal;
  }
  EXPECT_EQ(0, earlierHandlerRan.load());
}

TEST(ApplicationRunTest, NoDelegateTakesTheWindowDown) {
  EventLog log;
  Toolkit toolkit;
  toolkit.loop = makePollMainLoop();
  toolkit.view = std::make_unique<FakeView>(log);
  EXPECT_EQ(0, runApplication(toolkit, [](const WindowControls&) {
              return std::unique_ptr<ApplicationDelegate>();
            }));
  EXPECT_EQ((Events{"takeDown"}), log.events());
}
