// GLib's main loop (the default main context, which GTK runs on) as a
// MainLoop.
#ifndef BOOTSTRAP_GTK_MAIN_LOOP_GLIB_H_
#define BOOTSTRAP_GTK_MAIN_LOOP_GLIB_H_

#include "platform/app/main_loop.h"

std::unique_ptr<MainLoop> makeGlibMainLoop();

#endif  // BOOTSTRAP_GTK_MAIN_LOOP_GLIB_H_
