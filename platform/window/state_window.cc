#include "platform/window/state_window.h"

StateWindow::StateWindow(MainThreadApplication& application, WindowView& view, UiTrace* trace)
    : application_(application), view_(view), trace_(trace) {
  view_.setCloseRequest([this] { close(); });
  view_.setTraceWriter([this](const std::string& lines) {
    if (trace_ != nullptr) trace_->writeLines(lines);
  });
  view_.apply(state_);
}

void StateWindow::setDelegate(ApplicationDelegate* delegate) {
  std::lock_guard<std::mutex> guard(delegateLock_);
  delegate_ = delegate;
}

void StateWindow::show() {
  if (shown_ || takenDown_) return;
  shown_ = true;
  view_.show();
  traceControls();
}

void StateWindow::takeDown() {
  if (takenDown_) return;
  takenDown_ = true;
  view_.takeDown();
  if (trace_ != nullptr && shown_) trace_->recordClosed();
}

void StateWindow::showSplash(const std::string& path) {
  change([&](WindowState& s) { s.splashPath = path; });
}

void StateWindow::showProgress(long long received, long long total) {
  change([&](WindowState& s) {
    s.status = "Downloading";
    s.progress.value = static_cast<double>(received);
    if (total != -1) s.progress.maximum = static_cast<double>(total);
    s.progress.indeterminate = total == -1;
  });
}

void StateWindow::showUnpacking() {
  change([](WindowState& s) {
    s.status = "Initializing the installer";
    s.progress.indeterminate = true;
    s.progress.animating = true;
    s.buttonEnabled = false;
  });
}

void StateWindow::showFailure(const std::string& text, TextColor color) {
  change([&](WindowState& s) {
    s.buttonTitle = "Close";
    s.progress = ProgressState{s.progress.maximum, s.progress.maximum, false, false};
    s.status = text;
    s.statusColor = color;
  });
}

void StateWindow::close() {
  if (closing_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> guard(delegateLock_);
    if (delegate_ != nullptr) delegate_->windowWillClose();
  }
  // Dropped once the loop has stopped: the run takes the window down then.
  application_.dispatchSync([this] { takeDown(); });
}

void StateWindow::closeAfter(double seconds) {
  application_.performAfterDelay([this] { close(); }, seconds);
}

void StateWindow::change(const std::function<void(WindowState&)>& edit) {
  application_.dispatchSync([&] {
    WindowState edited = state_;
    edit(edited);
    if (edited == state_ || takenDown_) return;
    state_ = edited;
    view_.apply(state_);
    traceControls();
  });
}

void StateWindow::traceControls() {
  if (trace_ != nullptr && shown_ && !takenDown_) trace_->record(view_.readBack());
}
