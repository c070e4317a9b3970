// Work handed to the main thread by other threads, each waiting for its own
// work to be done, until the main loop stops for good.
#ifndef BOOTSTRAP_PLATFORM_APP_MAIN_QUEUE_H_
#define BOOTSTRAP_PLATFORM_APP_MAIN_QUEUE_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class MainQueue {
 public:
  // The constructing thread is the main thread. `wake` is called (from any
  // thread, without the queue's lock) when work arrives; it has the main loop
  // call runPending() soon.
  explicit MainQueue(std::function<void()> wake);

  bool isMainThread() const { return std::this_thread::get_id() == mainThread_; }

  // Runs `work` on the main thread and waits until it has run: at once on
  // the main thread itself. Off the main thread, once the queue is released
  // (also while waiting) the work is dropped and the call returns at once.
  // True when the work ran.
  bool runSync(const std::function<void()>& work);

  // Main thread: runs the work handed over so far, in order.
  void runPending();

  // Main thread: drops the work waiting to run and every later hand-over,
  // releasing the threads that wait for theirs.
  void release();
  bool released() const;

 private:
  struct Item {
    const std::function<void()>* work;
    bool running = false;  // a released waiter still waits for running work
    bool done = false;
  };

  std::thread::id mainThread_;
  std::function<void()> wake_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Item>> pending_;
  bool released_ = false;
};

#endif  // BOOTSTRAP_PLATFORM_APP_MAIN_QUEUE_H_
