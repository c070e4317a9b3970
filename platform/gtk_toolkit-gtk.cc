#include <gtk/gtk.h>

#include "platform/main_loop-glib.h"
#include "platform/toolkit.h"
#include "platform/window-gtk.h"

std::unique_ptr<Toolkit> openGtkToolkit() {
  gtk_disable_setlocale();  // the process keeps its locale: numbers stay "0.5"
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  auto toolkit = std::make_unique<Toolkit>();
  toolkit->loop = makeGlibMainLoop();
  toolkit->view = std::make_unique<GtkWindowView>(*toolkit->loop);
  return toolkit;
}
