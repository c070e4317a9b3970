#include "sourcing/url_file.h"

#include <fstream>

#include "platform/os/file_system.h"

std::string readEndpointUrlFile(std::string path, MessageCallback report) {
  if (!pathExists(path)) return std::string();
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    report("Failed to open install agent URL file", true);
    return std::string();
  }
  std::string url;
  std::getline(file, url, '\n');
  return url;
}
