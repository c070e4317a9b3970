#include "platform/app/main_loop.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/os/process.h"

namespace {

std::atomic<int> signalWriteFds[NSIG];  // 0: the signal is not caught

void writeByte(int fd, char byte) {
  int saved = errno;
  ssize_t ignored = ::write(fd, &byte, 1);
  (void)ignored;
  errno = saved;
}

void onSignal(int signal) {
  int fd = signalWriteFds[signal].load();
  if (fd > 0) writeByte(fd, static_cast<char>(signal));
}

}  // namespace

SelfPipe::SelfPipe(MainLoop& loop, std::function<void(const std::string& bytes)> onBytes)
    : loop_(loop) {
  if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) std::abort();
  loop_.watch(fds_[0], [this, onBytes] {
    std::string bytes;
    char buffer[64];
    ssize_t count;
    while ((count = read(fds_[0], buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
      if (count > 0) bytes.append(buffer, static_cast<size_t>(count));
    }
    onBytes(bytes);
  });
}

SelfPipe::~SelfPipe() {
  for (const auto& saved : saved_) {
    sigaction(saved.first, &saved.second, nullptr);
    signalWriteFds[saved.first].store(0);
  }
  loop_.unwatch(fds_[0]);
  close(fds_[0]);
  close(fds_[1]);
}

void SelfPipe::write(char byte) const { writeByte(fds_[1], byte); }

void SelfPipe::catchSignals(std::initializer_list<int> signals, bool keepIgnored) {
  struct sigaction action = {};
  action.sa_handler = &onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // other threads' calls go on undisturbed
  for (int signal : signals) {
    if (keepIgnored && signalInheritedIgnored(signal)) continue;
    signalWriteFds[signal].store(fds_[1]);
    saved_.emplace_back(signal, action);
    sigaction(signal, &action, &saved_.back().second);
  }
}
