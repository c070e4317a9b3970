// The download window as the download drives it, in the download's own terms.
// Every call may come from any thread: it reaches the window on the main
// thread and is waited for; once the event loop has stopped, it is dropped.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_DOWNLOAD_WINDOW_H_
#define BOOTSTRAP_PLATFORM_WINDOW_DOWNLOAD_WINDOW_H_

#include <string>

#include "platform/window_model/window_state.h"

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

#endif  // BOOTSTRAP_PLATFORM_WINDOW_DOWNLOAD_WINDOW_H_
