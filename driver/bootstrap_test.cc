#include "driver/bootstrap.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(BootstrapTest, InternalErrorMessageShowsTheSignedCode) {
  EXPECT_EQ("Internal error: Failed to initialize application installer (5)",
            internalErrorMessage(5));
  EXPECT_EQ("Internal error: Failed to initialize application installer (-2)",
            internalErrorMessage(-2));
}

TEST(BootstrapTest, PayloadHookDoesNothing) {
  ScratchDir dir;
  RecordedMessages::clear();
  EXPECT_EQ(0, extractPayloadToDir(dir.path(), false, RecordedMessages::record));
  EXPECT_TRUE(RecordedMessages::messages.empty());
  EXPECT_TRUE(listDir(dir.path()).empty());
}
