#include "platform/window_model/window_state.h"

#include "base/paths.h"
#include "platform/os/bundle.h"

constexpr char kFallbackTitle[] = "Installer";
constexpr char kBundleSuffix[] = ".app";

std::string windowTitleForExecutable(const std::string& executablePath) {
  MainBundle bundle = bundleForExecutable(executablePath);
  bool flat = bundle.resourcePath == bundle.bundlePath;
  std::string title = lastPathComponent(flat ? executablePath : bundle.bundlePath);
  if (!flat && endsWith(title, kBundleSuffix))
    title.resize(title.size() - (sizeof kBundleSuffix - 1));
  return title.empty() ? kFallbackTitle : title;
}

std::string currentWindowTitle() {
  std::string executable, error;
  return ownExecutablePath(&executable, &error) ? windowTitleForExecutable(executable)
                                                : kFallbackTitle;
}
