#include "platform/window_model/window_title.h"

#include "base/paths.h"
#include "platform/os/bundle.h"

namespace {

constexpr char kFallbackTitle[] = "Installer";
constexpr char kBundleSuffix[] = ".app";

}  // namespace

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
  if (!ownExecutablePath(&executable, &error)) return kFallbackTitle;
  return windowTitleForExecutable(executable);
}
