#include "gtk/main_loop-glib.h"

#include <glib-unix.h>
#include <glib.h>

#include <map>

namespace {

class GlibMainLoop : public MainLoop {
 public:
  ~GlibMainLoop() override;
  void iterate() override { g_main_context_iteration(nullptr, TRUE); }
  void watch(int fd, std::function<void()> onReady) override;
  void unwatch(int fd) override;
  TimerId addTimer(double seconds, bool repeat, std::function<void()> work) override;
  void cancelTimer(TimerId id) override;
  void cancelAllTimers() override;

 private:
  struct Timer {
    GlibMainLoop* loop;
    TimerId id;
    bool repeat;
    std::function<void()> work;
  };

  static gboolean onReady(gint fd, GIOCondition condition, gpointer closure);
  static gboolean onTimer(gpointer closure);

  std::map<int, guint> watches_;  // fd -> source
  std::map<TimerId, guint> timers_;
  TimerId nextTimer_ = 1;
};

template <typename T>
void deleteClosure(gpointer closure) {
  delete static_cast<T*>(closure);
}

GlibMainLoop::~GlibMainLoop() {
  cancelAllTimers();
  for (const auto& watch : watches_) g_source_remove(watch.second);
}

gboolean GlibMainLoop::onReady(gint, GIOCondition, gpointer closure) {
  (*static_cast<std::function<void()>*>(closure))();
  return G_SOURCE_CONTINUE;
}

void GlibMainLoop::watch(int fd, std::function<void()> onReady) {
  unwatch(fd);
  auto* closure = new std::function<void()>(std::move(onReady));
  watches_[fd] = g_unix_fd_add_full(
      G_PRIORITY_DEFAULT, fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
      &GlibMainLoop::onReady, closure, &deleteClosure<std::function<void()>>);
}

void GlibMainLoop::unwatch(int fd) {
  auto watch = watches_.find(fd);
  if (watch == watches_.end()) return;
  g_source_remove(watch->second);
  watches_.erase(watch);
}

gboolean GlibMainLoop::onTimer(gpointer closure) {
  auto* timer = static_cast<Timer*>(closure);
  // A source being dispatched keeps its closure until the dispatch ends, even
  // when the work cancels it.
  if (!timer->repeat) timer->loop->timers_.erase(timer->id);
  timer->work();
  return timer->repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

MainLoop::TimerId GlibMainLoop::addTimer(double seconds, bool repeat, std::function<void()> work) {
  TimerId id = nextTimer_++;
  auto* timer = new Timer{this, id, repeat, std::move(work)};
  guint interval = seconds > 0 ? static_cast<guint>(seconds * 1000 + 0.5) : 0;
  timers_[id] = g_timeout_add_full(G_PRIORITY_DEFAULT, interval, &GlibMainLoop::onTimer, timer,
                                   &deleteClosure<Timer>);
  return id;
}

void GlibMainLoop::cancelTimer(TimerId id) {
  auto timer = timers_.find(id);
  if (timer == timers_.end()) return;
  g_source_remove(timer->second);
  timers_.erase(timer);
}

void GlibMainLoop::cancelAllTimers() {
  for (const auto& timer : timers_) g_source_remove(timer.second);
  timers_.clear();
}

}  // namespace

std::unique_ptr<MainLoop> makeGlibMainLoop() { return std::make_unique<GlibMainLoop>(); }
