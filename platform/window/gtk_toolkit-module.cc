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
  if (!ownExecutablePath(&executable, &error) || executable.empty()) return "";
  std::string folder =
      executable.find('/') == std::string::npos ? "." : parentDirectory(executable);
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

// Logs why the module at `path` cannot be used: `reason` is a dlerror text,
// whose leading "<path>: " is dropped, or a refusal.
void logFailure(const std::string& path, const std::string& reason) {
  std::string prefix = path + ": ";
  bool repeatsPath = reason.compare(0, prefix.size(), prefix) == 0;
  platformLog("The GTK window cannot be loaded from " + path + ": " +
              (repeatsPath ? reason.substr(prefix.size()) : reason) +
              "; using the terminal window");
}

// The entry point of the module at `path`, which stays loaded; null, after
// one platform log line, when the module cannot be used.
GtkModuleEntry loadModule(const std::string& path) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* error = dlerror();
    logFailure(path, error != nullptr ? error : "dlopen failed");
    return nullptr;
  }
  auto version = static_cast<const int*>(dlsym(module, kGtkModuleInterfaceSymbol));
  auto entry = reinterpret_cast<GtkModuleEntry>(dlsym(module, kGtkModuleEntrySymbol));
  std::string refusal;
  if (version == nullptr || entry == nullptr) {
    refusal = std::string("not a bootstrapper GTK module (no ") +
              (version == nullptr ? kGtkModuleInterfaceSymbol : kGtkModuleEntrySymbol) + ")";
  } else if (*version != kGtkModuleInterfaceVersion) {
    refusal = "built for interface version " + std::to_string(*version) +
              ", this program needs version " + std::to_string(kGtkModuleInterfaceVersion);
  } else {
    return entry;
  }
  dlclose(module);  // nothing in it has run but its libraries' initializers
  logFailure(path, refusal);
  return nullptr;
}

}  // namespace

std::unique_ptr<Toolkit> openGtkToolkit() {
  if (!isSet(std::getenv("DISPLAY")) && !isSet(std::getenv("WAYLAND_DISPLAY"))) return nullptr;
  std::string path = modulePath();
  if (path.empty()) return nullptr;  // installed without the GTK window
  GtkModuleEntry entry = loadModule(path);
  if (entry == nullptr) return nullptr;
  // Never unloaded, even when no display opens: the toolkit's code and GTK's
  // own state (types, threads, exit handlers) live there.
  return std::unique_ptr<Toolkit>(entry(kGtkModuleInterfaceVersion));
}
