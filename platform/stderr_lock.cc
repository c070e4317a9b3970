#include "platform/stderr_lock.h"

std::recursive_mutex& standardErrorLock() {
  // Recursive: a writer that holds the lock may call another writer (the
  // terminal window clears its line before a log line is written).
  static std::recursive_mutex lock;
  return lock;
}
