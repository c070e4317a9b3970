// The process's main bundle, as the platform derives it from the running
// executable.
#ifndef BOOTSTRAP_PLATFORM_OS_BUNDLE_H_
#define BOOTSTRAP_PLATFORM_OS_BUNDLE_H_

#include <optional>
#include <string>

struct MainBundle {
  std::string bundlePath;    // the bundle directory (B for B/Contents/MacOS/NAME)
  std::string resourcePath;  // its resource directory; empty when it has none
};

// The bundle that holds the executable at `executablePath` (a real path):
// B with resources B/Contents/Resources for B/Contents/MacOS/NAME (whether or
// not the resources exist); otherwise the executable's directory for both.
MainBundle bundleForExecutable(const std::string& executablePath);

// The main bundle of this process, from /proc/self/exe; none when that link
// cannot be read.
std::optional<MainBundle> mainBundle();

// The running program's real path (the link /proc/self/exe, however long).
// False when the link cannot be read, and then `error` says why.
bool ownExecutablePath(std::string* path, std::string* error);

#endif  // BOOTSTRAP_PLATFORM_OS_BUNDLE_H_
