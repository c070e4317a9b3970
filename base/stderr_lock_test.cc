#include "base/stderr_lock.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

struct RecordingLine : InPlaceLine {
  std::string events;
  void clear() override { events += "clear "; }
  void redraw() override { events += "redraw "; }
};

}  // namespace

TEST(StderrLockTest, WritersTakeTheInPlaceLineOutOfTheWay) {
  RecordingLine line;
  setInPlaceLine(&line);
  {
    StandardErrorLine writer;
    line.events += "write ";
    {
      StandardErrorLine nested;  // a writer calling another
      line.events += "write ";
    }
  }
  { StandardErrorLine writer; }
  setInPlaceLine(nullptr);
  { StandardErrorLine writer; }
  EXPECT_EQ("clear write write redraw clear redraw ", line.events);
}

TEST(StderrLockTest, LineHoldsTheLock) {
  StandardErrorLine writer;
  std::thread other([] { EXPECT_FALSE(standardErrorLock().try_lock()); });
  other.join();
}
