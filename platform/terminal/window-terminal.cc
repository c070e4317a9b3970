// The terminal window: the download window on standard error, for runs without
// a display. On a terminal: one line redrawn in place (a bar and the status
// text, cut to the terminal's width, redrawn when that changes), other writers'
// lines and a failure's whole text above it, a line feed at the close; input
// echo stays off meanwhile, so that the line stays whole. Elsewhere: each new
// status text as plain lines. After a failure, or when no transfer started, it
// waits for Return on a terminal, else closes at once.
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/stderr_lock.h"
#include "platform/app/main_loop.h"
#include "platform/window/toolkit.h"

namespace {

// Cells between the bar's brackets: a third of the terminal's width, within
// these bounds (20 on 60 columns, 26 on 80); and the cells of an
// indeterminate bar's segment.
constexpr int kMinBarCells = 10;
constexpr int kMaxBarCells = 40;
constexpr int kSegmentCells = 5;

int terminalColumns() {
  winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The first `count` UTF-8 characters of `text`; `count` is lowered by the
// characters taken.
std::string firstCharacters(const std::string& text, int& count) {
  size_t end = 0;
  for (; end < text.size(); ++end) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) continue;  // not a first byte
    if (count == 0) break;
    --count;
  }
  return text.substr(0, end);
}

// "[" + `cells` cells + "]". Determinate: the bar's fraction of the cells '#',
// the rest '-'. Indeterminate: a segment of '#' that bounces from end to end
// as `phase` counts up.
std::string terminalBar(const ProgressState& progress, int phase, int cells) {
  cells = std::max(cells, kSegmentCells);
  std::string bar(cells, '-');
  if (progress.indeterminate) {
    const int travel = cells - kSegmentCells;
    int step = travel == 0 ? 0 : phase % (2 * travel);
    if (step < 0) step += 2 * travel;
    bar.replace(step <= travel ? step : 2 * travel - step, kSegmentCells, kSegmentCells, '#');
  } else {
    int filled = static_cast<int>(std::floor(progressFraction(progress) * cells));
    bar.replace(0, filled, filled, '#');
  }
  return "[" + bar + "]";
}

// The in-place line for a terminal `columns` wide: the bar sized to it, a
// blank and the status text with every control character (a line feed too) as
// a blank, cut to `columns` characters (a UTF-8 character counts one). A red
// status text is put between the escape codes for red and back, which count
// nothing.
std::string terminalLine(const WindowState& state, int phase, int columns) {
  int room = std::max(columns, 0);
  std::string bar = terminalBar(state.progress, phase,
                                std::min(kMaxBarCells, std::max(kMinBarCells, columns / 3)));
  std::string line = firstCharacters(bar + " ", room);
  std::string status = state.status;
  for (char& c : status) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  status = firstCharacters(status, room);
  if (state.statusColor == TextColor::kRed && !status.empty()) {
    return line + "\033[31m" + status + "\033[0m";
  }
  return line + status;
}

// The plain lines that show a status text, each ended: one per line of it;
// none for the empty text.
std::string plainStatusLines(const std::string& text) { return text.empty() ? "" : text + "\n"; }

void write(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

class TerminalWindow : public WindowView, private InPlaceLine {
 public:
  explicit TerminalWindow(MainLoop& loop)
      : loop_(loop),
        errorIsTerminal_(isatty(STDERR_FILENO) == 1),
        inputIsTerminal_(isatty(STDIN_FILENO) == 1) {}
  ~TerminalWindow() override { takeDown(); }

  void apply(const WindowState& state) override {
    {
      std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
      state_ = state;
    }
    if (shown_) present();
  }

  void show() override {
    shown_ = true;
    if (errorIsTerminal_) {
      setInPlaceLine(this);
      // draw() asks the terminal's width each time: the new width applies.
      resizes_ = std::make_unique<SelfPipe>(loop_, [this](const std::string&) {
        std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
        redraw();
      });
      resizes_->catchSignals({SIGWINCH}, false);
      silenceInput();
    }
    present();
  }

  void launched(bool transferStarted) override {
    if (!transferStarted) attend();
  }

  void animate() override {
    std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
    ++phase_;
    if (errorIsTerminal_) draw();
  }

  void takeDown() override {
    if (takenDown_) return;
    bool inPlace = shown_ && errorIsTerminal_;
    if (inPlace) setInPlaceLine(nullptr);  // from now on no other writer redraws the line
    takenDown_ = true;
    resizes_.reset();
    if (savedInput_ != nullptr) tcsetattr(STDIN_FILENO, TCSANOW, savedInput_.get());
    if (attending_ && inputIsTerminal_) loop_.unwatch(STDIN_FILENO);
    if (!inPlace) return;
    std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
    if (drawn_) write("\n");
    drawn_ = false;
  }

  WindowState readBack() const override {
    std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
    return state_;
  }

 private:
  // InPlaceLine, holding standardErrorLock().
  void clear() override {
    if (drawn_) write("\r\033[K");
    drawn_ = false;
  }
  void redraw() override {
    if (shown_ && !takenDown_) draw();
  }

  // Shows state_, once the window is shown.
  void present() {
    std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
    if (errorIsTerminal_) {
      showFailureInFull();
      draw();
    } else if (state_.status != plainStatus_) {
      plainStatus_ = state_.status;
      write(plainStatusLines(plainStatus_));
    }
    if (state_.statusColor == TextColor::kRed) attend();
  }

  // Draws the line unless it stands there as it is.
  void draw() {
    std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
    std::string line = terminalLine(state_, phase_, terminalColumns());
    if (drawn_ && line == drawnLine_) return;
    write("\r\033[K" + line);
    drawnLine_ = line;
    drawn_ = true;
  }

  // A failure's text, whole, once above the line (which cuts it): as another
  // writer's lines, which the terminal wraps, so that the whole text reads
  // however narrow the line is cut.
  void showFailureInFull() {
    if (state_.statusColor != TextColor::kRed || state_.status == failureInFull_) return;
    failureInFull_ = state_.status;
    clear();
    write(plainStatusLines(state_.status));
  }

  // Waits for Return, or closes at once when nobody can press it.
  void attend() {
    if (attending_ || takenDown_) return;
    attending_ = true;
    if (inputIsTerminal_) {
      loop_.watch(STDIN_FILENO, [this] { readInput(); });
    } else {
      loop_.addTimer(0, false, [this] { requestClose(); });
    }
  }

  void readInput() {
    char buffer[256];
    ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
    bool lineEnded = count > 0 && std::memchr(buffer, '\n', static_cast<size_t>(count)) != nullptr;
    if (count > 0 && !lineEnded) return;
    // Return, or the input's end (or error): nobody can press Return any more.
    loop_.unwatch(STDIN_FILENO);
    requestClose();
  }

  // Turns the input terminal's echo off until the window is taken down. A run
  // in the background of a shell leaves the terminal alone (changing it would
  // stop the process with SIGTTOU).
  void silenceInput() {
    pid_t foreground = tcgetpgrp(STDIN_FILENO);
    if (!inputIsTerminal_ || (foreground != -1 && foreground != getpgrp())) return;
    auto saved = std::make_unique<termios>();
    if (tcgetattr(STDIN_FILENO, saved.get()) != 0) return;
    termios quiet = *saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0) savedInput_ = std::move(saved);
  }

  MainLoop& loop_;
  const bool errorIsTerminal_;  // standard error: in place, or plain lines
  const bool inputIsTerminal_;  // standard input: wait for Return, or close at once
  // What is drawn; guarded by standardErrorLock(), as another writer's
  // thread redraws it.
  WindowState state_;
  int phase_ = 0;
  bool drawn_ = false;  // the line stands on the terminal
  std::string drawnLine_;
  bool shown_ = false;
  bool takenDown_ = false;
  std::string plainStatus_;    // the status last written as plain lines
  std::string failureInFull_;  // the failure text last written whole
  bool attending_ = false;
  std::unique_ptr<SelfPipe> resizes_;    // while the line is shown in place
  std::unique_ptr<termios> savedInput_;  // the settings echo was turned off from
};

}  // namespace

std::unique_ptr<Toolkit> openTerminalToolkit() {
  auto toolkit = std::make_unique<Toolkit>();
  toolkit->loop = makePollMainLoop();
  toolkit->view = std::make_unique<TerminalWindow>(*toolkit->loop);
  return toolkit;
}
