// A window toolkit as the application run uses it: its main loop and its view
// of the download window.
#ifndef BOOTSTRAP_PLATFORM_WINDOW_TOOLKIT_H_
#define BOOTSTRAP_PLATFORM_WINDOW_TOOLKIT_H_

#include <functional>
#include <memory>

#include "platform/app/main_loop.h"
#include "platform/window/window_application.h"
#include "platform/window_model/ui_trace.h"

// The download window as one toolkit draws it. Main thread only.
class WindowView {
 public:
  virtual ~WindowView() = default;
  // Makes the controls show `state`; before show() too, never after takeDown().
  virtual void apply(const WindowState& state) = 0;
  virtual void show() = 0;
  // After applicationDidFinishLaunching: whether it started a transfer.
  virtual void launched(bool transferStarted) = 0;
  // Moves the indeterminate bar one step; every 0.1 s while it is shown and
  // animating.
  virtual void animate() = 0;
  // Takes the window off the screen for good; once.
  virtual void takeDown() = 0;
  // The controls as they show now, read back from them.
  virtual WindowState readBack() const = 0;

  // Set by the run. Called when the user asks to close the window (its button,
  // its close box, Return, a terminal's Return after a failure) or when the
  // window closes by itself as if the user had closed it.
  std::function<void()> requestClose;
  UiTrace* trace = nullptr;  // null: no UI trace
};

struct Toolkit {
  std::unique_ptr<MainLoop> loop;  // outlives the view, which may use it
  std::unique_ptr<WindowView> view;
};

// applicationMain on `toolkit`.
int runApplication(Toolkit& toolkit, const DelegateFactory& makeDelegate);

// GTK's, from the GTK module (bootstrapper-gtk.so), on the main thread. Null
// when neither DISPLAY nor WAYLAND_DISPLAY is set (the module untouched), no
// module is installed, it cannot be loaded (one platform log line says why) or
// no display opens (GTK called no further than its init).
std::unique_ptr<Toolkit> openGtkToolkit();

// The terminal window on standard error; always available.
std::unique_ptr<Toolkit> openTerminalToolkit();

// The interface between the program and its GTK module: Toolkit, MainLoop,
// WindowView and what they pass. Raise it with any change to them, so that a
// module from another build is refused rather than called wrongly.
constexpr int kGtkModuleInterfaceVersion = 4;

// The module's entry points: an int, the kGtkModuleInterfaceVersion it was
// built with; and a new Toolkit the caller owns, or null when gtk_init_check
// fails or the version differs.
constexpr char kGtkModuleInterfaceSymbol[] = "bootstrapGtkModuleInterface";
constexpr char kGtkModuleEntrySymbol[] = "bootstrapOpenGtkToolkit";
using GtkModuleEntry = Toolkit* (*)(int interfaceVersion);

#endif  // BOOTSTRAP_PLATFORM_WINDOW_TOOLKIT_H_
