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
//
// Numbers are plain decimals ("400", "0.5"), the fewest digits that read
// back exactly, never an exponent. A window with accessible controls adds,
// once shown and again when taken down, one line per control as assistive
// technology reads it:
//
//   accessible <control> <role> <name>[ value <v>]
#ifndef BOOTSTRAP_PLATFORM_WINDOW_MODEL_UI_TRACE_H_
#define BOOTSTRAP_PLATFORM_WINDOW_MODEL_UI_TRACE_H_

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window_model/window_state.h"

// One control as assistive technology reads it; `value` only when hasValue.
struct AccessibleReading {
  std::string control, role, name;
  bool hasValue;
  double value;
};

class UiTrace {
 public:
  // The trace QZ_BOOTSTRAP_UI_TRACE names; null when it is unset or empty or
  // the file cannot be opened for appending.
  static std::unique_ptr<UiTrace> fromEnvironment();
  ~UiTrace();

  // Writes, flushed, the line of each control whose line differs from the
  // last one written for that control (every line the first time).
  void record(const WindowState& readings);
  // Writes "closed"; once per window.
  void recordClosed();
  // Writes an "accessible" line for each of `controls`, in order.
  void recordAccessible(const std::vector<AccessibleReading>& controls);

 private:
  explicit UiTrace(std::FILE* file) : file_(file) {}
  void write(const std::string& lines);  // holding lock_

  std::mutex lock_;
  std::FILE* file_;
  std::map<std::string, std::string> lastLines_;  // by the line's first word
};

#endif  // BOOTSTRAP_PLATFORM_WINDOW_MODEL_UI_TRACE_H_
