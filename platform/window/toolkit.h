// A window toolkit as the application run uses it: its main loop and its
// download window.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_TOOLKIT_H_
#define BOOTSTRAP_PLATFORM_WINDOW_TOOLKIT_H_

#include <memory>

#include "platform/app/main_loop.h"
#include "platform/window/window_view.h"

struct Toolkit {
  std::unique_ptr<MainLoop> loop;  // outlives the view, which may use it
  std::unique_ptr<WindowView> view;
};

// GTK's, on the main thread, from the GTK module (bootstrapper-gtk.so); null,
// with the module untouched, when neither DISPLAY nor WAYLAND_DISPLAY names a
// display; null when no module is installed, it cannot be loaded (one platform
// log line says why) or no display can be opened, and then nothing has called
// GTK beyond its init.
std::unique_ptr<Toolkit> openGtkToolkit();

// The interface between the program and its GTK module: Toolkit, MainLoop,
// WindowView and what they pass. Raise it with any change to them, so that a
// module from another build is refused rather than called wrongly.
constexpr int kGtkModuleInterfaceVersion = 2;

// The module's entry points, looked up by these names.
// int bootstrapGtkModuleInterface: the kGtkModuleInterfaceVersion the module
//   was built with.
// Toolkit* bootstrapOpenGtkToolkit(int interfaceVersion): a new Toolkit the
//   caller owns, or null when gtk_init_check fails or the version differs.
constexpr char kGtkModuleInterfaceSymbol[] = "bootstrapGtkModuleInterface";
constexpr char kGtkModuleEntrySymbol[] = "bootstrapOpenGtkToolkit";
using GtkModuleEntry = Toolkit* (*)(int interfaceVersion);

// The terminal window on standard error; always available.
std::unique_ptr<Toolkit> openTerminalToolkit();

#endif  // BOOTSTRAP_PLATFORM_WINDOW_TOOLKIT_H_
