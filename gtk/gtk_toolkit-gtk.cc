// The GTK module's entry points (see platform/toolkit.h); everything else in
// the module stays hidden.
#include <gtk/gtk.h>

#include <cstdlib>

#include "gtk/main_loop-glib.h"
#include "gtk/window-gtk.h"
#include "platform/window/toolkit.h"

#define BOOTSTRAP_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

BOOTSTRAP_MODULE_EXPORT const int bootstrapGtkModuleInterface = kGtkModuleInterfaceVersion;

namespace {

// GTK's set-up without OpenGL: on X11 it otherwise loads the GL driver (with
// Mesa's software renderer, LLVM) to choose visuals, about 90 ms of a window
// that never draws with GL. GDK reads GDK_GL only here; a value the user set
// stands, and ours is taken back so that the install agent does not inherit it.
bool initializeGtkWithoutGl() {
  bool ours = std::getenv("GDK_GL") == nullptr && setenv("GDK_GL", "disable", 0) == 0;
  bool initialized = gtk_init_check(nullptr, nullptr);
  if (ours) unsetenv("GDK_GL");
  return initialized;
}

}  // namespace

BOOTSTRAP_MODULE_EXPORT Toolkit* bootstrapOpenGtkToolkit(int interfaceVersion) {
  if (interfaceVersion != kGtkModuleInterfaceVersion) return nullptr;
  gtk_disable_setlocale();  // the process keeps its locale: numbers stay "0.5"
  if (!initializeGtkWithoutGl()) return nullptr;
  auto toolkit = std::make_unique<Toolkit>();
  toolkit->loop = makeGlibMainLoop();
  toolkit->view = std::make_unique<GtkWindowView>(*toolkit->loop);
  return toolkit.release();
}
