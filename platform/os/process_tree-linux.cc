#include "platform/os/process_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>

#include "platform/os/file_system.h"

namespace {

// From /proc/PID/stat: the process's state ('Z' for a zombie; 0 when it is
// gone) and its parent's pid, which follow the command name in parentheses
// (a name that may itself hold ")").
char processState(int pid, int* parent) {
  // Plain read(): a process that ends while its file is read fails the read
  // (ESRCH), which a stream would turn into an exception.
  int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buffer[1024];
  ssize_t count = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  std::string content(buffer, static_cast<size_t>(count > 0 ? count : 0));
  std::string::size_type close = content.rfind(')');
  if (close == std::string::npos || close + 4 >= content.size()) return 0;
  *parent = std::atoi(content.c_str() + close + 4);
  return content[close + 2];
}

}  // namespace

std::vector<int> descendantProcesses() {
  std::multimap<int, int> children;  // parent -> living child
  for (const std::string& name : directoryEntries("/proc")) {
    int pid = std::atoi(name.c_str()), parent = 0;
    char state = pid > 0 ? processState(pid, &parent) : 0;
    if (state != 0 && state != 'Z') children.emplace(parent, pid);
  }
  std::vector<int> found;  // a parent's children are added when it is reached
  int parent = static_cast<int>(getpid());
  for (std::size_t next = 0;; parent = found[next++]) {
    auto range = children.equal_range(parent);
    for (auto child = range.first; child != range.second; ++child) found.push_back(child->second);
    if (next == found.size()) return found;
  }
}

bool processEnded(int pid) {
  int parent;
  char state = processState(pid, &parent);
  return state == 0 || state == 'Z';
}
