// The UI trace: with QZ_BOOTSTRAP_UI_TRACE set to a file path, the window
// appends one line to that file per change of a control, as read back from
// the control:
//
//   status <text>            a line feed written as \n, a backslash as \\ (two)
//   color <red|default>
//   progress <value> <max> <determinate|indeterminate> <animating|still>
//   button <title> <enabled|disabled>
//   splash <width>x<height>  (windows that show images)
//   closed                   once, when the window closes
#ifndef BOOTSTRAP_PLATFORM_WINDOW_MODEL_UI_TRACE_H_
#define BOOTSTRAP_PLATFORM_WINDOW_MODEL_UI_TRACE_H_

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window_model/window_state.h"

// The controls as a window shows them.
struct ControlReadings {
  std::string status;
  TextColor statusColor = TextColor::kDefault;
  ProgressState progress;
  std::string buttonTitle;
  bool buttonEnabled = true;
  bool showsImages = false;  // false: no splash line
  int splashWidth = 0;       // 0 x 0 without an image
  int splashHeight = 0;
};

// The readings of a window that draws straight from `state` and shows no
// images.
ControlReadings readingsOf(const WindowState& state);

// `text` with each line feed written as \n and each backslash as \\.
std::string traceEscape(const std::string& text);
// A plain decimal: "400", "0.5", "-3", the fewest digits that read back as
// `value`, never an exponent.
std::string traceNumber(double value);
// One line per control, without line feeds, in the order status, color,
// progress, button and (when it shows images) splash.
std::vector<std::string> traceLines(const ControlReadings& readings);

class UiTrace {
 public:
  // The trace QZ_BOOTSTRAP_UI_TRACE names; null when it is unset or empty or
  // the file cannot be opened for appending.
  static std::unique_ptr<UiTrace> fromEnvironment();
  // Appends to `path`; null when it cannot be opened.
  static std::unique_ptr<UiTrace> open(const std::string& path);
  ~UiTrace();
  UiTrace(const UiTrace&) = delete;
  UiTrace& operator=(const UiTrace&) = delete;

  // Writes, flushed, the line of each control whose line differs from the
  // last one written for that control (every line the first time).
  void record(const ControlReadings& readings);
  // Writes "closed", the first time only.
  void recordClosed();
  // Writes `lines`, whole lines of a window's own, as they are.
  void writeLines(const std::string& lines);

 private:
  explicit UiTrace(std::FILE* file) : file_(file) {}
  void writeLine(const std::string& line);

  std::mutex lock_;
  std::FILE* file_;
  std::map<std::string, std::string> lastLines_;  // by the line's first word
  bool closed_ = false;
};

#endif  // BOOTSTRAP_PLATFORM_WINDOW_MODEL_UI_TRACE_H_
