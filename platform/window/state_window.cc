// The download window as a state on the main thread: each event, from any
// thread, is handed over to the main thread (the giver waiting for it) and
// becomes one change of the state there, which the toolkit's view then shows
// and the UI trace records.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/app/main_loop.h"
#include "platform/window/toolkit.h"

namespace {

class StateWindow : public Application, public DownloadWindow {
 public:
  // On the main thread; `loop`, `view` and `trace` (null: none) outlive it.
  // Until it is destroyed, SIGINT and SIGTERM close the window.
  StateWindow(MainLoop& loop, WindowView& view, UiTrace* trace)
      : loop_(loop), view_(view), pipe_(loop, [this](const std::string& bytes) {
          if (bytes.find_first_not_of('\0') != std::string::npos) close();
          if (!stopped()) runPending();
        }) {
    pipe_.catchSignals({SIGINT, SIGTERM}, true);
    view_.requestClose = [this] { close(); };
    view_.trace = trace;
    view_.apply(state_);
  }

  // applicationMain's run, in this window.
  void run(const DelegateFactory& makeDelegate) {
    std::unique_ptr<ApplicationDelegate> delegate = makeDelegate(WindowControls{this, this});
    if (delegate != nullptr) {
      setDelegate(delegate.get());
      if (!takenDown_) {
        shown_ = true;
        view_.show();
        changed();
      }
      delegate->applicationDidFinishLaunching();
      view_.launched(delegate->startedTransfer());
      while (!stopped()) loop_.iterate();
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      released_ = true;
      pending_.clear();
    }
    handedOver_.notify_all();
    setDelegate(nullptr);  // waits for a windowWillClose on another thread
    delegate.reset();      // joins the session's thread
    takeDown();
  }

  void stop() override {
    if (!stopped_.exchange(true)) pipe_.write(0);
  }

  void dispatchSync(const std::function<void()>& work) override {
    if (std::this_thread::get_id() == mainThread_) return work();
    if (stopped()) return;
    std::unique_lock<std::mutex> guard(lock_);
    if (released_) return;
    pending_.push_back(&work);
    unsigned long long ticket = ++handedOverCount_;
    pipe_.write(0);
    handedOver_.wait(guard, [&] { return doneCount_ >= ticket || released_; });
  }

  void performAfterDelay(const std::function<void()>& work, double seconds) override {
    dispatchSync([&] {
      if (stopped()) return;
      loop_.addTimer(seconds, false, [this, work] {
        if (!stopped()) work();
      });
    });
  }

  void showSplash(const std::string& path) override {
    change([&](WindowState& s) { s.splashPath = path; });
  }

  void showProgress(long long received, long long total) override {
    change([&](WindowState& s) {
      s.status = "Downloading";
      s.progress.value = static_cast<double>(received);
      if (total != -1) s.progress.maximum = static_cast<double>(total);
      s.progress.indeterminate = total == -1;
    });
  }

  void showUnpacking() override {
    change([](WindowState& s) {
      s.status = "Initializing the installer";
      s.progress.indeterminate = true;
      s.progress.animating = true;
      s.buttonEnabled = false;
    });
  }

  void showFailure(const std::string& text, TextColor color) override {
    change([&](WindowState& s) {
      s.buttonTitle = "Close";
      s.progress = ProgressState{s.progress.maximum, s.progress.maximum, false, false};
      s.status = text;
      s.statusColor = color;
    });
  }

  void close() override {
    if (closing_.exchange(true)) return;
    {
      std::lock_guard<std::mutex> guard(delegateLock_);
      if (delegate_ != nullptr) delegate_->windowWillClose();
    }
    // Dropped once the loop has stopped: the run takes the window down then.
    dispatchSync([this] { takeDown(); });
  }

  void closeAfter(double seconds) override {
    performAfterDelay([this] { close(); }, seconds);
  }

 private:
  bool stopped() const { return stopped_.load(); }

  // Main thread: the work handed over so far, in order.
  void runPending() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!released_ && !pending_.empty()) {
      const std::function<void()>* work = pending_.front();
      pending_.pop_front();
      guard.unlock();
      (*work)();
      guard.lock();
      ++doneCount_;
      handedOver_.notify_all();
    }
  }

  void setDelegate(ApplicationDelegate* delegate) {
    std::lock_guard<std::mutex> guard(delegateLock_);
    delegate_ = delegate;
  }

  // Main thread, once.
  void takeDown() {
    if (takenDown_) return;
    takenDown_ = true;
    changed();
    view_.takeDown();
    if (view_.trace != nullptr && shown_) view_.trace->recordClosed();
  }

  // Any thread: `edit` changes the state on the main thread.
  void change(const std::function<void(WindowState&)>& edit) {
    dispatchSync([&] {
      if (takenDown_) return;
      edit(state_);
      view_.apply(state_);
      changed();
    });
  }

  // Main thread, once the view shows a change: its UI trace lines, and its
  // animation every 0.1 s while the shown bar moves.
  void changed() {
    bool live = shown_ && !takenDown_;
    if (live && view_.trace != nullptr) view_.trace->record(view_.readBack());
    bool moving = live && state_.progress.indeterminate && state_.progress.animating;
    if (moving && animation_ == 0) {
      animation_ = loop_.addTimer(0.1, true, [this] { view_.animate(); });
    } else if (!moving && animation_ != 0) {
      loop_.cancelTimer(std::exchange(animation_, 0));
    }
  }

  MainLoop& loop_;
  WindowView& view_;
  const std::thread::id mainThread_ = std::this_thread::get_id();
  std::atomic<bool> stopped_{false};

  // The hand-overs, each waited for until the main thread has run it; in order.
  std::mutex lock_;
  std::condition_variable handedOver_;
  std::deque<const std::function<void()>*> pending_;
  unsigned long long handedOverCount_ = 0, doneCount_ = 0;
  bool released_ = false;  // after the run: no more hand-overs

  // Main thread only.
  WindowState state_;
  bool shown_ = false;
  bool takenDown_ = false;
  MainLoop::TimerId animation_ = 0;

  std::mutex delegateLock_;
  ApplicationDelegate* delegate_ = nullptr;
  std::atomic<bool> closing_{false};
  SelfPipe pipe_;  // wakes the loop: 0 for a hand-over or the stop, else a signal's number
};

}  // namespace

int runApplication(Toolkit& toolkit, const DelegateFactory& makeDelegate) {
  std::unique_ptr<UiTrace> trace = UiTrace::fromEnvironment();
  StateWindow(*toolkit.loop, *toolkit.view, trace.get()).run(makeDelegate);
  return 0;
}

int applicationMain(const DelegateFactory& makeDelegate) {
  std::unique_ptr<Toolkit> toolkit = openGtkToolkit();
  if (toolkit == nullptr) toolkit = openTerminalToolkit();
  return runApplication(*toolkit, makeDelegate);
}
