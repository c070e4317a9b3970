#include "environment/temp_dir.h"

#include <cstdlib>
#include <vector>

#include "platform/file_system.h"

TempDir::TempDir(std::string /*name*/) {
  std::string base = userTemporaryDirectory();
  if (base.empty()) base = "/tmp";
  std::string pattern = appendPathComponent(base, "qzXXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) removeTree(path_);
}
