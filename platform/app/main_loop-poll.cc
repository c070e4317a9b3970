#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <vector>

#include "platform/app/main_loop.h"

namespace {

using Clock = std::chrono::steady_clock;
// Shared, so that a callback that unwatches or cancels itself runs to its end.
using Work = std::shared_ptr<std::function<void()>>;

struct Timer {
  Clock::time_point deadline;
  Clock::duration interval;
  bool repeat;
  Work work;
};

class PollMainLoop : public MainLoop {
 public:
  void iterate() override;
  void watch(int fd, std::function<void()> onReady) override {
    watches_[fd] = std::make_shared<std::function<void()>>(std::move(onReady));
  }
  void unwatch(int fd) override { watches_.erase(fd); }
  TimerId addTimer(double seconds, bool repeat, std::function<void()> work) override {
    auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(0.0, seconds)));
    timers_[nextTimer_] = Timer{Clock::now() + interval, interval, repeat,
                                std::make_shared<std::function<void()>>(std::move(work))};
    return nextTimer_++;
  }
  void cancelTimer(TimerId id) override { timers_.erase(id); }

 private:
  std::map<int, Work> watches_;
  std::map<TimerId, Timer> timers_;
  TimerId nextTimer_ = 1;
};

void PollMainLoop::iterate() {
  std::vector<pollfd> fds;
  for (const auto& entry : watches_) fds.push_back(pollfd{entry.first, POLLIN, 0});
  int timeout = -1;
  if (!timers_.empty()) {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& entry : timers_) next = std::min(next, entry.second.deadline);
    auto wait = std::chrono::duration<double, std::milli>(next - Clock::now()).count();
    timeout = wait <= 0 ? 0 : static_cast<int>(std::ceil(wait));
  }
  if (poll(fds.data(), fds.size(), timeout) > 0) {
    for (const pollfd& fd : fds) {
      auto watch = watches_.find(fd.fd);  // an earlier callback may have unwatched it
      if (fd.revents == 0 || watch == watches_.end()) continue;
      Work work = watch->second;
      (*work)();
    }
  }
  Clock::time_point now = Clock::now();
  std::vector<TimerId> due;
  for (const auto& entry : timers_) {
    if (entry.second.deadline <= now) due.push_back(entry.first);
  }
  for (TimerId id : due) {
    auto timer = timers_.find(id);  // an earlier timer may have cancelled it
    if (timer == timers_.end()) continue;
    Work work = timer->second.work;
    if (timer->second.repeat) {
      timer->second.deadline = now + timer->second.interval;
    } else {
      timers_.erase(timer);
    }
    (*work)();
  }
}

}  // namespace

std::unique_ptr<MainLoop> makePollMainLoop() { return std::make_unique<PollMainLoop>(); }
