// Paths as strings, "/" separated; nothing here touches the file system.
#ifndef BOOTSTRAP_BASE_PATHS_H_
#define BOOTSTRAP_BASE_PATHS_H_

#include <string>

// `base` and `component` joined by exactly one "/" ("/" + component for a base
// of only separators); an empty base gives `component`.
std::string appendPathComponent(const std::string& base, const std::string& component);

// The folder that holds `path`: everything before its last "/" ("/" for a
// path at the root); `path` itself when it has no "/".
std::string parentDirectory(const std::string& path);

// Everything after the last "/"; `path` itself when it has none.
std::string lastPathComponent(const std::string& path);

bool startsWith(const std::string& text, const std::string& prefix);
bool endsWith(const std::string& text, const std::string& suffix);

#endif  // BOOTSTRAP_BASE_PATHS_H_
