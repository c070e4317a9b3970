// The process itself and its children: its arguments and signals, starting
// and waiting for a child, and the platform log.
#ifndef BOOTSTRAP_PLATFORM_OS_PROCESS_H_
#define BOOTSTRAP_PLATFORM_OS_PROCESS_H_

#include <signal.h>

#include <string>
#include <vector>

// Keeps main's argument vector; call once in main before any thread starts.
void setProcessArguments(int argc, char** argv);

// The process's own arguments, the program's path first, as given to
// setProcessArguments; none before it.
std::vector<std::string> processArguments();

// SIGINT and SIGTERM but for one that came ignored from the parent (a
// script's background job, nohup): the signals the process acts on, and that
// its children get with the default action (an ignored one stays ignored).
// The first question, here or below, counts: ask before anything changes them.
sigset_t interruptsNotInheritedIgnored();
bool signalInheritedIgnored(int signal);

// Starts `program` with `arguments` after its own name, without a shell. The
// child inherits the environment, working directory and standard input,
// output and error, and no other descriptor; it starts with no signal
// blocked, and with SIGINT and SIGTERM as the process inherited them (ignored
// or default). False when it could not be started: `*pid` is -1 then, and
// `error` names the program and the reason.
bool spawnChild(const std::string& program, const std::vector<std::string>& arguments, int* pid,
                std::string* error);

// While it lives, every child started gets `fd` as its descriptor 3, kept
// across exec, and so do the programs it starts: a lock then stays held until
// they have ended, even when this process is killed first. -1 passes nothing.
// One at a time, on the thread that starts the children.
class InheritedDescriptor {
 public:
  explicit InheritedDescriptor(int fd);
  ~InheritedDescriptor();
  InheritedDescriptor(const InheritedDescriptor&) = delete;
  InheritedDescriptor& operator=(const InheritedDescriptor&) = delete;
};

// Waits for the child `pid` (that child only) and answers its wait status as
// system() gives it (0 when it exited with status 0), or -1 when it cannot be
// waited for.
int waitForChild(int pid);

// One line on standard error, "2026-12-06 23:59:21.123 NAME[PID:TID] text",
// and the same text to the system log.
void platformLog(const std::string& text);

#endif  // BOOTSTRAP_PLATFORM_OS_PROCESS_H_
