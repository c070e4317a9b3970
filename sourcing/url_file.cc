#include "sourcing/url_file.h"

#include <fstream>

#include "platform/os/file_system.h"
#include "platform/os/process.h"

std::string readEndpointUrlFile(std::string path, MessageCallback report) {
  if (!pathExists(path)) return std::string();
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    report("Failed to open install agent URL file", true);
    return std::string();
  }
  std::string url;
  std::getline(file, url, '\n');
  // The carriage return stays in the URL, which then does not parse; the
  // window only says the download failed, so the log names the cause.
  if (!url.empty() && url.back() == '\r') {
    platformLog(path +
                " has a Windows line ending (CR LF): the carriage return is part of the "
                "URL; save the file with Unix line endings (LF)");
  }
  return url;
}
