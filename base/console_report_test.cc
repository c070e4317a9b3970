#include "base/console_report.h"

#include <gtest/gtest.h>

TEST(ConsoleReportTest, ErrorsGoToStandardErrorWithOneNewline) {
  struct Case {
    std::string message;
    std::string written;
  } cases[] = {
      {"Installation failed.", "Installation failed.\n"},
      {"", "\n"},
      {"two\nlines", "two\nlines\n"},
      {"ends\n", "ends\n\n"},
      {std::string("nul\0byte", 8), std::string("nul\0byte\n", 9)},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    report_message_main(c.message, true);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(c.written, testing::internal::GetCapturedStderr());
  }
}

TEST(ConsoleReportTest, NonErrorsGoToStandardOutput) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  report_message_main("note", false);
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ("note\n", testing::internal::GetCapturedStdout());
}
