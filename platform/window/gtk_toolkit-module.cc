// The GTK window lives in a module of its own, so that GTK and its many
// libraries are loaded only by a run that may open a display.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>

#include "base/paths.h"
#include "platform/os/bundle.h"
#include "platform/os/process.h"
#include "platform/window/toolkit.h"

namespace {

constexpr char kGtkModuleFileName[] = "bootstrapper-gtk.so";

bool isSet(const char* value) { return value != nullptr && value[0] != '\0'; }

// Where the module may lie, the first that exists as anything (a module that
// is there but unreadable or broken is reported, not skipped for another):
// beside the executable (the build tree, a bundle's Contents/MacOS), then
// <its folder>/../<libdir>/bootstrapper/ (an install, wherever its prefix was
// moved; an absolute libdir as it is).
std::string modulePath() {
  std::string executable, error;
  if (!ownExecutablePath(&executable, &error)) return "";
  std::string folder = parentDirectory(executable);  // a real path: absolute
  std::string libdir = BOOTSTRAP_INSTALL_LIBDIR;
  std::string installed = libdir.empty() || libdir[0] == '/'
                              ? libdir
                              : appendPathComponent(appendPathComponent(folder, ".."), libdir);
  for (const std::string& path :
       {appendPathComponent(folder, kGtkModuleFileName),
        appendPathComponent(installed, std::string("bootstrapper/") + kGtkModuleFileName)}) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0) return path;
  }
  return "";
}

// The entry point of the module at `path`, which stays loaded; null, after
// one platform log line, when the module cannot be used.
GtkModuleEntry loadModule(const std::string& path) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::string reason;  // a dlerror text, whose leading "<path>: " is dropped, or a refusal
  if (module == nullptr) {
    const char* error = dlerror();
    reason = error == nullptr ? "dlopen failed" : error;
    if (startsWith(reason, path + ": ")) reason.erase(0, path.size() + 2);
  } else {
    auto version = static_cast<const int*>(dlsym(module, kGtkModuleInterfaceSymbol));
    auto entry = reinterpret_cast<GtkModuleEntry>(dlsym(module, kGtkModuleEntrySymbol));
    if (version == nullptr || entry == nullptr) {
      reason = std::string("not a bootstrapper GTK module (no ") +
               (version == nullptr ? kGtkModuleInterfaceSymbol : kGtkModuleEntrySymbol) + ")";
    } else if (*version != kGtkModuleInterfaceVersion) {
      reason = "built for interface version " + std::to_string(*version) +
               ", this program needs version " + std::to_string(kGtkModuleInterfaceVersion);
    } else {
      return entry;
    }
    dlclose(module);  // nothing in it has run but its libraries' initializers
  }
  platformLog("The GTK window cannot be loaded from " + path + ": " + reason +
              "; using the terminal window");
  return nullptr;
}

}  // namespace

std::unique_ptr<Toolkit> openGtkToolkit() {
  if (!isSet(std::getenv("DISPLAY")) && !isSet(std::getenv("WAYLAND_DISPLAY"))) return nullptr;
  std::string path = modulePath();  // none: installed without the GTK window
  GtkModuleEntry entry = path.empty() ? nullptr : loadModule(path);
  if (entry == nullptr) return nullptr;
  // Never unloaded, even when no display opens: the toolkit's code and GTK's
  // own state (types, threads, exit handlers) live there.
  return std::unique_ptr<Toolkit>(entry(kGtkModuleInterfaceVersion));
}
