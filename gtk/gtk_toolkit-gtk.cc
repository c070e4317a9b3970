// The GTK module's entry points (see platform/window/toolkit.h); everything
// else in the module stays hidden.
#include <gtk/gtk.h>

#include <cstdlib>

#include "gtk/window-gtk.h"

#define BOOTSTRAP_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

BOOTSTRAP_MODULE_EXPORT const int bootstrapGtkModuleInterface = kGtkModuleInterfaceVersion;

BOOTSTRAP_MODULE_EXPORT Toolkit* bootstrapOpenGtkToolkit(int interfaceVersion) {
  if (interfaceVersion != kGtkModuleInterfaceVersion) return nullptr;
  gtk_disable_setlocale();  // the process keeps its locale: numbers stay "0.5"
  // Without OpenGL: on X11 GTK otherwise loads the GL driver (with Mesa's
  // software renderer, LLVM) to choose visuals, about 90 ms of a window that
  // never draws with GL. GDK reads GDK_GL only here; a value the user set
  // stands, and ours is taken back so that the install agent does not inherit it.
  bool ours = std::getenv("GDK_GL") == nullptr && setenv("GDK_GL", "disable", 0) == 0;
  bool initialized = gtk_init_check(nullptr, nullptr);
  if (ours) unsetenv("GDK_GL");
  if (!initialized) return nullptr;
  auto toolkit = std::make_unique<Toolkit>();
  toolkit->loop = makeGlibMainLoop();
  toolkit->view = makeGtkWindowView(*toolkit->loop);
  return toolkit.release();
}
