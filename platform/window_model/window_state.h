// What the download window shows, apart from any toolkit: the state the
// download's events change and the window views draw.
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

// The window's first state: "Downloading", an empty bar of 100, and the
// button "Cancel", which Return presses while it is enabled.
struct WindowState {
  std::string status = "Downloading";
  TextColor statusColor = TextColor::kDefault;
  ProgressState progress;
  std::string buttonTitle = "Cancel";
  bool buttonEnabled = true;
  std::string splashPath;  // empty: no image; shown within 400 x 400 points
};

bool operator==(const WindowState& a, const WindowState& b);
inline bool operator!=(const WindowState& a, const WindowState& b) { return !(a == b); }

#endif  // BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_STATE_H_
