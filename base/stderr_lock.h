// The one lock of standard error. Everything that writes a line there (the
// console messages, the platform log, the terminal window) holds it for the
// whole line, so lines of different threads never interleave. The terminal
// window's line, redrawn in place, is taken out of the way of every other
// writer's lines (StandardErrorLine) and drawn again below them.
#ifndef BOOTSTRAP_BASE_STDERR_LOCK_H_
#define BOOTSTRAP_BASE_STDERR_LOCK_H_

#include <mutex>

std::recursive_mutex& standardErrorLock();

// A line that stands on standard error and is redrawn in place.
class InPlaceLine {
 public:
  virtual ~InPlaceLine() = default;
  // Takes the line off the screen, leaving the cursor at the start of an
  // empty line. Called holding the lock.
  virtual void clear() = 0;
  // Draws the line again where the cursor stands. Called holding the lock.
  virtual void redraw() = 0;
};

// Makes `line` (or nullptr: none) the in-place line, under the lock.
void setInPlaceLine(InPlaceLine* line);

// Holds the lock for the lines another writer writes while it lives: any
// in-place line is cleared at the start and redrawn at the end. Nested guards
// (a writer calling another) clear and redraw once, at the outermost.
class StandardErrorLine {
 public:
  StandardErrorLine();
  ~StandardErrorLine();
  StandardErrorLine(const StandardErrorLine&) = delete;
  StandardErrorLine& operator=(const StandardErrorLine&) = delete;

 private:
  std::lock_guard<std::recursive_mutex> guard_;
};

#endif  // BOOTSTRAP_BASE_STDERR_LOCK_H_
