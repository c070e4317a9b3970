// The processes below this one: the children it started and theirs, such as
// the shell of a command line and the program that shell runs.
#ifndef BOOTSTRAP_PLATFORM_OS_PROCESS_TREE_H_
#define BOOTSTRAP_PLATFORM_OS_PROCESS_TREE_H_

#include <vector>

// Every living process that descends from this one, parents before their
// children. Processes that have ended (zombies) are left out.
std::vector<int> descendantProcesses();

// True when `pid` has ended: it is gone, or a zombie waiting to be reaped.
bool processEnded(int pid);

#endif  // BOOTSTRAP_PLATFORM_OS_PROCESS_TREE_H_
