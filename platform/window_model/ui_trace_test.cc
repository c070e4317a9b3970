#include "platform/window_model/ui_trace.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

ControlReadings downloading() {
  ControlReadings readings;
  readings.status = "Downloading";
  readings.buttonTitle = "Cancel";
  return readings;
}

}  // namespace

TEST(UiTraceTest, EscapesLineFeedsAndBackslashes) {
  struct Case {
    std::string text, escaped;
  } cases[] = {
      {"", ""},
      {"Downloading", "Downloading"},
      {"one\ntwo", "one\\ntwo"},
      {"C:\\dir", "C:\\\\dir"},
      {"\\n", "\\\\n"},
      {"\n\n", "\\n\\n"},
      {"tab\there", "tab\there"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.escaped, traceEscape(c.text)) << c.text;
}

TEST(UiTraceTest, NumbersArePlainDecimals) {
  struct Case {
    double value;
    std::string text;
  } cases[] = {
      {400, "400"},
      {1000, "1000"},
      {0.5, "0.5"},
      {0, "0"},
      {-0.0, "0"},
      {0.1, "0.1"},
      {-3, "-3"},
      {1.25, "1.25"},
      {52428800, "52428800"},
      {1e20, "100000000000000000000"},
      {1e-7, "0.0000001"},
      {1.0 / 3, "0.3333333333333333"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, traceNumber(c.value)) << c.value;
}

TEST(UiTraceTest, LinesOfEachControl) {
  ControlReadings failure;
  failure.status = "Error during the download process.\nSee the log.";
  failure.statusColor = TextColor::kRed;
  failure.progress = ProgressState{2048, 2048, false, false};
  failure.buttonTitle = "Close";
  failure.buttonEnabled = false;
  failure.showsImages = true;
  failure.splashWidth = 400;
  failure.splashHeight = 300;

  ControlReadings unpacking = downloading();
  unpacking.progress = ProgressState{0.5, 100, true, true};

  struct Case {
    ControlReadings readings;
    std::vector<std::string> lines;
  } cases[] = {
      {downloading(),
       {"status Downloading", "color default", "progress 0 100 determinate still",
        "button Cancel enabled"}},
      {unpacking,
       {"status Downloading", "color default", "progress 0.5 100 indeterminate animating",
        "button Cancel enabled"}},
      {failure,
       {"status Error during the download process.\\nSee the log.", "color red",
        "progress 2048 2048 determinate still", "button Close disabled", "splash 400x300"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.lines, traceLines(c.readings)) << c.lines[0];
}

TEST(UiTraceTest, WritesOnlyWhatChangedAndClosedOnce) {
  ScratchDir dir;
  writeFile(dir / "trace", "earlier\n");
  std::unique_ptr<UiTrace> trace = UiTrace::open(dir / "trace");
  ASSERT_NE(nullptr, trace);

  ControlReadings readings = downloading();
  trace->record(readings);
  trace->record(readings);  // nothing changed
  readings.progress.value = 10;
  trace->record(readings);
  readings.buttonEnabled = false;
  readings.progress.value = 20;
  trace->record(readings);
  trace->recordClosed();
  trace->recordClosed();

  EXPECT_EQ(
      "earlier\n"
      "status Downloading\ncolor default\nprogress 0 100 determinate still\n"
      "button Cancel enabled\n"
      "progress 10 100 determinate still\n"
      "progress 20 100 determinate still\nbutton Cancel disabled\n"
      "closed\n",
      readFile(dir / "trace"));
}

TEST(UiTraceTest, OpenedFromTheEnvironment) {
  ScratchDir dir;
  {
    ScopedEnv unset("QZ_BOOTSTRAP_UI_TRACE", std::nullopt);
    EXPECT_EQ(nullptr, UiTrace::fromEnvironment());
  }
  {
    ScopedEnv empty("QZ_BOOTSTRAP_UI_TRACE", "");
    EXPECT_EQ(nullptr, UiTrace::fromEnvironment());
  }
  {
    ScopedEnv unwritable("QZ_BOOTSTRAP_UI_TRACE", dir / "missing/trace");
    EXPECT_EQ(nullptr, UiTrace::fromEnvironment());
  }
  ScopedEnv set("QZ_BOOTSTRAP_UI_TRACE", dir / "trace");
  std::unique_ptr<UiTrace> trace = UiTrace::fromEnvironment();
  ASSERT_NE(nullptr, trace);
  trace->recordClosed();
  EXPECT_EQ("closed\n", readFile(dir / "trace"));
}
