// The processes below this one: its children and theirs.
#ifndef BOOTSTRAP_PLATFORM_OS_PROCESS_TREE_H_
#define BOOTSTRAP_PLATFORM_OS_PROCESS_TREE_H_

#include <vector>

// Every living (not zombie) descendant, parents before their children.
std::vector<int> descendantProcesses();

// True when `pid` has ended: it is gone, or a zombie waiting to be reaped.
bool processEnded(int pid);

#endif  // BOOTSTRAP_PLATFORM_OS_PROCESS_TREE_H_
