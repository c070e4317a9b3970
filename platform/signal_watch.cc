#include "platform/signal_watch.h"

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
  sigaction(SIGINT, &action, &savedInterrupt_);
  sigaction(SIGTERM, &action, &savedTerminate_);
}

SignalWatch::~SignalWatch() {
  sigaction(SIGINT, &savedInterrupt_, nullptr);
  sigaction(SIGTERM, &savedTerminate_, nullptr);
  signalWriteFd.store(-1);
}

std::vector<int> SignalWatch::take() {
  std::string bytes = pipe_.drain();
  return std::vector<int>(bytes.begin(), bytes.end());
}
