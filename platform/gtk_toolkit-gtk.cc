// The GTK module's entry points (see platform/toolkit.h); everything else in
// the module stays hidden.
#include <gtk/gtk.h>

#include "platform/main_loop-glib.h"
#include "platform/toolkit.h"
#include "platform/window-gtk.h"

#define BOOTSTRAP_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

BOOTSTRAP_MODULE_EXPORT const int bootstrapGtkModuleInterface = kGtkModuleInterfaceVersion;

BOOTSTRAP_MODULE_EXPORT Toolkit* bootstrapOpenGtkToolkit(int interfaceVersion) {
  if (interfaceVersion != kGtkModuleInterfaceVersion) return nullptr;
  gtk_disable_setlocale();  // the process keeps its locale: numbers stay "0.5"
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  auto toolkit = std::make_unique<Toolkit>();
  toolkit->loop = makeGlibMainLoop();
  toolkit->view = std::make_unique<GtkWindowView>(*toolkit->loop);
  return toolkit.release();
}
