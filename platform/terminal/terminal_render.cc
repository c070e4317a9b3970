#include "platform/terminal/terminal_render.h"

#include <algorithm>
#include <cmath>

namespace {

bool startsCharacter(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

// The first `count` UTF-8 characters of `text`; `count` is lowered by the
// characters taken.
std::string firstCharacters(const std::string& text, int& count) {
  size_t end = 0;
  while (end < text.size()) {
    if (startsCharacter(text[end])) {
      if (count == 0) break;
      --count;
    }
    ++end;
  }
  return text.substr(0, end);
}

std::string withoutControls(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return text;
}

int segmentStart(int phase, int cells) {
  const int travel = cells - kTerminalSegmentCells;
  if (travel == 0) return 0;
  int step = phase % (2 * travel);
  if (step < 0) step += 2 * travel;
  return step <= travel ? step : 2 * travel - step;
}

}  // namespace

int terminalBarCells(int columns) {
  return std::min(kTerminalMaxBarCells, std::max(kTerminalMinBarCells, columns / 3));
}

std::string terminalBar(const ProgressState& progress, int phase, int cells) {
  cells = std::max(cells, kTerminalSegmentCells);
  std::string bar(cells, '-');
  if (progress.indeterminate) {
    bar.replace(segmentStart(phase, cells), kTerminalSegmentCells, kTerminalSegmentCells, '#');
  } else {
    int filled = static_cast<int>(std::floor(progressFraction(progress) * cells));
    bar.replace(0, filled, filled, '#');
  }
  return "[" + bar + "]";
}

std::string terminalLine(const WindowState& state, int phase, int columns, bool color) {
  int room = columns > 0 ? columns : 0;
  std::string bar = terminalBar(state.progress, phase, terminalBarCells(columns));
  std::string line = firstCharacters(bar + " ", room);
  std::string status = firstCharacters(withoutControls(state.status), room);
  if (color && state.statusColor == TextColor::kRed && !status.empty()) {
    return line + "\033[31m" + status + "\033[0m";
  }
  return line + status;
}

std::vector<std::string> plainStatusLines(const std::string& text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}
