#include "platform/app/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace {

// Generous: only a hang exceeds it.
constexpr std::chrono::seconds kNoHang{20};

// Counts wake-ups; lets a test wait until a hand-over is queued.
struct Wakes {
  std::atomic<int> count{0};
  void waitFor(int wanted) const {
    auto deadline = std::chrono::steady_clock::now() + kNoHang;
    while (count.load() < wanted && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
  }
};

}  // namespace

TEST(MainQueueTest, HandsWorkToTheMainThreadInOrderAndWaits) {
  Wakes wakes;
  MainQueue queue([&] { ++wakes.count; });
  std::vector<std::string> done;  // main thread only
  std::thread::id mainThread = std::this_thread::get_id();
  std::vector<bool> onMain;
  EXPECT_TRUE(queue.runSync([&] { done.push_back("at once"); })) << "on the main thread itself";
  auto other = std::async(std::launch::async, [&] {
    bool first = queue.runSync([&] {
      done.push_back("first");
      onMain.push_back(std::this_thread::get_id() == mainThread);
    });
    bool second = queue.runSync([&] {
      done.push_back("second");
      onMain.push_back(std::this_thread::get_id() == mainThread);
    });
    return first && second;
  });
  for (int handed = 1; handed <= 2; ++handed) {
    wakes.waitFor(handed);
    queue.runPending();
  }
  ASSERT_EQ(std::future_status::ready, other.wait_for(kNoHang));
  EXPECT_TRUE(other.get());
  EXPECT_EQ((std::vector<std::string>{"at once", "first", "second"}), done);
  EXPECT_EQ((std::vector<bool>{true, true}), onMain);
}

TEST(MainQueueTest, ReleaseFreesWaitingThreadsAndRefusesLaterWork) {
  Wakes wakes;
  MainQueue queue([&] { ++wakes.count; });
  std::atomic<int> ran{0};
  auto blocked = std::async(std::launch::async, [&] { return queue.runSync([&] { ++ran; }); });
  wakes.waitFor(1);
  EXPECT_EQ(std::future_status::timeout, blocked.wait_for(std::chrono::milliseconds(50)));

  queue.release();
  ASSERT_EQ(std::future_status::ready, blocked.wait_for(kNoHang));
  EXPECT_FALSE(blocked.get());
  EXPECT_TRUE(queue.released());

  auto later = std::async(std::launch::async, [&] { return queue.runSync([&] { ++ran; }); });
  ASSERT_EQ(std::future_status::ready, later.wait_for(kNoHang));
  EXPECT_FALSE(later.get());
  queue.runPending();
  EXPECT_EQ(0, ran.load());
  EXPECT_EQ(1, wakes.count.load());  // refused work wakes nobody
}
