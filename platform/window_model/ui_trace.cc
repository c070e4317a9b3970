#include "platform/window_model/ui_trace.h"

#include <cmath>
#include <cstdlib>

namespace {

std::string traceEscape(const std::string& text) {
  std::string escaped;
  for (char c : text) escaped += c == '\n' ? "\\n" : c == '\\' ? "\\\\" : std::string(1, c);
  return escaped;
}

std::string traceNumber(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0) return "0";  // also -0
  char buffer[400];
  // The fewest fraction digits that read back exactly; %f never writes an
  // exponent, and leaves no zeros after the last significant digit.
  for (int digits = 0; digits <= 330; ++digits) {
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
    if (std::strtod(buffer, nullptr) == value) break;
  }
  return buffer;
}

// One line per control, in the order status, color, progress, button and
// (for a window that shows images) splash.
std::vector<std::string> traceLines(const WindowState& readings) {
  const ProgressState& progress = readings.progress;
  std::vector<std::string> lines = {
      "status " + traceEscape(readings.status),
      std::string("color ") + (readings.statusColor == TextColor::kRed ? "red" : "default"),
      "progress " + traceNumber(progress.value) + " " + traceNumber(progress.maximum) +
          (progress.indeterminate ? " indeterminate" : " determinate") +
          (progress.animating ? " animating" : " still"),
      "button " + traceEscape(readings.buttonTitle) +
          (readings.buttonEnabled ? " enabled" : " disabled"),
  };
  if (readings.splashWidth >= 0) {
    lines.push_back("splash " + std::to_string(readings.splashWidth) + "x" +
                    std::to_string(readings.splashHeight));
  }
  return lines;
}

}  // namespace

std::unique_ptr<UiTrace> UiTrace::fromEnvironment() {
  const char* path = std::getenv("QZ_BOOTSTRAP_UI_TRACE");
  if (path == nullptr || *path == '\0') return nullptr;
  std::FILE* file = std::fopen(path, "ae");  // e: close-on-exec
  return std::unique_ptr<UiTrace>(file != nullptr ? new UiTrace(file) : nullptr);
}

UiTrace::~UiTrace() { std::fclose(file_); }

void UiTrace::record(const WindowState& readings) {
  std::lock_guard<std::mutex> guard(lock_);
  std::string changed;
  for (const std::string& line : traceLines(readings)) {
    std::string& last = lastLines_[line.substr(0, line.find(' '))];
    if (line != last) changed += line + "\n";
    last = line;
  }
  write(changed);
}

void UiTrace::recordClosed() {
  std::lock_guard<std::mutex> guard(lock_);
  write("closed\n");
}

void UiTrace::recordAccessible(const std::vector<AccessibleReading>& controls) {
  std::string lines;
  for (const AccessibleReading& control : controls) {
    lines += "accessible " + control.control + " " + control.role + " " + traceEscape(control.name);
    if (control.hasValue) lines += " value " + traceNumber(control.value);
    lines += "\n";
  }
  std::lock_guard<std::mutex> guard(lock_);
  write(lines);
}

void UiTrace::write(const std::string& lines) {
  std::fwrite(lines.data(), 1, lines.size(), file_);
  std::fflush(file_);
}
