#include "platform/window_model/window_state.h"

#include <algorithm>
#include <tuple>

bool operator==(const ProgressState& a, const ProgressState& b) {
  return std::tie(a.value, a.maximum, a.indeterminate, a.animating) ==
         std::tie(b.value, b.maximum, b.indeterminate, b.animating);
}

double progressFraction(const ProgressState& progress) {
  if (!(progress.maximum > 0)) return 0;
  double fraction = progress.value / progress.maximum;
  return fraction > 0 ? std::min(fraction, 1.0) : 0;  // NaN too gives 0
}

bool operator==(const WindowState& a, const WindowState& b) {
  auto fields = [](const WindowState& s) {
    return std::tie(s.status, s.statusColor, s.progress, s.buttonTitle, s.buttonEnabled,
                    s.splashPath);
  };
  return fields(a) == fields(b);
}
