// What the download window's controls hold, apart from any toolkit: the model
// the controls change and the window views draw.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_STATE_H_
#define BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_STATE_H_

#include <string>

enum class TextColor { kDefault, kRed };

struct ProgressState {
  double value = 0;
  double maximum = 100;
  bool indeterminate = false;
  // An indeterminate bar moves only while animating.
  bool animating = false;
};

bool operator==(const ProgressState& a, const ProgressState& b);
inline bool operator!=(const ProgressState& a, const ProgressState& b) { return !(a == b); }

// The share of the bar a determinate bar fills: value / maximum, within 0..1;
// 0 when the maximum is not above 0 or the value is not a number.
double progressFraction(const ProgressState& progress);

struct WindowState {
  std::string status;
  TextColor statusColor = TextColor::kDefault;
  bool singleLineMode = false;

  ProgressState progress;
  bool threadedAnimation = false;

  std::string buttonTitle = "Cancel";
  bool buttonEnabled = true;
  std::string keyEquivalent;

  std::string splashPath;  // empty: no image
  double splashWidth = 0;
  double splashHeight = 0;
  bool scalesProportionally = true;
  bool imageEditable = false;
};

bool operator==(const WindowState& a, const WindowState& b);
inline bool operator!=(const WindowState& a, const WindowState& b) { return !(a == b); }

#endif  // BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_STATE_H_
