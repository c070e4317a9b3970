#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/window/toolkit.h"

namespace {

using Events = std::vector<std::string>;

// Keeps what happened, in order, on any thread.
struct FakeView : WindowView {
  void apply(const WindowState&) override {
    if (std::this_thread::get_id() != mainThread) add("apply off the main thread");
  }
  void show() override { add("show"); }
  void launched(bool) override { add("launched"); }
  void animate() override {}
  void takeDown() override { add("takeDown"); }
  WindowState readBack() const override { return {}; }
  void add(const std::string& event) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(event);
  }
  std::mutex lock;
  Events events;
  std::thread::id mainThread = std::this_thread::get_id();
};

using Script = std::function<void(const WindowControls&, FakeView&)>;

// Plays the session's script on a thread of its own.
struct FakeDelegate : ApplicationDelegate {
  FakeDelegate(const WindowControls& controls, FakeView& view, Script script)
      : c(controls), view(view), script(std::move(script)) {}
  ~FakeDelegate() override {
    if (session.joinable()) session.join();
    view.add("destroyed");
  }
  void applicationDidFinishLaunching() override {
    session = std::thread([this] { script(c, view); });
  }
  void windowWillClose() override {
    view.add("windowWillClose");
    c.application->stop();
  }
  bool startedTransfer() const override { return true; }
  WindowControls c;
  FakeView& view;
  Script script;
  std::thread session;
};

Events runWith(const Script& script) {
  Toolkit toolkit{makePollMainLoop(), std::make_unique<FakeView>()};
  auto& view = static_cast<FakeView&>(*toolkit.view);
  EXPECT_EQ(0, runApplication(toolkit, [&](const WindowControls& controls) {
              return std::make_unique<FakeDelegate>(controls, view, script);
            }));
  return view.events;
}

}  // namespace

TEST(ApplicationRunTest, ClosingAndStoppingFromTheSessionThreadHappenOnce) {
  Events events = runWith([](const WindowControls& c, FakeView&) {
    c.window->showUnpacking();
    c.window->close();
    c.window->close();
    c.application->stop();
    c.application->stop();
  });
  // The session's close may come before or after the launch. Its take-down,
  // dropped after the stop, is the run's once the delegate's thread is gone.
  events.erase(std::find(events.begin(), events.end(), "launched"));
  EXPECT_EQ((Events{"show", "windowWillClose", "destroyed", "takeDown"}), events);
}

TEST(ApplicationRunTest, UserCloseOnTheMainThreadTakesTheWindowDownAtOnce) {
  Events events = runWith([](const WindowControls& c, FakeView& view) {
    c.application->performAfterDelay(view.requestClose, 0.01);
    c.application->performAfterDelay(view.requestClose, 0.02);
  });
  EXPECT_EQ((Events{"show", "launched", "windowWillClose", "takeDown", "destroyed"}), events);
}

TEST(ApplicationRunTest, TheStopReleasesWaitingHandOversAndDropsLaterOnes) {
  std::atomic<int> ran{0};
  std::atomic<bool> mainBusy{false};
  // The main thread stops while the session waits for its hand-over.
  Events events = runWith([&](const WindowControls& c, FakeView&) {
    c.application->performAfterDelay(
        [&] {
          mainBusy = true;
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          c.application->stop();
        },
        0);
    while (!mainBusy) std::this_thread::yield();
    c.application->dispatchSync([&] { ++ran; });
    for (int i = 0; i < 100; ++i) {
      c.application->dispatchSync([&] { ++ran; });
      c.window->showFailure("after the stop", TextColor::kRed);
      c.window->closeAfter(0);
    }
  });
  EXPECT_EQ(0, ran.load());
  EXPECT_EQ(0, std::count(events.begin(), events.end(), "windowWillClose"));
  EXPECT_EQ("takeDown", events.back());
}

TEST(ApplicationRunTest, SignalsCloseTheWindowAndTheirHandlingComesBack) {
  static std::atomic<int> earlierHandlerRan{0};
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction earlier = {}, saved = {}, after = {};
    earlier.sa_handler = [](int) { ++earlierHandlerRan; };
    sigaction(signal, &earlier, &saved);
    Events events = runWith([signal](const WindowControls&, FakeView&) { raise(signal); });
    EXPECT_EQ(1, std::count(events.begin(), events.end(), "windowWillClose")) << signal;
    sigaction(signal, &saved, &after);
    EXPECT_EQ(earlier.sa_handler, after.sa_handler) << signal;
  }
  EXPECT_EQ(0, earlierHandlerRan.load());
}
