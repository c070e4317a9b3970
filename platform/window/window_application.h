// The download window's application: the delegate it drives, the controls
// connected to it, and the run of the whole on the main thread.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_WINDOW_APPLICATION_H_
#define BOOTSTRAP_PLATFORM_WINDOW_WINDOW_APPLICATION_H_

#include <functional>
#include <memory>

#include "platform/app/application.h"
#include "platform/window/download_window.h"

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
// until stop(). Then pending timers are cancelled, hand-overs are released,
// the delegate is destroyed and the window taken down. Returns 0. While it
// runs, SIGINT and SIGTERM close the window; the handling they had before
// comes back at the end.
int applicationMain(const DelegateFactory& makeDelegate);

#endif  // BOOTSTRAP_PLATFORM_WINDOW_WINDOW_APPLICATION_H_
