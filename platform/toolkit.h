// A window toolkit as the application run uses it: its main loop and its
// download window.
#ifndef BOOTSTRAP_PLATFORM_TOOLKIT_H_
#define BOOTSTRAP_PLATFORM_TOOLKIT_H_

#include <memory>

#include "platform/main_loop.h"
#include "platform/window_view.h"

struct Toolkit {
  std::unique_ptr<MainLoop> loop;  // outlives the view, which may use it
  std::unique_ptr<WindowView> view;
};

// GTK's, on the main thread; null when the program was built without GTK or
// no display can be opened, and then nothing has called GTK beyond its init.
std::unique_ptr<Toolkit> openGtkToolkit();

// The terminal window on standard error; always available.
std::unique_ptr<Toolkit> openTerminalToolkit();

#endif  // BOOTSTRAP_PLATFORM_TOOLKIT_H_
