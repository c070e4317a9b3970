// Finding and judging the GTK module (bootstrapper-gtk.so), apart from
// loading it: which environments may open a display, where the module may
// lie, and what the log says when it cannot be used.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_GTK_MODULE_PATH_H_
#define BOOTSTRAP_PLATFORM_WINDOW_GTK_MODULE_PATH_H_

#include <string>
#include <vector>

constexpr char kGtkModuleFileName[] = "bootstrapper-gtk.so";

// Whether DISPLAY or WAYLAND_DISPLAY (either may be null: unset) names a
// display, that is, is set and not empty.
bool namesDisplay(const char* display, const char* waylandDisplay);

// Where the module may lie for the executable at `executablePath` (a real
// path), in the order to try: beside the executable (the build tree, a
// bundle's Contents/MacOS), then <its folder>/../<libdir>/bootstrapper/ (an
// install, wherever its prefix was moved; `libdir` as the install names it,
// e.g. "lib/x86_64-linux-gnu", used as it is when absolute). None when the
// path is empty.
std::vector<std::string> gtkModuleCandidates(const std::string& executablePath,
                                             const std::string& libdir);

// What keeps a loaded module from being used, from its interface version
// (null: the module has none) and whether it has the entry point; empty when
// nothing does.
std::string gtkModuleRefusal(const int* interfaceVersion, bool hasEntry);

// The platform log's line for the module at `path` that cannot be used for
// `reason` (a dlerror text, whose leading "<path>: " is dropped, or a refusal).
std::string gtkModuleFailureLine(const std::string& path, const std::string& reason);

#endif  // BOOTSTRAP_PLATFORM_WINDOW_GTK_MODULE_PATH_H_
