// How a run ends on SIGINT or SIGTERM outside the download window (the window
// watches them itself while it is up, and closes) and outside the install
// agent's run (launch/agent_run.h; the agent decides then, as under system()):
// the programs the run started get the same signal and are waited for, the
// temporary directories are removed, "Installation failed." is written and the
// process exits with status 255. A signal that came ignored stays ignored.
#ifndef BOOTSTRAP_DRIVER_INTERRUPT_ENDING_H_
#define BOOTSTRAP_DRIVER_INTERRUPT_ENDING_H_

// Blocks SIGINT and SIGTERM (those not ignored) in this thread, and so in
// every thread started later, and starts the thread that takes them; once,
// before any other thread starts. A signal handler installed meanwhile (the
// window's) gets the signal from that thread instead. Children are started
// with an empty signal mask and the dispositions the process inherited
// (spawnChild).
void installInterruptEnding();

#endif  // BOOTSTRAP_DRIVER_INTERRUPT_ENDING_H_
