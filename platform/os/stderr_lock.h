// The lock of standard error lives in base/, below the console messages; this
// name stays for the terminal window's include.
#include "base/stderr_lock.h"
