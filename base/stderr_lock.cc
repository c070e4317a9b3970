#include "base/stderr_lock.h"

namespace {

// Both guarded by standardErrorLock().
InPlaceLine* inPlaceLine = nullptr;
int lineDepth = 0;

}  // namespace

std::recursive_mutex& standardErrorLock() {
  // Recursive: a writer that holds the lock may call another writer (the
  // terminal window clears its line before a log line is written).
  static std::recursive_mutex lock;
  return lock;
}

void setInPlaceLine(InPlaceLine* line) {
  std::lock_guard<std::recursive_mutex> guard(standardErrorLock());
  inPlaceLine = line;
}

StandardErrorLine::StandardErrorLine() : guard_(standardErrorLock()) {
  if (lineDepth++ == 0 && inPlaceLine != nullptr) inPlaceLine->clear();
}

StandardErrorLine::~StandardErrorLine() {
  if (--lineDepth == 0 && inPlaceLine != nullptr) inPlaceLine->redraw();
}
