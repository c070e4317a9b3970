// The download window as a state on the main thread: each event, from any
// thread, becomes one change of the state there, which the toolkit's view then
// shows and the UI trace records.
#include <atomic>
#include <mutex>

#include "platform/app/main_thread_application.h"
#include "platform/window/toolkit.h"

namespace {

class StateWindow : public DownloadWindow {
 public:
  // On the main thread; `loop`, `view` and `trace` (null: none) outlive it.
  StateWindow(MainLoop& loop, WindowView& view, UiTrace* trace)
      : application_(loop, [this] { close(); }), view_(view), trace_(trace) {
    view_.requestClose = [this] { close(); };
    view_.trace = trace;
    view_.apply(state_);
  }

  // The whole run: the delegate made, launched, the loop run until stop(),
  // then the delegate destroyed and the window taken down.
  void run(const DelegateFactory& makeDelegate) {
    std::unique_ptr<ApplicationDelegate> delegate =
        makeDelegate(WindowControls{&application_, this});
    if (delegate != nullptr) {
      setDelegate(delegate.get());
      if (!takenDown_) {
        shown_ = true;
        view_.show();
        traceControls();
      }
      delegate->applicationDidFinishLaunching();
      view_.launched(delegate->startedTransfer());
      application_.run();
    }
    application_.release();
    setDelegate(nullptr);  // waits for a windowWillClose on another thread
    delegate.reset();      // joins the session's thread
    takeDown();
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
    application_.dispatchSync([this] { takeDown(); });
  }

  void closeAfter(double seconds) override {
    application_.performAfterDelay([this] { close(); }, seconds);
  }

 private:
  void setDelegate(ApplicationDelegate* delegate) {
    std::lock_guard<std::mutex> guard(delegateLock_);
    delegate_ = delegate;
  }

  // Main thread, once.
  void takeDown() {
    if (takenDown_) return;
    takenDown_ = true;
    view_.takeDown();
    if (trace_ != nullptr && shown_) trace_->recordClosed();
  }

  // Any thread: `edit` changes the state on the main thread.
  void change(const std::function<void(WindowState&)>& edit) {
    application_.dispatchSync([&] {
      if (takenDown_) return;
      edit(state_);
      view_.apply(state_);
      traceControls();
    });
  }

  void traceControls() {
    if (trace_ != nullptr && shown_ && !takenDown_) trace_->record(view_.readBack());
  }

  MainThreadApplication application_;
  WindowView& view_;
  UiTrace* trace_;
  WindowState state_;  // main thread only
  bool shown_ = false;
  bool takenDown_ = false;
  std::mutex delegateLock_;
  ApplicationDelegate* delegate_ = nullptr;
  std::atomic<bool> closing_{false};
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
