#include "platform/os/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/paths.h"
#include "base/stderr_lock.h"

extern char** environ;

namespace {

std::vector<std::string> keptArguments;
std::atomic<int> inheritedFd{-1};

}  // namespace

sigset_t interruptsNotInheritedIgnored() {
  // As the first call found them: what the process changes later is its own.
  static const sigset_t acted = [] {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM}) {
      struct sigaction current;
      bool ignored = sigaction(signal, nullptr, &current) == 0 &&
                     (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
      if (!ignored) sigaddset(&set, signal);
    }
    return set;
  }();
  return acted;
}

bool signalInheritedIgnored(int signal) {
  sigset_t acted = interruptsNotInheritedIgnored();
  return sigismember(&acted, signal) == 0;
}

void setProcessArguments(int argc, char** argv) { keptArguments.assign(argv, argv + argc); }

std::vector<std::string> processArguments() { return keptArguments; }

InheritedDescriptor::InheritedDescriptor(int fd) { inheritedFd = fd; }

InheritedDescriptor::~InheritedDescriptor() { inheritedFd = -1; }

bool spawnChild(const std::string& program, const std::vector<std::string>& arguments, int* pid,
                std::string* error) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  // Only standard input, output and error go to the child, whatever a library
  // left open without close-on-exec, and an inherited descriptor as the 3rd
  // (a dup2 onto itself clears close-on-exec).
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int inherited = inheritedFd;
  if (inherited >= 0) posix_spawn_file_actions_adddup2(&actions, inherited, 3);
  posix_spawn_file_actions_addclosefrom_np(&actions, inherited >= 0 ? 4 : 3);
  // Nor does a signal this process blocks stay blocked in the child; an
  // ignored SIGINT or SIGTERM stays ignored, as exec keeps it, and the others
  // start with the default action, even when something in the process
  // ignores one of them meanwhile.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults = interruptsNotInheritedIgnored();
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child;
  int failure = posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  *pid = failure == 0 ? child : -1;
  if (failure != 0) *error = program + " cannot be started: " + std::strerror(failure);
  return failure == 0;
}

int waitForChild(int pid) {
  int status;
  while (waitpid(pid, &status, 0) != pid) {
    if (errno != EINTR) return -1;
  }
  return status;
}

void platformLog(const std::string& text) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[40];
  std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + length, sizeof stamp - length, ".%03d", int(now.tv_usec / 1000));
  std::string name = keptArguments.empty() ? "bootstrapper" : lastPathComponent(keptArguments[0]);
  std::string line = std::string(stamp) + " " + name + "[" + std::to_string(getpid()) + ":" +
                     std::to_string(static_cast<long>(syscall(SYS_gettid))) + "] " + text + "\n";
  {
    StandardErrorLine guard;  // the lock, with the terminal window's line out of the way
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  syslog(LOG_NOTICE, "%s", text.c_str());
}
