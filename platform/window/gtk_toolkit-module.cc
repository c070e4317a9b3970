// The GTK window lives in a module of its own, so that GTK and its many
// libraries are loaded only by a run that may open a display.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "platform/os/bundle.h"
#include "platform/os/process.h"
#include "platform/window/gtk_module_path.h"
#include "platform/window/toolkit.h"

namespace {

std::string selfExecutablePath() {
  std::string executable, error;
  return ownExecutablePath(&executable, &error) ? executable : std::string();
}

// The first candidate that exists as anything: a module that is there but
// unreadable or broken is reported, not skipped for another.
std::string firstExisting(const std::vector<std::string>& candidates) {
  struct stat status;
  for (const std::string& path : candidates) {
    if (stat(path.c_str(), &status) == 0) return path;
  }
  return "";
}

// The entry point of the module at `path`, which stays loaded; null, after
// one platform log line, when the module cannot be used.
GtkModuleEntry loadModule(const std::string& path) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* error = dlerror();
    platformLog(gtkModuleFailureLine(path, error != nullptr ? error : "dlopen failed"));
    return nullptr;
  }
  auto interfaceVersion = static_cast<const int*>(dlsym(module, kGtkModuleInterfaceSymbol));
  auto entry = reinterpret_cast<GtkModuleEntry>(dlsym(module, kGtkModuleEntrySymbol));
  std::string refusal = gtkModuleRefusal(interfaceVersion, entry != nullptr);
  if (refusal.empty()) return entry;
  dlclose(module);  // nothing in it has run but its libraries' initializers
  platformLog(gtkModuleFailureLine(path, refusal));
  return nullptr;
}

}  // namespace

std::unique_ptr<Toolkit> openGtkToolkit() {
  if (!namesDisplay(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"))) return nullptr;
  std::string path =
      firstExisting(gtkModuleCandidates(selfExecutablePath(), BOOTSTRAP_INSTALL_LIBDIR));
  if (path.empty()) return nullptr;  // installed without the GTK window
  GtkModuleEntry entry = loadModule(path);
  if (entry == nullptr) return nullptr;
  // Never unloaded, even when no display opens: the toolkit's code and GTK's
  // own state (types, threads, exit handlers) live there.
  return std::unique_ptr<Toolkit>(entry(kGtkModuleInterfaceVersion));
}
