// The program's entry, and how a run ends on SIGINT or SIGTERM outside the download window and the
// agent's run: its children get the signal and are waited for, the temporary directories go,
// "Installation failed." is written and the process exits with 255. An ignored signal stays so.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "base/console_report.h"
#include "base/stderr_lock.h"
#include "driver/bootstrap.h"
#include "launch/agent_run.h"
#include "platform/os/file_system.h"
#include "platform/os/process.h"
#include "platform/os/process_tree.h"

namespace {

// The programs the run started get `signal` and are waited for, however long
// their own clean-up takes: nothing is killed behind their back. Standard
// error stays ours to the end: the main thread's own failure lines for the
// child that ends now would only repeat the last one.
[[noreturn]] void endInterruptedRun(int signal) {
  standardErrorLock().lock();
  std::vector<int> pids = descendantProcesses();
  for (int pid : pids) kill(pid, signal);
  for (int pid : pids) {
    while (!processEnded(pid)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  TempDir::removeAllLive();
  report_message_main("Installation failed.", true);
  _exit(255);
}

// A handler that someone installed meanwhile (the download window's
// self-pipe) gets the signal instead: it was asked for the time it is installed.
bool handOnToInstalledHandler(int signal) {
  struct sigaction current;
  bool installed = sigaction(signal, nullptr, &current) == 0 &&
                   (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler != SIG_DFL &&
                   current.sa_handler != SIG_IGN;
  if (installed) current.sa_handler(signal);
  return installed;
}

[[noreturn]] void watchForInterrupts(sigset_t signals) {
  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    // The agent's run comes first: the window may still be going down after
    // its hand-off, and a SIGTERM then is the agent's, not the window's.
    if (!installAgentRuns() && handOnToInstalledHandler(signal)) continue;
    if (!claimEndOfRun()) {
      // While the install agent runs, a signal is the agent's: a terminal's
      // Ctrl-C reached it already (one process group), and it decides, as
      // under system(). A SIGTERM sent to this process alone is passed on to
      // the agent and what it started, once. The main thread goes on waiting.
      if (signal == SIGTERM) {
        for (int pid : descendantProcesses()) kill(pid, SIGTERM);
      }
      continue;
    }
    endInterruptedRun(signal);
  }
}

// Blocked before any other thread starts, so that the signals reach only the
// watching thread, which takes them synchronously.
void installInterruptEnding() {
  sigset_t signals = interruptsNotInheritedIgnored();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(&watchForInterrupts, signals).detach();
}

}  // namespace

int main(int argc, char** argv) {
  setProcessArguments(argc, argv);
  installInterruptEnding();  // first: it notes which signals came ignored
  int result =
      bootstrapInstallerMainFunc(argc, const_cast<const char**>(argv), report_message_main);
  if (result != 0) report_message_main("Installation failed.", true);
  return result;
}
