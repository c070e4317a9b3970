// Runs the application with a scripted delegate that drives the window's
// controls from a thread of its own, as the download's session does.
//
//   window_driver SCENARIO [SPLASH_PNG]
//
// Scenarios:
//   progress   "Downloading" with ten steps of the bar (a log line midway),
//              "Initializing the installer", then a close scheduled 3 s later
//              and the loop stopped at once (the hand-off)
//   failure    three steps, then the failure display with a two-line text;
//              waits to be closed
//   unzipfail  three steps, the unpacking display (button disabled), then
//              "Failed to unzip the installer."; waits to be closed
//   hold       an animated indeterminate bar that keeps changing until the
//              window is closed, and keeps calling the controls after
//   delay      a status text and the window's closing asked for later with
//              performAfterDelay from the session's thread
//   close      the session's thread closes the window and stops the loop,
//              twice each
//   idle       starts no transfer
//
// Standard output gets, one line each, flushed: "launched", "windowWillClose"
// (every call), "session done", "returned STATUS".
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/os/process.h"
#include "platform/window/window_application.h"

namespace {

constexpr char kTwoLineFailure[] =
    "Error during the download process.\nSee the log in Console app for more information.";

void say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

class ScriptedDelegate : public ApplicationDelegate {
 public:
  ScriptedDelegate(const WindowControls& controls, std::string scenario, std::string splash)
      : c_(controls), scenario_(std::move(scenario)), splash_(std::move(splash)) {
    c_.progress->setDoubleValue(0);
    c_.progress->setMaxValue(100);
    c_.progress->setUsesThreadedAnimation(true);
    c_.downloadPercent->setUsesSingleLineMode(true);
    c_.downloadPercent->setStringValue("Downloading");
    c_.cancel->setKeyEquivalent("\r");
  }

  ~ScriptedDelegate() override {
    if (session_.joinable()) session_.join();
  }

  void applicationDidFinishLaunching() override;
  void windowWillClose() override;
  bool startedTransfer() const override { return session_.joinable(); }

 private:
  void play();
  void onMain(const std::function<void()>& work) { c_.application->dispatchSync(work); }
  // Waits `seconds` unless the window closes first: false when it closed.
  bool pause(double seconds);
  void receive(int steps);
  void showUnpacking();
  void showFailure(const std::string& message);
  void keepChanging();
  void handOff();

  WindowControls c_;
  std::string scenario_;
  std::string splash_;
  std::thread session_;
  std::mutex lock_;
  std::condition_variable closedChanged_;
  bool closed_ = false;
};

void ScriptedDelegate::applicationDidFinishLaunching() {
  say("launched");
  if (!splash_.empty()) {
    c_.image->setScalesProportionally(true);
    c_.image->setEditable(false);
    c_.image->setImage(splash_, 400, 400);
    c_.window->layoutIfNeeded();
    c_.window->setViewsNeedDisplay(true);
  }
  if (scenario_ == "idle") return;
  session_ = std::thread([this] {
    play();
    say("session done");
  });
}

void ScriptedDelegate::windowWillClose() {
  say("windowWillClose");
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
  }
  closedChanged_.notify_all();
  c_.application->stop();
}

bool ScriptedDelegate::pause(double seconds) {
  std::unique_lock<std::mutex> guard(lock_);
  return !closedChanged_.wait_for(guard, std::chrono::duration<double>(seconds),
                                  [this] { return closed_; });
}

void ScriptedDelegate::receive(int steps) {
  // The first report resets the bar from the session's thread.
  c_.progress->setDoubleValue(0);
  c_.progress->setMaxValue(1000);
  c_.progress->setIndeterminate(false);
  for (int step = 0; step < steps && pause(0.1); ++step) {
    onMain([&] {
      c_.downloadPercent->setStringValue("Downloading");
      c_.progress->incrementBy(100);
      c_.window->layoutIfNeeded();
      c_.window->setViewsNeedDisplay(true);
    });
    if (step == steps / 2) platformLog("received half of the archive");
  }
}

void ScriptedDelegate::showUnpacking() {
  onMain([&] {
    c_.downloadPercent->setStringValue("Initializing the installer");
    c_.progress->setIndeterminate(true);
    c_.progress->startAnimation();
    c_.cancel->setEnabled(false);
    c_.window->setViewsNeedDisplay(true);
    c_.window->layoutIfNeeded();
  });
}

void ScriptedDelegate::showFailure(const std::string& message) {
  onMain([&] {
    c_.cancel->setTitle("Close");
    c_.progress->stopAnimation();
    c_.progress->setIndeterminate(false);
    c_.progress->setDoubleValue(c_.progress->maxValue());
    c_.downloadPercent->setStringValue(message);
    c_.downloadPercent->setTextColor(TextColor::kRed);
    c_.window->layoutIfNeeded();
    c_.window->setViewsNeedDisplay(true);
  });
}

// Changes the window until it closes, then goes on calling the controls,
// which return at once once the loop has stopped.
void ScriptedDelegate::keepChanging() {
  c_.progress->setIndeterminate(true);
  onMain([&] { c_.progress->startAnimation(); });
  for (int step = 1; pause(0.05); ++step) {
    onMain([&] { c_.progress->setDoubleValue(step); });
  }
  for (int step = 0; step < 1000; ++step) {
    onMain([&] { c_.downloadPercent->setStringValue("after the close " + std::to_string(step)); });
    c_.progress->incrementBy(1);
  }
}

void ScriptedDelegate::handOff() {
  onMain([&] { c_.application->performAfterDelay([this] { c_.window->close(); }, 3.0); });
  c_.application->stop();
  // The loop has stopped: these are dropped.
  c_.downloadPercent->setStringValue("after the stop");
  c_.application->performAfterDelay([this] { c_.window->close(); }, 0.0);
}

void ScriptedDelegate::play() {
  if (scenario_ == "progress") {
    receive(10);
    showUnpacking();
    if (pause(0.3)) handOff();
  } else if (scenario_ == "failure") {
    receive(3);
    showFailure(kTwoLineFailure);
  } else if (scenario_ == "unzipfail") {
    receive(3);
    showUnpacking();
    showFailure("Failed to unzip the installer.");
  } else if (scenario_ == "hold") {
    keepChanging();
  } else if (scenario_ == "delay") {
    c_.application->performAfterDelay([this] { c_.downloadPercent->setStringValue("later"); }, 0.2);
    c_.application->performAfterDelay([this] { c_.window->close(); }, 0.5);
  } else if (scenario_ == "close") {
    receive(2);
    c_.window->close();
    c_.window->close();
    c_.application->stop();
    c_.application->stop();
  }
}

}  // namespace

int main(int argc, char** argv) {
  setProcessArguments(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_driver SCENARIO [SPLASH_PNG]\n");
    return 2;
  }
  std::string scenario = argv[1];
  const std::string known[] = {"progress", "failure", "unzipfail", "hold",
                               "delay",    "close",   "idle"};
  if (std::find(std::begin(known), std::end(known), scenario) == std::end(known)) {
    std::fprintf(stderr, "window_driver: unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  std::string splash = argc > 2 ? argv[2] : "";
  int status = applicationMain([&](const WindowControls& controls) {
    return std::make_unique<ScriptedDelegate>(controls, scenario, splash);
  });
  std::printf("returned %d\n", status);
  std::fflush(stdout);
  return status;
}
