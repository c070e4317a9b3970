// Where the program runs from: its own path, and the bundle that holds it,
// asked of /proc/self/exe afresh on every call.
#ifndef BOOTSTRAP_PLATFORM_OS_BUNDLE_H_
#define BOOTSTRAP_PLATFORM_OS_BUNDLE_H_

#include <optional>
#include <string>

struct MainBundle {
  std::string bundlePath;    // the bundle directory (B for B/Contents/MacOS/NAME)
  std::string resourcePath;  // its resource directory
};

// The running program's real path (the link /proc/self/exe, however long).
// False when the link cannot be read, and then `error` says why.
bool ownExecutablePath(std::string* path, std::string* error);

// The bundle that holds the executable at `executablePath` (a real path):
// B with resources B/Contents/Resources for B/Contents/MacOS/NAME (whether or
// not the resources exist); otherwise the executable's directory for both.
MainBundle bundleForExecutable(const std::string& executablePath);

// The main bundle of this process; none when its path cannot be read.
std::optional<MainBundle> mainBundle();

// The bundle's path without its last component: everything before the last
// "/" or backslash (empty for a bundle at the root); empty without a bundle.
std::string getDirectoryOfExecutable(const std::optional<MainBundle>& bundle = mainBundle());

// The bundle's resource directory (where the install agent and its URL file
// are looked for); empty without a bundle.
std::string getBundleLocation(const std::optional<MainBundle>& bundle = mainBundle());

#endif  // BOOTSTRAP_PLATFORM_OS_BUNDLE_H_
