// What the terminal window writes for the download window: the in-place line
// on a terminal, plain lines elsewhere.
#ifndef BOOTSTRAP_PLATFORM_TERMINAL_TERMINAL_RENDER_H_
#define BOOTSTRAP_PLATFORM_TERMINAL_TERMINAL_RENDER_H_

#include <string>
#include <vector>

#include "platform/window_model/window_state.h"

// Cells between the bar's brackets: a third of the terminal's width, within
// these bounds; and the cells of an indeterminate bar's segment.
constexpr int kTerminalMinBarCells = 10;
constexpr int kTerminalMaxBarCells = 40;
constexpr int kTerminalSegmentCells = 5;

// The bar's cells on a terminal `columns` wide: 20 on 60 columns, 26 on 80.
int terminalBarCells(int columns);

// "[" + `cells` cells + "]". Determinate: the bar's fraction of the cells '#',
// the rest '-'. Indeterminate: a segment of '#' that bounces from end to end
// as `phase` counts up.
std::string terminalBar(const ProgressState& progress, int phase, int cells);

// The in-place line for a terminal `columns` wide: the bar sized to it, a
// blank and the status text with every control character (a line feed too) as
// a blank, cut to `columns` characters (a UTF-8 character counts one). With
// `color`, a red status text is put between the escape codes for red and
// back, which count nothing.
std::string terminalLine(const WindowState& state, int phase, int columns, bool color);

// The plain lines that show a status text: one per line of it; none for the
// empty text.
std::vector<std::string> plainStatusLines(const std::string& text);

#endif  // BOOTSTRAP_PLATFORM_TERMINAL_TERMINAL_RENDER_H_
