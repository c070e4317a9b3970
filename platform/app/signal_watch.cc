#include "platform/app/signal_watch.h"

#include "platform/os/process.h"

#include <atomic>
#include <string>

namespace {

std::atomic<int> signalWriteFd{-1};

}  // namespace

void SignalWatch::handle(int signal) {
  int fd = signalWriteFd.load();
  if (fd >= 0) SelfPipe::notifyFd(fd, static_cast<char>(signal));
}

SignalWatch::SignalWatch() {
  signalWriteFd.store(pipe_.writeFd());
  struct sigaction action = {};
  action.sa_handler = &SignalWatch::handle;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // other threads' calls go on undisturbed
  for (int signal : {SIGINT, SIGTERM}) {
    // Whoever started us with it ignored wants it ignored: a handler would
    // also reach children started meanwhile as the default action.
    if (signalInheritedIgnored(signal)) continue;
    watched_.push_back({signal, {}});
    sigaction(signal, &action, &watched_.back().saved);
  }
}

SignalWatch::~SignalWatch() {
  for (const Watched& watched : watched_) sigaction(watched.signal, &watched.saved, nullptr);
  signalWriteFd.store(-1);
}

std::vector<int> SignalWatch::take() {
  std::string bytes = pipe_.drain();
  return std::vector<int>(bytes.begin(), bytes.end());
}
