#include "environment/temp_dir.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "base/paths.h"
#include "platform/os/file_system.h"

namespace {

std::mutex liveLock;
std::vector<std::string>& livePaths() {
  static std::vector<std::string> paths;
  return paths;
}

// Removes the directory at `path` and forgets it, under the lock: a run
// ended meanwhile from another thread (removeAllLive, then _exit) either
// finds the directory still listed or waits until it is gone, and never
// ends the process in the middle of this removal with the path forgotten.
void removeAndForget(const std::string& path) {
  std::lock_guard<std::mutex> guard(liveLock);
  std::string ignored;  // a removal that fails leaves the directory, as before
  removeTree(path, &ignored);
  std::vector<std::string>& paths = livePaths();
  paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
}

}  // namespace

void TempDir::removeAllLive() {
  std::lock_guard<std::mutex> guard(liveLock);
  std::string ignored;
  for (const std::string& path : livePaths()) removeTree(path, &ignored);
  livePaths().clear();
}

TempDir::TempDir(std::string /*name*/) {
  std::string base = userTemporaryDirectory();
  if (base.empty()) base = "/tmp";
  std::string pattern = appendPathComponent(base, "qzXXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return;
  path_ = buffer.data();
  std::lock_guard<std::mutex> guard(liveLock);
  livePaths().push_back(path_);
}

TempDir::~TempDir() {
  if (!path_.empty()) removeAndForget(path_);
}
