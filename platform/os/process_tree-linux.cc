#include "platform/os/process_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>

#include "platform/os/file_system.h"

namespace {

struct ProcessState {
  int parent = 0;
  char state = '?';
};

// From /proc/PID/stat: the state and the parent's pid, which follow the
// command name in parentheses (a name that may itself hold ")").
bool readProcessState(int pid, ProcessState* result) {
  // Plain read(): a process that ends while its file is read fails the read
  // (ESRCH), which a stream would turn into an exception.
  int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[1024];
  ssize_t count = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (count <= 0) return false;
  std::string content(buffer, static_cast<size_t>(count));
  std::string::size_type close = content.rfind(')');
  if (close == std::string::npos || close + 4 >= content.size()) return false;
  const char* rest = content.c_str() + close + 2;
  result->state = rest[0];
  result->parent = std::atoi(rest + 2);
  return true;
}

std::multimap<int, int> childrenByParent() {
  std::multimap<int, int> children;
  for (const std::string& name : directoryEntries("/proc")) {
    int pid = std::atoi(name.c_str());
    ProcessState state;
    if (pid > 0 && readProcessState(pid, &state) && state.state != 'Z') {
      children.emplace(state.parent, pid);
    }
  }
  return children;
}

}  // namespace

std::vector<int> descendantProcesses() {
  std::multimap<int, int> children = childrenByParent();
  std::vector<int> found;
  std::vector<int> parents = {static_cast<int>(getpid())};
  while (!parents.empty()) {
    int parent = parents.back();
    parents.pop_back();
    auto range = children.equal_range(parent);
    for (auto child = range.first; child != range.second; ++child) {
      found.push_back(child->second);
      parents.push_back(child->second);
    }
  }
  return found;
}

bool processEnded(int pid) {
  ProcessState state;
  return !readProcessState(pid, &state) || state.state == 'Z';
}
