// The download window as one toolkit draws it. Main thread only.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_WINDOW_VIEW_H_
#define BOOTSTRAP_PLATFORM_WINDOW_WINDOW_VIEW_H_

#include <functional>
#include <string>
#include <utility>

#include "platform/window_model/ui_trace.h"
#include "platform/window_model/window_state.h"

class WindowView {
 public:
  virtual ~WindowView() = default;

  // Called when the user asks to close the window (its button, its close box,
  // Return, a terminal's Return after a failure) or when the window closes by
  // itself as if the user had closed it.
  void setCloseRequest(std::function<void()> request) { closeRequest_ = std::move(request); }
  // Where the view's own trace lines go (the UI trace, when there is one).
  void setTraceWriter(std::function<void(const std::string&)> writer) {
    traceWriter_ = std::move(writer);
  }

  // Makes the controls show `state`; before show() too.
  virtual void apply(const WindowState& state) = 0;
  // Lays the window out and redraws it now.
  virtual void refresh() = 0;
  virtual void show() = 0;
  // After applicationDidFinishLaunching: whether it started a transfer.
  virtual void launched(bool transferStarted) = 0;
  // Takes the window off the screen for good; apply() changes nothing after.
  virtual void takeDown() = 0;
  // The controls as they show now, read back from them.
  virtual ControlReadings readBack() const = 0;

 protected:
  void requestClose() const {
    if (closeRequest_) closeRequest_();
  }
  // Appends whole lines of the view's own to the UI trace.
  void writeTrace(const std::string& lines) const {
    if (traceWriter_) traceWriter_(lines);
  }

 private:
  std::function<void()> closeRequest_;
  std::function<void(const std::string&)> traceWriter_;
};

#endif  // BOOTSTRAP_PLATFORM_WINDOW_WINDOW_VIEW_H_
