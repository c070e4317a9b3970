// The application run on a given toolkit; applicationMain picks the toolkit.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_APPLICATION_RUN_H_
#define BOOTSTRAP_PLATFORM_WINDOW_APPLICATION_RUN_H_

#include "platform/window/toolkit.h"
#include "platform/window/window_application.h"

// applicationMain's run on `toolkit`, on the calling (main) thread: while it
// runs, SIGINT and SIGTERM close the window; the signals' handling from
// before comes back at the end. Returns 0.
int runApplication(Toolkit& toolkit, const DelegateFactory& makeDelegate);

#endif  // BOOTSTRAP_PLATFORM_WINDOW_APPLICATION_RUN_H_
