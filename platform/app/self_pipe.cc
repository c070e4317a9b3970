#include "platform/app/self_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

SelfPipe::SelfPipe() {
  if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) std::abort();
}

SelfPipe::~SelfPipe() {
  close(fds_[0]);
  close(fds_[1]);
}

void SelfPipe::notifyFd(int fd, char byte) {
  int saved = errno;
  ssize_t ignored = write(fd, &byte, 1);
  (void)ignored;
  errno = saved;
}

std::string SelfPipe::drain() const {
  std::string bytes;
  char buffer[64];
  for (;;) {
    ssize_t count = read(fds_[0], buffer, sizeof buffer);
    if (count > 0) {
      bytes.append(buffer, static_cast<size_t>(count));
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      return bytes;
    }
  }
}
