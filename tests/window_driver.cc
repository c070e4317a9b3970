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
//   hold       the unpacking display, then an indeterminate bar that keeps
//              changing until the window is closed, and keeps calling the
//              window after
//   idle       starts no transfer
//
// Standard output gets, one line each, flushed: "launched", "windowWillClose"
// (every call), "session done", "returned STATUS".
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "platform/os/process.h"
#include "platform/window/window_application.h"

namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

class ScriptedDelegate : public ApplicationDelegate {
 public:
  ScriptedDelegate(const WindowControls& controls, std::string scenario, std::string splash)
      : c_(controls), scenario_(std::move(scenario)), splash_(std::move(splash)) {}
  ~ScriptedDelegate() override {
    if (session_.joinable()) session_.join();
  }

  void applicationDidFinishLaunching() override {
    say("launched");
    if (!splash_.empty()) c_.window->showSplash(splash_);
    if (scenario_ == "idle") return;
    session_ = std::thread([this] {
      play();
      say("session done");
    });
  }

  void windowWillClose() override {
    say("windowWillClose");
    {
      std::lock_guard<std::mutex> guard(lock_);
      closed_ = true;
    }
    closedChanged_.notify_all();
    c_.application->stop();
  }

  bool startedTransfer() const override { return session_.joinable(); }

 private:
  void play() {
    if (scenario_ == "hold") {
      // Changes the window until it closes, then goes on calling it, which
      // returns at once once the loop has stopped.
      c_.window->showUnpacking();
      for (int step = 1; pause(0.05); ++step) c_.window->showProgress(step, -1);
      for (int step = 0; step < 1000; ++step) {
        c_.window->showFailure("after the close " + std::to_string(step), TextColor::kDefault);
      }
      return;
    }
    receive(scenario_ == "progress" ? 10 : 3);
    if (scenario_ == "failure") {
      return c_.window->showFailure(
          "Error during the download process.\nSee the log in Console app for more information.",
          TextColor::kRed);
    }
    c_.window->showUnpacking();
    if (scenario_ == "unzipfail") {
      c_.window->showFailure("Failed to unzip the installer.", TextColor::kRed);
    } else if (pause(0.3)) {  // the hand-off; the calls after the stop are dropped
      c_.window->closeAfter(3.0);
      c_.application->stop();
      c_.window->showFailure("after the stop", TextColor::kRed);
      c_.window->closeAfter(0.0);
    }
  }

  // Waits `seconds` unless the window closes first: false when it closed.
  bool pause(double seconds) {
    std::unique_lock<std::mutex> guard(lock_);
    return !closedChanged_.wait_for(guard, std::chrono::duration<double>(seconds),
                                    [this] { return closed_; });
  }

  void receive(int steps) {
    c_.window->showProgress(0, 1000);  // the first report resets the bar
    for (int step = 0; step < steps && pause(0.1); ++step) {
      c_.window->showProgress(100 * (step + 1), 1000);
      if (step == steps / 2) platformLog("received half of the archive");
    }
  }

  WindowControls c_;
  std::string scenario_, splash_;
  std::thread session_;
  std::mutex lock_;
  std::condition_variable closedChanged_;
  bool closed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  setProcessArguments(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_driver SCENARIO [SPLASH_PNG]\n");
    return 2;
  }
  std::string scenario = argv[1];
  const std::string known[] = {"progress", "failure", "unzipfail", "hold", "idle"};
  if (std::find(std::begin(known), std::end(known), scenario) == std::end(known)) {
    std::fprintf(stderr, "window_driver: unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  std::string splash = argc > 2 ? argv[2] : "";
  int status = applicationMain([&](const WindowControls& controls) {
    return std::make_unique<ScriptedDelegate>(controls, scenario, splash);
  });
  say("returned " + std::to_string(status));
  return status;
}
