// Where the bootstrap runs from: the bundle (or the executable) and the
// directory of its resources. Nothing is kept; each call asks afresh.
#ifndef BOOTSTRAP_ENVIRONMENT_EXECUTABLE_LOCATION_H_
#define BOOTSTRAP_ENVIRONMENT_EXECUTABLE_LOCATION_H_

#include <optional>
#include <string>

#include "platform/os/bundle.h"

// What the location functions ask of the platform. The real one reads this
// process; tests give their own.
class ExecutableProbe {
 public:
  virtual ~ExecutableProbe() = default;
  virtual std::optional<MainBundle> mainBundle() const = 0;
  virtual bool ownExecutablePath(std::string* path, std::string* error) const = 0;
};

const ExecutableProbe& realExecutableProbe();

// The main bundle's path, else the target of /proc/self/exe (at most 1023
// bytes of it), else the empty string.
std::string getPathToExecutable(const ExecutableProbe& probe = realExecutableProbe());

// getPathToExecutable without its last component: everything before the last
// "/" or backslash; the whole path when it has neither; empty when it is empty.
std::string getDirectoryOfExecutable(const ExecutableProbe& probe = realExecutableProbe());

// The main bundle's resource directory, else its bundle directory, else the
// executable's directory.
std::string getBundleLocation(const ExecutableProbe& probe = realExecutableProbe());

#endif  // BOOTSTRAP_ENVIRONMENT_EXECUTABLE_LOCATION_H_
