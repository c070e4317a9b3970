// The download window's controls as the delegate gets them: each call, from
// any thread, becomes a change of the window's state made on the main thread,
// which the window's view then shows and the UI trace records.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_WINDOW_CONTROLS_H_
#define BOOTSTRAP_PLATFORM_WINDOW_WINDOW_CONTROLS_H_

#include <atomic>
#include <functional>
#include <mutex>

#include "platform/app/main_thread_application.h"
#include "platform/window/window_application.h"
#include "platform/window/window_view.h"
#include "platform/window_model/ui_trace.h"

class WindowControlSet;

class ProgressControl : public ProgressIndicator {
 public:
  explicit ProgressControl(WindowControlSet& window) : window_(window) {}
  void setDoubleValue(double value) override;
  void setMaxValue(double maximum) override;
  double maxValue() const override;
  void setIndeterminate(bool indeterminate) override;
  void setUsesThreadedAnimation(bool threaded) override;
  void startAnimation() override;
  void stopAnimation() override;
  void incrementBy(double delta) override;

 private:
  WindowControlSet& window_;
};

class ImageControl : public ImageView {
 public:
  explicit ImageControl(WindowControlSet& window) : window_(window) {}
  void setScalesProportionally(bool proportional) override;
  void setEditable(bool editable) override;
  void setImage(const std::string& path, double width, double height) override;

 private:
  WindowControlSet& window_;
};

class StatusControl : public TextFieldCell {
 public:
  explicit StatusControl(WindowControlSet& window) : window_(window) {}
  void setUsesSingleLineMode(bool singleLine) override;
  void setStringValue(const std::string& text) override;
  void setTextColor(TextColor color) override;

 private:
  WindowControlSet& window_;
};

class ButtonControl : public Button {
 public:
  explicit ButtonControl(WindowControlSet& window) : window_(window) {}
  void setKeyEquivalent(const std::string& key) override;
  void setTitle(const std::string& title) override;
  void setEnabled(bool enabled) override;

 private:
  WindowControlSet& window_;
};

class WindowControl : public Window {
 public:
  explicit WindowControl(WindowControlSet& window) : window_(window) {}
  void layoutIfNeeded() override;
  void setViewsNeedDisplay(bool needed) override;
  void close() override;

 private:
  WindowControlSet& window_;
};

class WindowControlSet {
 public:
  // On the main thread. `trace` may be null (no UI trace); `application`,
  // `view` and `trace` outlive the set. The view's close requests close the
  // window.
  WindowControlSet(MainThreadApplication& application, WindowView& view, UiTrace* trace);

  // The controls to connect the delegate to.
  WindowControls controls();
  // The delegate told of the window's closing; nullptr to detach it, which
  // waits for a windowWillClose running on another thread.
  void setDelegate(ApplicationDelegate* delegate);

  // Main thread: shows the window and traces every control once.
  void show();
  // Any thread, once however often asked: windowWillClose on the calling
  // thread, then the window taken down on the main thread.
  void close();
  // Main thread, once: takes the window off the screen; traces "closed".
  void takeDown();

  // Any thread: `edit` changes the state on the main thread; a change the
  // view then shows, and the trace records. Dropped once the loop stopped.
  void change(const std::function<void(WindowState&)>& edit);
  // Any thread: lays out and redraws the window on the main thread.
  void refresh();
  // Any thread: the state's value.
  WindowState state() const;

 private:
  void traceControls();

  MainThreadApplication& application_;
  WindowView& view_;
  UiTrace* trace_;

  mutable std::mutex stateLock_;  // written on the main thread only
  WindowState state_;
  bool shown_ = false;
  bool takenDown_ = false;

  std::mutex delegateLock_;
  ApplicationDelegate* delegate_ = nullptr;
  std::atomic<bool> closing_{false};

  ProgressControl progress_{*this};
  ImageControl image_{*this};
  StatusControl status_{*this};
  ButtonControl button_{*this};
  WindowControl window_{*this};
};

#endif  // BOOTSTRAP_PLATFORM_WINDOW_WINDOW_CONTROLS_H_
