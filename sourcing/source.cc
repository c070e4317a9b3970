#include "sourcing/source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "base/names.h"
#include "base/paths.h"
#include "cache/cache_layout.h"
#include "cache/cache_lock.h"
#include "cache/cache_trust.h"
#include "platform/os/file_system.h"
#include "platform/os/process.h"
#include "sourcing/unpack.h"

namespace {

std::string unpackOrReport(const std::string& archive, const std::string& destination,
                           MessageCallback report) {
  if (unzipInstallAgent(archive, destination, "unzip", report)) {
    return getInstallAgentExecutable(destination);
  }
  report("Failed to initialize the install agent.", true);
  return std::string();
}

// The first entry of `resourceDir`, in directory order, named
// "InstallAgent_" ... ".zip", as resourceDir + "/" + name; empty when there is
// none or the directory cannot be read.
std::string findAlternativeArchive(const std::string& resourceDir) {
  const std::string prefix = "InstallAgent_";
  for (const std::string& name : directoryEntries(resourceDir)) {
    if (name.size() >= prefix.size() + 4 && startsWith(name, prefix) && endsWith(name, ".zip")) {
      return resourceDir + PATH_SEPARATOR + name;
    }
  }
  return std::string();
}

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

// The folders the shell searches for a command: PATH, or when it is unset
// the default of /bin/sh (dash).
std::string commandSearchPath() {
  const char* path = std::getenv("PATH");
  return path != nullptr ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
}

// True when `tool` is an executable regular file in one of those folders, as
// /bin/sh would find it (an empty entry is the current folder).
bool toolOnPath(const std::string& tool) {
  std::string path = commandSearchPath();
  for (std::string::size_type start = 0;;) {
    std::string::size_type end = path.find(':', start);
    std::string folder = path.substr(start, end == std::string::npos ? end : end - start);
    std::string file = (folder.empty() ? "." : folder) + "/" + tool;
    struct stat info;
    if (stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(file.c_str(), X_OK) == 0)
      return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
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
  bool isArchive = location.size() > 4 && endsWith(location, ".zip");
  if (exists && !isArchive) return location;
  std::string resourceDir = location.substr(0, location.rfind('/'));  // "" at the root
  if (!exists) location = findAlternativeArchive(resourceDir);
  if (!location.empty()) return unpackOrReport(location, workDir, report);
  logWhenBundleHoldsNoAgent(resourceDir);
  // A download whose archive cannot be unpacked would cost the user the whole
  // transfer for nothing, and leave the cache emptied.
  if (!toolOnPath("unzip")) {
    platformLog("unzip not found on PATH (" + commandSearchPath() +
                "): the install agent is not downloaded, as it could not be unpacked; "
                "install the unzip package");
    return std::string();
  }
  return downloadInstallAgent(workDir, url, report, download);
}

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
