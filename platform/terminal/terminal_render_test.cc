#include "platform/terminal/terminal_render.h"

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
    EXPECT_EQ(c.bar, terminalBar(ProgressState{c.value, c.maximum, false, false}, 0, 20))
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
    EXPECT_EQ(c.bar, terminalBar(ProgressState{40, 100, true, true}, c.phase, 20)) << c.phase;
  }
}

TEST(TerminalRenderTest, BarTakesAThirdOfTheWidthWithinBounds) {
  struct Case {
    int columns, cells;
  } cases[] = {{60, 20}, {80, 26}, {120, 40}, {400, 40}, {30, 10}, {12, 10}, {0, 10}, {-5, 10}};
  for (const Case& c : cases) EXPECT_EQ(c.cells, terminalBarCells(c.columns)) << c.columns;
  // A narrow bar still fits the bouncing segment, at both ends.
  EXPECT_EQ("[##########]", terminalBar(ProgressState{1, 1, false, false}, 0, 10));
  EXPECT_EQ("[-----#####]", terminalBar(ProgressState{0, 1, true, true}, 5, 10));
  EXPECT_EQ("[#####]", terminalBar(ProgressState{0, 1, true, true}, 3, 5));
}

TEST(TerminalRenderTest, LineIsBarSizedToTheWidthAndTextCutToIt) {
  const std::string bar20 = "[##########----------]";        // 60 columns
  const std::string bar26 = "[#############-------------]";  // 80 columns
  const std::string bar10 = "[#####-----]";                  // 30 columns and fewer
  struct Case {
    std::string status;
    int columns;
    std::string line;
  } cases[] = {
      {"Downloading", 80, bar26 + " Downloading"},
      {"Downloading", 60, bar20 + " Downloading"},
      {"Downloading", 30, bar10 + " Downloading"},
      {"Downloading", 17, bar10 + " Down"},
      {"Downloading", 13, bar10 + " "},
      {"Downloading", 8, "[#####--"},
      {"Downloading", 0, ""},
      {"Error.\nSee the log.", 60, bar20 + " Error. See the log."},
      {"T\xc3\xa9l\xc3\xa9"
       "chargement",
       17, bar10 + " T\xc3\xa9l\xc3\xa9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, terminalLine(statusState(c.status, 50), 0, c.columns, true))
        << c.status << " in " << c.columns;
  }
}

TEST(TerminalRenderTest, FailureTextIsRedOnlyWithColor) {
  WindowState failure = statusState("Failed to unzip the installer.", 100);
  failure.statusColor = TextColor::kRed;
  const std::string bar = "[####################] ";  // 60 columns
  EXPECT_EQ(bar + "\033[31mFailed to unzip the installer.\033[0m",
            terminalLine(failure, 0, 60, true));
  EXPECT_EQ(bar + "Failed to unzip the installer.", terminalLine(failure, 0, 60, false));
  const std::string narrow = "[##########] ";  // 30 columns
  EXPECT_EQ(narrow + "\033[31mFailed to unzip t\033[0m", terminalLine(failure, 0, 30, true));
  EXPECT_EQ("[##########]", terminalLine(failure, 0, 12, true));  // no text left to colour
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
