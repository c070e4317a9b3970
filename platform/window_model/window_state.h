// What the download window shows, apart from any toolkit: the state the
// download's events change, the views draw and the UI trace reads back; the
// title.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_STATE_H_
#define BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_STATE_H_

#include <algorithm>
#include <string>

enum class TextColor { kDefault, kRed };

struct ProgressState {
  double value = 0;
  double maximum = 100;
  bool indeterminate = false;
  // An indeterminate bar moves only while animating.
  bool animating = false;
};

// The share of the bar a determinate bar fills: value / maximum, within 0..1;
// 0 when the maximum is not above 0 or the value is not a number.
inline double progressFraction(const ProgressState& progress) {
  double fraction = progress.maximum > 0 ? progress.value / progress.maximum : 0;
  return fraction > 0 ? std::min(fraction, 1.0) : 0;  // NaN too gives 0
}

// The window's first state: "Downloading", an empty bar of 100, and the
// button "Cancel", which Return presses while it is enabled.
struct WindowState {
  std::string status = "Downloading";
  TextColor statusColor = TextColor::kDefault;
  ProgressState progress;
  std::string buttonTitle = "Cancel";
  bool buttonEnabled = true;
  std::string splashPath;  // empty: no image; shown within 400 x 400 points
  // Read back from a window that shows images: the splash's size on the
  // screen, 0 x 0 without one. -1: a window without images.
  int splashWidth = -1;
  int splashHeight = -1;
};

// For the executable at `executablePath` (a real path): the bundle's folder
// name without ".app" ("Boot" for /x/Boot.app/Contents/MacOS/bootstrapper),
// or the executable's file name for a flat install; "Installer" when that
// leaves nothing.
std::string windowTitleForExecutable(const std::string& executablePath);

// The title for this process, from /proc/self/exe; "Installer" when that
// link cannot be read.
std::string currentWindowTitle();

#endif  // BOOTSTRAP_PLATFORM_WINDOW_MODEL_WINDOW_STATE_H_
