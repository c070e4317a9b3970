#include "platform/terminal/window-terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/app/self_pipe.h"
#include "platform/terminal/terminal_render.h"
#include "platform/window/toolkit.h"

namespace {

constexpr double kAnimationSeconds = 0.1;

int terminalColumns() {
  winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The write end of the watch's pipe, for the signal handler.
volatile sig_atomic_t resizeNotifyFd = -1;

void onResize(int) {
  int savedErrno = errno;
  if (resizeNotifyFd >= 0) SelfPipe::notifyFd(resizeNotifyFd, 0);
  errno = savedErrno;
}

}  // namespace

// SIGWINCH as a byte on a self-pipe that the main loop watches; the handling
// there was before comes back when the watch ends. One at a time.
class ResizeWatch {
 public:
  ResizeWatch(MainLoop& loop, std::function<void()> onResized) : loop_(loop) {
    resizeNotifyFd = pipe_.writeFd();
    struct sigaction action = {};
    action.sa_handler = &onResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, &saved_);
    loop_.watch(pipe_.readFd(), [this, onResized] {
      pipe_.drain();
      onResized();
    });
  }
  ~ResizeWatch() {
    sigaction(SIGWINCH, &saved_, nullptr);
    resizeNotifyFd = -1;
    loop_.unwatch(pipe_.readFd());
  }
  ResizeWatch(const ResizeWatch&) = delete;
  ResizeWatch& operator=(const ResizeWatch&) = delete;

 private:
  MainLoop& loop_;
  SelfPipe pipe_;
  struct sigaction saved_;
};

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
    if (shown_ && settings_.errorIsTerminal) showFailureInFull();
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
    watchResizes(true);
    silenceInput(true);
    std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
    showFailureInFull();
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
  watchResizes(false);
  silenceInput(false);
  if (attending_ && settings_.inputIsTerminal) loop_.unwatch(STDIN_FILENO);
  if (!inPlace) return;
  std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
  if (drawn_) write("\n");
  drawn_ = false;
}

ControlReadings TerminalWindow::readBack() const {
  std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
  return readingsOf(state_);
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

void TerminalWindow::showFailureInFull() {
  if (state_.statusColor != TextColor::kRed || state_.status == failureInFull_) return;
  failureInFull_ = state_.status;
  // Above the line, as another writer's lines: the terminal wraps them, so
  // that the whole text reads however narrow the line is cut.
  clear();
  std::string text;
  for (const std::string& line : plainStatusLines(state_.status)) text += line + "\n";
  write(text);
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

void TerminalWindow::watchResizes(bool on) {
  if (!on) {
    resizes_.reset();
  } else if (resizes_ == nullptr) {
    // draw() asks the terminal's width each time: the new width applies.
    resizes_ = std::make_unique<ResizeWatch>(loop_, [this] { refresh(); });
  }
}

void TerminalWindow::silenceInput(bool on) {
  if (!on) {
    if (savedInput_ != nullptr) tcsetattr(STDIN_FILENO, TCSANOW, savedInput_.get());
    savedInput_.reset();
    return;
  }
  if (!settings_.inputIsTerminal || savedInput_ != nullptr) return;
  // A run in the background of a shell leaves the terminal alone (changing
  // it would stop the process with SIGTTOU).
  pid_t foreground = tcgetpgrp(STDIN_FILENO);
  if (foreground != -1 && foreground != getpgrp()) return;
  auto saved = std::make_unique<termios>();
  if (tcgetattr(STDIN_FILENO, saved.get()) != 0) return;
  termios quiet = *saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0) savedInput_ = std::move(saved);
}
