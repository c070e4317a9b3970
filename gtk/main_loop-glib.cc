#include <glib-unix.h>
#include <glib.h>

#include <map>

#include "gtk/window-gtk.h"

namespace {

class GlibMainLoop : public MainLoop {
 public:
  ~GlibMainLoop() override {
    for (const auto& source : sources_) g_source_remove(source.second);
  }
  void iterate() override { g_main_context_iteration(nullptr, TRUE); }
  void watch(int fd, std::function<void()> onReady) override {
    unwatch(fd);
    auto condition = static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR);
    watches_[fd] =
        add(g_unix_fd_source_new(fd, condition), G_SOURCE_FUNC(&onFd), true, std::move(onReady));
  }
  void unwatch(int fd) override {
    auto watch = watches_.find(fd);
    if (watch == watches_.end()) return;
    cancelTimer(watch->second);
    watches_.erase(watch);
  }
  TimerId addTimer(double seconds, bool repeat, std::function<void()> work) override {
    guint milliseconds = seconds > 0 ? static_cast<guint>(seconds * 1000 + 0.5) : 0;
    return add(g_timeout_source_new(milliseconds), &dispatch, repeat, std::move(work));
  }
  void cancelTimer(TimerId id) override {
    auto source = sources_.find(id);
    if (source == sources_.end()) return;
    g_source_remove(source->second);
    sources_.erase(source);
  }

 private:
  struct Callback {
    GlibMainLoop* loop;
    TimerId id;
    bool repeat;
    std::function<void()> work;
  };

  static gboolean dispatch(gpointer closure) {
    auto* callback = static_cast<Callback*>(closure);
    // A source being dispatched keeps its closure until the dispatch ends, even
    // when the work removes it.
    if (!callback->repeat) callback->loop->sources_.erase(callback->id);
    callback->work();
    return callback->repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }
  static gboolean onFd(gint, GIOCondition, gpointer closure) { return dispatch(closure); }

  // Attaches `source`, whose `call` calls `work` (once unless `repeat`), to
  // the default context; the id of its entry in sources_.
  TimerId add(GSource* source, GSourceFunc call, bool repeat, std::function<void()> work) {
    TimerId id = nextId_++;
    g_source_set_callback(source, call, new Callback{this, id, repeat, std::move(work)},
                          [](gpointer closure) { delete static_cast<Callback*>(closure); });
    sources_[id] = g_source_attach(source, nullptr);
    g_source_unref(source);
    return id;
  }

  std::map<TimerId, guint> sources_;  // timers' and watches'
  std::map<int, TimerId> watches_;    // fd -> its entry in sources_
  TimerId nextId_ = 1;
};

}  // namespace

std::unique_ptr<MainLoop> makeGlibMainLoop() { return std::make_unique<GlibMainLoop>(); }
