#include "platform/window/window_controls.h"

void ProgressControl::setDoubleValue(double value) {
  window_.change([&](WindowState& s) { s.progress.value = value; });
}

void ProgressControl::setMaxValue(double maximum) {
  window_.change([&](WindowState& s) { s.progress.maximum = maximum; });
}

double ProgressControl::maxValue() const { return window_.state().progress.maximum; }

void ProgressControl::setIndeterminate(bool indeterminate) {
  window_.change([&](WindowState& s) { s.progress.indeterminate = indeterminate; });
}

void ProgressControl::setUsesThreadedAnimation(bool threaded) {
  window_.change([&](WindowState& s) { s.threadedAnimation = threaded; });
}

void ProgressControl::startAnimation() {
  window_.change([](WindowState& s) { s.progress.animating = true; });
}

void ProgressControl::stopAnimation() {
  window_.change([](WindowState& s) { s.progress.animating = false; });
}

void ProgressControl::incrementBy(double delta) {
  window_.change([&](WindowState& s) { s.progress.value += delta; });
}

void ImageControl::setScalesProportionally(bool proportional) {
  window_.change([&](WindowState& s) { s.scalesProportionally = proportional; });
}

void ImageControl::setEditable(bool editable) {
  window_.change([&](WindowState& s) { s.imageEditable = editable; });
}

void ImageControl::setImage(const std::string& path, double width, double height) {
  window_.change([&](WindowState& s) {
    s.splashPath = path;
    s.splashWidth = width;
    s.splashHeight = height;
  });
}

void StatusControl::setUsesSingleLineMode(bool singleLine) {
  window_.change([&](WindowState& s) { s.singleLineMode = singleLine; });
}

void StatusControl::setStringValue(const std::string& text) {
  window_.change([&](WindowState& s) { s.status = text; });
}

void StatusControl::setTextColor(TextColor color) {
  window_.change([&](WindowState& s) { s.statusColor = color; });
}

void ButtonControl::setKeyEquivalent(const std::string& key) {
  window_.change([&](WindowState& s) { s.keyEquivalent = key; });
}

void ButtonControl::setTitle(const std::string& title) {
  window_.change([&](WindowState& s) { s.buttonTitle = title; });
}

void ButtonControl::setEnabled(bool enabled) {
  window_.change([&](WindowState& s) { s.buttonEnabled = enabled; });
}

void WindowControl::layoutIfNeeded() { window_.refresh(); }

void WindowControl::setViewsNeedDisplay(bool needed) {
  if (needed) window_.refresh();
}

void WindowControl::close() { window_.close(); }

WindowControlSet::WindowControlSet(MainThreadApplication& application, WindowView& view,
                                   UiTrace* trace)
    : application_(application), view_(view), trace_(trace) {
  view_.setCloseRequest([this] { close(); });
  view_.apply(state_);
}

WindowControls WindowControlSet::controls() {
  return WindowControls{&application_, &window_, &image_, &progress_, &status_, &button_};
}

void WindowControlSet::setDelegate(ApplicationDelegate* delegate) {
  std::lock_guard<std::mutex> guard(delegateLock_);
  delegate_ = delegate;
}

void WindowControlSet::show() {
  if (shown_ || takenDown_) return;
  shown_ = true;
  view_.show();
  traceControls();
}

void WindowControlSet::close() {
  if (closing_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> guard(delegateLock_);
    if (delegate_ != nullptr) delegate_->windowWillClose();
  }
  // Dropped once the loop has stopped: the run takes the window down then.
  application_.dispatchSync([this] { takeDown(); });
}

void WindowControlSet::takeDown() {
  if (takenDown_) return;
  takenDown_ = true;
  view_.takeDown();
  if (trace_ != nullptr && shown_) trace_->recordClosed();
}

void WindowControlSet::change(const std::function<void(WindowState&)>& edit) {
  application_.dispatchSync([&] {
    {
      std::lock_guard<std::mutex> guard(stateLock_);
      WindowState edited = state_;
      edit(edited);
      if (edited == state_) return;
      state_ = edited;
    }
    view_.apply(state_);
    traceControls();
  });
}

void WindowControlSet::refresh() {
  application_.dispatchSync([this] { view_.refresh(); });
}

WindowState WindowControlSet::state() const {
  std::lock_guard<std::mutex> guard(stateLock_);
  return state_;
}

void WindowControlSet::traceControls() {
  if (trace_ != nullptr && shown_ && !takenDown_) trace_->record(view_.readBack());
}
