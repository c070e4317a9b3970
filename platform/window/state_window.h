// The download window as a state on the main thread: each event, from any
// thread, becomes one change of the state there, which the toolkit's view then
// shows and the UI trace records.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_STATE_WINDOW_H_
#define BOOTSTRAP_PLATFORM_WINDOW_STATE_WINDOW_H_

#include <atomic>
#include <functional>
#include <mutex>

#include "platform/app/main_thread_application.h"
#include "platform/window/download_window.h"
#include "platform/window/window_application.h"
#include "platform/window/window_view.h"
#include "platform/window_model/ui_trace.h"

class StateWindow : public DownloadWindow {
 public:
  // On the main thread. `trace` may be null (no UI trace); `application`,
  // `view` and `trace` outlive the window. The view's close requests close
  // the window.
  StateWindow(MainThreadApplication& application, WindowView& view, UiTrace* trace);

  // The delegate told of the window's closing; nullptr to detach it, which
  // waits for a windowWillClose running on another thread.
  void setDelegate(ApplicationDelegate* delegate);
  // Main thread: shows the window and traces every control once.
  void show();
  // Main thread, once: takes the window off the screen; traces "closed".
  void takeDown();

  void showSplash(const std::string& path) override;
  void showProgress(long long received, long long total) override;
  void showUnpacking() override;
  void showFailure(const std::string& text, TextColor color) override;
  void close() override;
  void closeAfter(double seconds) override;

 private:
  // Any thread: `edit` changes the state on the main thread; a change the
  // view then shows, and the trace records.
  void change(const std::function<void(WindowState&)>& edit);
  void traceControls();

  MainThreadApplication& application_;
  WindowView& view_;
  UiTrace* trace_;

  WindowState state_;  // main thread only
  bool shown_ = false;
  bool takenDown_ = false;

  std::mutex delegateLock_;
  ApplicationDelegate* delegate_ = nullptr;
  std::atomic<bool> closing_{false};
};

#endif  // BOOTSTRAP_PLATFORM_WINDOW_STATE_WINDOW_H_
