// The download window's controls as the window's logic drives them. Each
// control may be called from any thread: a change made off the main thread is
// handed to the main thread and waited for. Setting a value to what it already
// is changes nothing.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_CONTROLS_H_
#define BOOTSTRAP_PLATFORM_WINDOW_CONTROLS_H_

#include <string>

#include "platform/window_model/window_state.h"

class ProgressIndicator {
 public:
  virtual ~ProgressIndicator() = default;
  virtual void setDoubleValue(double value) = 0;
  virtual void setMaxValue(double maximum) = 0;
  virtual double maxValue() const = 0;
  virtual void setIndeterminate(bool indeterminate) = 0;
  virtual void setUsesThreadedAnimation(bool threaded) = 0;
  // An indeterminate bar moves only while animating.
  virtual void startAnimation() = 0;
  virtual void stopAnimation() = 0;
  virtual void incrementBy(double delta) = 0;
};

// The image view: shows the splash image.
class ImageView {
 public:
  virtual ~ImageView() = default;
  // Scales the image to fit its size, keeping its proportions.
  virtual void setScalesProportionally(bool proportional) = 0;
  virtual void setEditable(bool editable) = 0;
  // Shows the PNG at `path` scaled into `width` x `height` points.
  virtual void setImage(const std::string& path, double width, double height) = 0;
};

// The one-line status text.
class TextFieldCell {
 public:
  virtual ~TextFieldCell() = default;
  virtual void setUsesSingleLineMode(bool singleLine) = 0;
  virtual void setStringValue(const std::string& text) = 0;
  virtual void setTextColor(TextColor color) = 0;
};

// The window's only button. Pressing it (or its key equivalent while it is
// enabled) closes the window.
class Button {
 public:
  virtual ~Button() = default;
  virtual void setKeyEquivalent(const std::string& key) = 0;
  virtual void setTitle(const std::string& title) = 0;
  virtual void setEnabled(bool enabled) = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual void layoutIfNeeded() = 0;
  virtual void setViewsNeedDisplay(bool needed) = 0;
  // Closes the window, once however often asked: the window's delegate gets
  // windowWillClose on the calling thread, then the window is taken down on
  // the main thread.
  virtual void close() = 0;
};

#endif  // BOOTSTRAP_PLATFORM_WINDOW_CONTROLS_H_
