#include "sourcing/source.h"

#include <dirent.h>

#include "base/names.h"
#include "cache/cache_layout.h"
#include "cache/cache_lock.h"
#include "cache/cache_trust.h"
#include "platform/os/file_system.h"
#include "sourcing/unpack.h"

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isArchive(const std::string& location) {
  return location.size() > 4 && endsWith(location, ".zip");
}

bool isAlternativeArchiveName(const std::string& name) {
  const std::string prefix = "InstallAgent_";
  return name.size() >= prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
         endsWith(name, ".zip");
}

std::string resourceDirectoryOf(const std::string& location) {
  std::string::size_type separator = location.find_last_of("/\\");
  return separator == std::string::npos ? location : location.substr(0, separator);
}

std::string unpackOrReport(const std::string& archive, const std::string& destination,
                           MessageCallback report) {
  if (unzipInstallAgent(archive, destination, "unzip", report)) {
    return getInstallAgentExecutable(destination);
  }
  report("Failed to initialize the install agent.", true);
  return std::string();
}

}  // namespace

std::string findAlternativeArchive(const std::string& resourceDir) {
  DIR* directory = opendir(resourceDir.c_str());
  if (directory == nullptr) return std::string();
  std::string found;
  while (struct dirent* entry = readdir(directory)) {
    if (isAlternativeArchiveName(entry->d_name)) {
      found = resourceDir + PATH_SEPARATOR + entry->d_name;
      break;
    }
  }
  closedir(directory);
  return found;
}

std::string sourceInstallAgentFrom(std::string location, std::string workDir, std::string url,
                                   MessageCallback report, DownloadFunction download) {
  bool exists = !location.empty() && pathExists(location);
  if (exists && !isArchive(location)) return location;
  if (!exists) location = findAlternativeArchive(resourceDirectoryOf(location));
  if (!location.empty()) return unpackOrReport(location, workDir, report);

  std::string cacheDir = getInstallAgentCacheDir();
  std::string destination = cacheDir + INSTALL_AGENT_DIR;
  // A cache that cannot be used is left as it is; the download window says
  // why and goes on without it.
  std::string notUsed;
  bool usable = secureCache(cacheDir, &notUsed);
  if (usable) mkpath(destination, 0700);
  std::string archive = workDir + PATH_SEPARATOR + INSTALL_AGENT_ZIP;
  if (!download(archive.c_str(), url, report)) return std::string();
  CacheLock lock(cacheDir);
  if (usable && !installAgentDirOnDisk().empty()) {
    useCachedInstallAgent(cacheDir);
    return getInstallAgentExecutable(destination);
  }
  std::string why;
  if (!usable || !claimCachedInstallAgent(cacheDir, &why)) {
    return unpackOrReport(archive, workDir + PATH_SEPARATOR + INSTALL_AGENT_DIR, report);
  }
  std::string entry = unpackOrReport(archive, destination, report);
  useCachedInstallAgent(cacheDir);
  return entry;
}
