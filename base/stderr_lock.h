// The one lock of standard error, held for each whole line so that threads'
// lines never interleave, and the terminal window's in-place line.
#ifndef BOOTSTRAP_BASE_STDERR_LOCK_H_
#define BOOTSTRAP_BASE_STDERR_LOCK_H_

#include <mutex>

std::recursive_mutex& standardErrorLock();

// A line that stands on standard error and is redrawn in place.
class InPlaceLine {
 public:
  virtual ~InPlaceLine() = default;
  // Both called holding the lock: off the screen (the cursor at the start of
  // an empty line), and drawn again where the cursor stands.
  virtual void clear() = 0;
  virtual void redraw() = 0;
};

// Makes `line` (or nullptr: none) the in-place line, under the lock.
void setInPlaceLine(InPlaceLine* line);

// Holds the lock while it lives, with any in-place line cleared and redrawn
// after (once, by the outermost of nested guards).
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
