#include "sourcing/source.h"

#include <dirent.h>

#include <cstdlib>

#include "base/names.h"
#include "base/paths.h"
#include "cache/cache_layout.h"
#include "cache/cache_lock.h"
#include "cache/cache_trust.h"
#include "platform/os/file_system.h"
#include "platform/os/process.h"
#include "sourcing/unpack.h"

namespace {

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

namespace {

// Without it, a bundle that holds no install agent at all shows only the
// download's "The URL is empty", which names nothing the vendor left out.
void logWhenBundleHoldsNoAgent(const std::string& resourceDir) {
  // The download takes its URL from there instead (download/download_entry.h).
  if (std::getenv("QZ_INTERNAL_INSTALL_AGENT_URL") != nullptr || resourceDir.empty()) return;
  if (pathExists(appendPathComponent(resourceDir, "installAgentURL.txt"))) return;
  platformLog("No install agent in " + resourceDir +
              ": none of ZavirirazUdaDad, InstallAgent.zip, InstallAgent_*.zip, "
              "installAgentURL.txt is there");
}

// A download whose archive cannot be unpacked would cost the user the whole
// transfer for nothing, and leave the cache emptied.
bool unzipFoundForDownload() {
  if (toolOnPath("unzip")) return true;
  platformLog("unzip not found on PATH (" + commandSearchPath() +
              "): the install agent is not downloaded, as it could not be unpacked; "
              "install the unzip package");
  return false;
}

std::string downloadInstallAgent(const std::string& workDir, const std::string& url,
                                 MessageCallback report, DownloadFunction download) {
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

}  // namespace

std::string sourceInstallAgentFrom(std::string location, std::string workDir, std::string url,
                                   MessageCallback report, DownloadFunction download) {
  bool exists = !location.empty() && pathExists(location);
  if (exists && !isArchive(location)) return location;
  std::string resourceDir = resourceDirectoryOf(location);
  if (!exists) location = findAlternativeArchive(resourceDir);
  if (!location.empty()) return unpackOrReport(location, workDir, report);
  logWhenBundleHoldsNoAgent(resourceDir);
  if (!unzipFoundForDownload()) return std::string();
  return downloadInstallAgent(workDir, url, report, download);
}
