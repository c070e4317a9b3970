// The terminal window: the download window drawn on standard error, for runs
// without a display.
//
// On a terminal it is one line redrawn in place (a bar of characters and the
// status text, sized and cut to the terminal's width), ended with a line feed
// when the window closes; other writers' lines go above it. A resize of the
// terminal (SIGWINCH, handled in the main loop) redraws it at the new width.
// While it stands there, a terminal on standard input does not echo what is
// typed (Return included), so that the line stays whole and ends cleanly. A
// failure's text is also written whole above the line. Elsewhere it writes
// one plain line per line of each new status text. After a failure (the status turned red), and
// when no transfer was started, it waits for Return when standard input is a terminal and closes at
// once otherwise.
#ifndef BOOTSTRAP_PLATFORM_TERMINAL_WINDOW_TERMINAL_H_
#define BOOTSTRAP_PLATFORM_TERMINAL_WINDOW_TERMINAL_H_

#include <termios.h>

#include <memory>

#include "base/stderr_lock.h"
#include "platform/app/main_loop.h"
#include "platform/window/window_view.h"

struct TerminalSettings {
  bool errorIsTerminal;  // standard error: in place, or plain lines
  bool inputIsTerminal;  // standard input: wait for Return, or close at once
};

// Standard error's and standard input's settings for this process.
TerminalSettings currentTerminalSettings();

class ResizeWatch;

class TerminalWindow : public WindowView, private InPlaceLine {
 public:
  TerminalWindow(MainLoop& loop, TerminalSettings settings);
  ~TerminalWindow() override;

  void apply(const WindowState& state) override;
  void refresh() override;
  void show() override;
  void launched(bool transferStarted) override;
  void takeDown() override;
  ControlReadings readBack() const override;

 private:
  // InPlaceLine, holding standardErrorLock().
  void clear() override;
  void redraw() override;

  // Draws the line unless it stands there as it is.
  void draw();
  // A failure's text, whole, once above the line (which cuts it).
  void showFailureInFull();
  void writePlain(const std::string& status);
  void write(const std::string& bytes);
  // Waits for Return, or closes at once when nobody can press it.
  void attend();
  void readInput();
  void updateAnimation();
  // Watches for resizes while the line is shown in place.
  void watchResizes(bool on);
  // Turns the input terminal's echo off, or back to what it was.
  void silenceInput(bool on);

  MainLoop& loop_;
  const TerminalSettings settings_;
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
  MainLoop::TimerId animation_ = 0;
  std::unique_ptr<ResizeWatch> resizes_;
  std::unique_ptr<termios> savedInput_;  // the settings echo was turned off from
};

#endif  // BOOTSTRAP_PLATFORM_TERMINAL_WINDOW_TERMINAL_H_
