#include "platform/window_model/window_title.h"

#include <vector>

#include "platform/os/bundle.h"

namespace {

constexpr char kFallbackTitle[] = "Installer";
constexpr char kBundleSuffix[] = ".app";

std::string lastComponent(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string windowTitleForExecutable(const std::string& executablePath) {
  MainBundle bundle = bundleForExecutable(executablePath);
  bool flat = bundle.resourcePath == bundle.bundlePath;
  std::string title = lastComponent(flat ? executablePath : bundle.bundlePath);
  if (!flat && endsWith(title, kBundleSuffix))
    title.resize(title.size() - (sizeof kBundleSuffix - 1));
  return title.empty() ? kFallbackTitle : title;
}

std::string currentWindowTitle() {
  std::vector<char> buffer(4096);
  long length = readSelfExecutableLink(buffer.data(), buffer.size());
  // A path that filled the buffer may be cut: the title would be wrong.
  if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) return kFallbackTitle;
  return windowTitleForExecutable(std::string(buffer.data(), static_cast<size_t>(length)));
}
