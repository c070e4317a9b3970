#include "platform/terminal_render.h"

#include <gtest/gtest.h>

namespace {

WindowState statusState(const std::string& status, double value = 0, double maximum = 100) {
  WindowState state;
  state.status = status;
  state.progress.value = value;
  state.progress.maximum = maximum;
  return state;
}

}  // namespace

TEST(TerminalRenderTest, DeterminateBarFillsItsFraction) {
  struct Case {
    double value, maximum;
    std::string bar;
  } cases[] = {
      {0, 100, "[--------------------]"},   {50, 100, "[##########----------]"},
      {100, 100, "[####################]"}, {2048, 1024, "[####################]"},
      {99, 100, "[###################-]"},  {5, 0, "[--------------------]"},
      {-5, 100, "[--------------------]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.bar, terminalBar(ProgressState{c.value, c.maximum, false, false}, 0))
        << c.value << "/" << c.maximum;
  }
}

TEST(TerminalRenderTest, IndeterminateSegmentBouncesWithThePhase) {
  struct Case {
    int phase;
    std::string bar;
  } cases[] = {
      {0, "[#####---------------]"},  {1, "[-#####--------------]"},
      {15, "[---------------#####]"}, {16, "[--------------#####-]"},
      {29, "[-#####--------------]"}, {30, "[#####---------------]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.bar, terminalBar(ProgressState{40, 100, true, true}, c.phase)) << c.phase;
  }
}

TEST(TerminalRenderTest, LineIsBarAndTextCutToTheWidth) {
  const std::string bar = "[##########----------]";
  struct Case {
    std::string status;
    int columns;
    std::string line;
  } cases[] = {
      {"Downloading", 80, bar + " Downloading"},
      {"Downloading", 27, bar + " Down"},
      {"Downloading", 23, bar + " "},
      {"Downloading", 10, "[#########"},
      {"Downloading", 0, ""},
      {"Error.\nSee the log.", 80, bar + " Error. See the log."},
      {"T\xc3\xa9l\xc3\xa9"
       "chargement",
       27, bar + " T\xc3\xa9l\xc3\xa9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, terminalLine(statusState(c.status, 50), 0, c.columns, true))
        << c.status << " in " << c.columns;
  }
}

TEST(TerminalRenderTest, FailureTextIsRedOnlyWithColor) {
  WindowState failure = statusState("Failed to unzip the installer.", 100);
  failure.statusColor = TextColor::kRed;
  const std::string bar = "[####################] ";
  EXPECT_EQ(bar + "\033[31mFailed to unzip the installer.\033[0m",
            terminalLine(failure, 0, 80, true));
  EXPECT_EQ(bar + "\033[31mFailed\033[0m", terminalLine(failure, 0, 29, true));
  EXPECT_EQ(bar, terminalLine(failure, 0, 23, true));  // no text left to colour
  EXPECT_EQ(bar + "Failed to unzip the installer.", terminalLine(failure, 0, 80, false));
}

TEST(TerminalRenderTest, PlainLinesPerLineOfTheText) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"Downloading", {"Downloading"}},
      {"Error during the download process.\nSee the log in Console app for more information.",
       {"Error during the download process.", "See the log in Console app for more information."}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.lines, plainStatusLines(c.text)) << c.text;
}
