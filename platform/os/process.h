// The process's arguments and signals, its children, and the platform log.
#ifndef BOOTSTRAP_PLATFORM_OS_PROCESS_H_
#define BOOTSTRAP_PLATFORM_OS_PROCESS_H_

#include <signal.h>

#include <string>
#include <vector>

// Keeps main's argument vector; call once in main before any thread starts.
void setProcessArguments(int argc, char** argv);

// The arguments given to setProcessArguments, the program's path first.
std::vector<std::string> processArguments();

// SIGINT and SIGTERM but one that came ignored from the parent (nohup): those
// the process acts on. The first call, before anything changes them, counts.
sigset_t interruptsNotInheritedIgnored();
bool signalInheritedIgnored(int signal);

// Starts `program` with `arguments`, without a shell, with standard input,
// output and error only, no signal blocked, and SIGINT and SIGTERM as the
// process inherited them. False (`*pid` -1, why in `error`) when it cannot.
bool spawnChild(const std::string& program, const std::vector<std::string>& arguments, int* pid,
                std::string* error);

// While it lives, every child started gets `fd` (-1: none) as its descriptor
// 3, so that a lock stays held until they end. One at a time.
class InheritedDescriptor {
 public:
  explicit InheritedDescriptor(int fd);
  ~InheritedDescriptor();
  InheritedDescriptor(const InheritedDescriptor&) = delete;
  InheritedDescriptor& operator=(const InheritedDescriptor&) = delete;
};

// Waits for the child `pid`: its wait status as system() gives it, or -1.
int waitForChild(int pid);

// One line on standard error, "2026-12-06 23:59:21.123 NAME[PID:TID] text",
// and the same text to the system log.
void platformLog(const std::string& text);

#endif  // BOOTSTRAP_PLATFORM_OS_PROCESS_H_
