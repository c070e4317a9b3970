// The one lock of standard error. Everything that writes a line there (the
// console messages, the platform log, the terminal window) holds it for the
// whole line, so lines of different threads never interleave.
#ifndef BOOTSTRAP_PLATFORM_STDERR_LOCK_H_
#define BOOTSTRAP_PLATFORM_STDERR_LOCK_H_

#include <mutex>

std::recursive_mutex& standardErrorLock();

#endif  // BOOTSTRAP_PLATFORM_STDERR_LOCK_H_
