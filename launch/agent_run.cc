#include "launch/agent_run.h"

#include <atomic>

namespace {

enum class RunState { kPreparing, kAgentRuns, kEnding };

// One value changed by compare-and-swap, so that the ending thread and the
// thread starting the agent never both win: either the agent starts and the
// signal is its own, or the run ends and no agent starts.
std::atomic<RunState> runState{RunState::kPreparing};

}  // namespace

bool beginInstallAgentRun() {
  RunState expected = RunState::kPreparing;
  return runState.compare_exchange_strong(expected, RunState::kAgentRuns);
}

void finishInstallAgentRun() {
  RunState expected = RunState::kAgentRuns;
  runState.compare_exchange_strong(expected, RunState::kPreparing);
}

bool installAgentRuns() { return runState.load() == RunState::kAgentRuns; }

bool claimEndOfRun() {
  RunState expected = RunState::kPreparing;
  return runState.compare_exchange_strong(expected, RunState::kEnding) ||
         expected == RunState::kEnding;
}
