// The download window's application: the main thread's event loop as other
// threads reach it, the window as the download drives it, the delegate it
// drives, and the run of the whole on the main thread.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_WINDOW_APPLICATION_H_
#define BOOTSTRAP_PLATFORM_WINDOW_WINDOW_APPLICATION_H_

#include <functional>
#include <memory>
#include <string>

#include "platform/window_model/window_state.h"

class Application {
 public:
  virtual ~Application() = default;
  // Ends the event loop; from any thread, once however often asked.
  virtual void stop() = 0;
  // Runs `work` on the main thread and waits for it; at once when called on
  // the main thread. Once the loop has stopped, `work` is dropped and the call
  // returns at once, so no thread can block on the main thread any more.
  virtual void dispatchSync(const std::function<void()>& work) = 0;
  // Runs `work` on the main thread's event loop `seconds` later, unless the
  // loop has stopped by then.
  virtual void performAfterDelay(const std::function<void()>& work, double seconds) = 0;
};

// The download window in the download's own terms. Every call may come from
// any thread: it reaches the window on the main thread and is waited for;
// once the event loop has stopped, it is dropped.
class DownloadWindow {
 public:
  virtual ~DownloadWindow() = default;
  // The PNG at `path`, scaled into the splash's 400 x 400 points, keeping its
  // proportions.
  virtual void showSplash(const std::string& path) = 0;
  // The transfer: "Downloading", the bar at `received` of `total` bytes; an
  // unknown total (-1) makes the bar indeterminate, and still.
  virtual void showProgress(long long received, long long total) = 0;
  // "Initializing the installer", a moving indeterminate bar, the button
  // disabled.
  virtual void showUnpacking() = 0;
  // The final failure display: `text` in `color`, the bar full and still, the
  // button titled "Close". The window stays until it is closed.
  virtual void showFailure(const std::string& text, TextColor color) = 0;
  // Closes the window, once however often asked: the delegate's
  // windowWillClose on the calling thread, then the window taken down on the
  // main thread.
  virtual void close() = 0;
  // Closes the window `seconds` later on the main loop, unless the loop has
  // stopped by then.
  virtual void closeAfter(double seconds) = 0;
};

// What the main interface description connects the delegate to.
struct WindowControls {
  Application* application;
  DownloadWindow* window;
};

// The application's and the window's delegate.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // On the main thread, once the window is shown.
  virtual void applicationDidFinishLaunching() = 0;
  // When the window is about to close, on the thread that closes it.
  virtual void windowWillClose() = 0;
  // Whether applicationDidFinishLaunching started a transfer. When it did
  // not, nothing will ever change in the window: an unattended terminal
  // window closes at once instead of waiting.
  virtual bool startedTransfer() const = 0;
};

using DelegateFactory =
    std::function<std::unique_ptr<ApplicationDelegate>(const WindowControls& controls)>;

// Runs the application on the calling (main) thread: creates the window (GTK
// when built with it and a display can be opened, else the terminal window),
// has `makeDelegate` create the one delegate connected to its controls, shows
// the window, delivers applicationDidFinishLaunching and runs the event loop
// until stop(). Then hand-overs are released, pending timers never fire, the
// delegate is destroyed and the window taken down. Returns 0. While it runs,
// SIGINT and SIGTERM close the window; the handling they had before comes
// back at the end.
int applicationMain(const DelegateFactory& makeDelegate);

#endif  // BOOTSTRAP_PLATFORM_WINDOW_WINDOW_APPLICATION_H_
