// Where the program runs from, asked of /proc/self/exe afresh on every call.
#ifndef BOOTSTRAP_PLATFORM_OS_BUNDLE_H_
#define BOOTSTRAP_PLATFORM_OS_BUNDLE_H_

#include <optional>
#include <string>

struct MainBundle {
  std::string bundlePath;    // the bundle directory (B for B/Contents/MacOS/NAME)
  std::string resourcePath;  // its resource directory
};

// The running program's real path; false, with why in `error`, when unreadable.
bool ownExecutablePath(std::string* path, std::string* error);

// B with resources B/Contents/Resources for the real path B/Contents/MacOS/NAME;
// otherwise the executable's directory for both.
MainBundle bundleForExecutable(const std::string& executablePath);

// The main bundle of this process; none when its path cannot be read.
std::optional<MainBundle> mainBundle();

// The bundle's path before its last "/" or backslash; empty without a bundle.
std::string getDirectoryOfExecutable(const std::optional<MainBundle>& bundle = mainBundle());

// The bundle's resource directory; empty without a bundle.
std::string getBundleLocation(const std::optional<MainBundle>& bundle = mainBundle());

#endif  // BOOTSTRAP_PLATFORM_OS_BUNDLE_H_
