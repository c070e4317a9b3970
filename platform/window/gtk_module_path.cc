#include "platform/window/gtk_module_path.h"

#include "base/paths.h"

#include "platform/window/toolkit.h"

namespace {

bool isSet(const char* value) { return value != nullptr && value[0] != '\0'; }

}  // namespace

bool namesDisplay(const char* display, const char* waylandDisplay) {
  return isSet(display) || isSet(waylandDisplay);
}

std::vector<std::string> gtkModuleCandidates(const std::string& executablePath,
                                             const std::string& libdir) {
  if (executablePath.empty()) return {};
  std::string folder =
      executablePath.find('/') == std::string::npos ? "." : parentDirectory(executablePath);
  std::string installed = libdir.empty() || libdir[0] == '/'
                              ? libdir
                              : appendPathComponent(appendPathComponent(folder, ".."), libdir);
  return {appendPathComponent(folder, kGtkModuleFileName),
          appendPathComponent(installed, std::string("bootstrapper/") + kGtkModuleFileName)};
}

std::string gtkModuleRefusal(const int* interfaceVersion, bool hasEntry) {
  if (interfaceVersion == nullptr || !hasEntry)
    return std::string("not a bootstrapper GTK module (no ") +
           (interfaceVersion == nullptr ? kGtkModuleInterfaceSymbol : kGtkModuleEntrySymbol) + ")";
  if (*interfaceVersion != kGtkModuleInterfaceVersion)
    return "built for interface version " + std::to_string(*interfaceVersion) +
           ", this program needs version " + std::to_string(kGtkModuleInterfaceVersion);
  return "";
}

std::string gtkModuleFailureLine(const std::string& path, const std::string& reason) {
  std::string prefix = path + ": ";
  bool repeatsPath = reason.compare(0, prefix.size(), prefix) == 0;
  return "The GTK window cannot be loaded from " + path + ": " +
         (repeatsPath ? reason.substr(prefix.size()) : reason) + "; using the terminal window";
}
