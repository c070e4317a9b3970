// The download window's title: the name the user knows the installer by.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_TITLE_H_
#define BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_TITLE_H_

#include <string>

// For the executable at `executablePath` (a real path): the bundle's folder
// name without ".app" ("Boot" for /x/Boot.app/Contents/MacOS/bootstrapper),
// or the executable's file name for a flat install; "Installer" when that
// leaves nothing.
std::string windowTitleForExecutable(const std::string& executablePath);

// The title for this process, from /proc/self/exe; "Installer" when that
// link cannot be read.
std::string currentWindowTitle();

#endif  // BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_TITLE_H_
