// The GTK module's parts: GLib's main loop and the download window in GTK 3.
#ifndef BOOTSTRAP_GTK_WINDOW_GTK_H_
#define BOOTSTRAP_GTK_WINDOW_GTK_H_

#include "platform/window/toolkit.h"

// The GtkBuilder definition of the download window.
extern const char kDownloadWindowUi[];

// GLib's main loop (the default main context, which GTK runs on).
std::unique_ptr<MainLoop> makeGlibMainLoop();

// The download window, built from kDownloadWindowUi and titled after the
// bundle (window_title.h); after a successful gtk_init_check, on the main
// thread. The button, Return while the button is enabled, Escape and the close
// box ask for the window's closing; an indeterminate bar pulses while it
// animates; a failure shows the status text in red (the label's style class
// "failure"). Each control carries an accessible role and name, which the UI
// trace records once the window is shown and again when it is taken down.
std::unique_ptr<WindowView> makeGtkWindowView(MainLoop& loop);

#endif  // BOOTSTRAP_GTK_WINDOW_GTK_H_
