// How a run ends on SIGINT or SIGTERM outside the download window (the window
// watches them itself while it is up, and closes) and outside the install
// agent's run (launch/agent_run.h; the agent decides then, as under system()):
// the programs the run started get the same signal and are waited for, the
// temporary directories are removed, "Installation failed." is written and the
// process exits with status 255. A signal that came ignored stays ignored.
#ifndef BOOTSTRAP_DRIVER_INTERRUPT_ENDING_H_
#define BOOTSTRAP_DRIVER_INTERRUPT_ENDING_H_

// Blocks SIGINT and SIGTERM (those not ignored) in this thread, and so in
// every thread started later, and starts the thread that takes them; once per
// process, before any other thread starts. A signal handler installed meanwhile (the window's)
// gets the signal from that thread instead. Children are started with an
// empty signal mask and the dispositions the process inherited (spawnChild).
void installInterruptEnding();

// The ending itself, as the thread runs it for `signal`: forwards it to every
// descendant, waits for them to end, removes the live temporary directories
// and writes the last line. Does not exit; the caller does.
void endInterruptedRun(int signal);

#endif  // BOOTSTRAP_DRIVER_INTERRUPT_ENDING_H_
