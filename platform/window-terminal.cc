#include "platform/window-terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/terminal_render.h"
#include "platform/toolkit.h"

namespace {

constexpr double kAnimationSeconds = 0.1;

int terminalColumns() {
  winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

TerminalSettings currentTerminalSettings() {
  return TerminalSettings{isatty(STDERR_FILENO) == 1, isatty(STDIN_FILENO) == 1};
}

std::unique_ptr<Toolkit> openTerminalToolkit() {
  auto toolkit = std::make_unique<Toolkit>();
  toolkit->loop = makePollMainLoop();
  toolkit->view = std::make_unique<TerminalWindow>(*toolkit->loop, currentTerminalSettings());
  return toolkit;
}

TerminalWindow::TerminalWindow(MainLoop& loop, TerminalSettings settings)
    : loop_(loop), settings_(settings) {}

TerminalWindow::~TerminalWindow() { takeDown(); }

void TerminalWindow::apply(const WindowState& state) {
  if (takenDown_) return;
  {
    std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
    state_ = state;
    if (shown_ && settings_.errorIsTerminal) draw();
    if (shown_ && !settings_.errorIsTerminal) writePlain(state.status);
  }
  updateAnimation();
  if (shown_ && state.statusColor == TextColor::kRed) attend();
}

void TerminalWindow::refresh() {
  std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
  if (shown_ && !takenDown_ && settings_.errorIsTerminal) draw();
}

void TerminalWindow::show() {
  if (shown_ || takenDown_) return;
  shown_ = true;
  if (settings_.errorIsTerminal) {
    setInPlaceLine(this);
    std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
    draw();
  } else {
    writePlain(state_.status);
  }
  updateAnimation();
  if (state_.statusColor == TextColor::kRed) attend();
}

void TerminalWindow::launched(bool transferStarted) {
  if (!transferStarted) attend();
}

void TerminalWindow::takeDown() {
  if (takenDown_) return;
  bool inPlace = shown_ && settings_.errorIsTerminal;
  if (inPlace) setInPlaceLine(nullptr);  // from now on no other writer redraws the line
  takenDown_ = true;
  updateAnimation();
  if (attending_ && settings_.inputIsTerminal) loop_.unwatch(STDIN_FILENO);
  if (!inPlace) return;
  std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
  if (drawn_) write("\n");
  drawn_ = false;
}

ControlReadings TerminalWindow::readBack() const {
  std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
  ControlReadings readings;
  readings.status = state_.status;
  readings.statusColor = state_.statusColor;
  readings.progress = state_.progress;
  readings.buttonTitle = state_.buttonTitle;
  readings.buttonEnabled = state_.buttonEnabled;
  return readings;
}

void TerminalWindow::clear() {
  if (!drawn_) return;
  write("\r\033[K");
  drawn_ = false;
}

void TerminalWindow::redraw() {
  if (shown_ && !takenDown_) draw();
}

void TerminalWindow::draw() {
  std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
  std::string line = terminalLine(state_, phase_, terminalColumns(), true);
  if (drawn_ && line == drawnLine_) return;
  write("\r\033[K" + line);
  drawnLine_ = line;
  drawn_ = true;
}

void TerminalWindow::writePlain(const std::string& status) {
  if (status == plainStatus_) return;
  plainStatus_ = status;
  std::string text;
  for (const std::string& line : plainStatusLines(status)) text += line + "\n";
  std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
  write(text);
}

void TerminalWindow::write(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

void TerminalWindow::attend() {
  if (attending_ || takenDown_) return;
  attending_ = true;
  if (settings_.inputIsTerminal) {
    loop_.watch(STDIN_FILENO, [this] { readInput(); });
  } else {
    loop_.addTimer(0, false, [this] { requestClose(); });
  }
}

void TerminalWindow::readInput() {
  char buffer[256];
  ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
  bool lineEnded = count > 0 && std::memchr(buffer, '\n', static_cast<size_t>(count)) != nullptr;
  if (count > 0 && !lineEnded) return;
  // Return, or the input's end (or error): nobody can press Return any more.
  loop_.unwatch(STDIN_FILENO);
  requestClose();
}

void TerminalWindow::updateAnimation() {
  bool moving = settings_.errorIsTerminal && shown_ && !takenDown_ &&
                state_.progress.indeterminate && state_.progress.animating;
  if (moving && animation_ == 0) {
    animation_ = loop_.addTimer(kAnimationSeconds, true, [this] {
      std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
      ++phase_;
      draw();
    });
  } else if (!moving && animation_ != 0) {
    loop_.cancelTimer(animation_);
    animation_ = 0;
  }
}
