// The download window in GTK 3: built from the GtkBuilder definition compiled
// into the program, titled after the bundle (window_title.h). The button,
// Return while the button is enabled, Escape and the close box ask for the
// window's closing; an indeterminate bar pulses while it animates; a failure
// shows the status text in red (the label's style class "failure").
//
// Each control carries an accessible role and name (the progress bar its
// value too). With the UI trace on, the window appends, once shown and again
// when taken down, one line per control as ATK reads it back:
//   accessible <control> <role> <name>[ value <v>]
#ifndef BOOTSTRAP_GTK_WINDOW_GTK_H_
#define BOOTSTRAP_GTK_WINDOW_GTK_H_

#include <gtk/gtk.h>

#include "platform/app/main_loop.h"
#include "platform/window/window_view.h"

// The GtkBuilder definition of the download window.
extern const char kDownloadWindowUi[];

class GtkWindowView : public WindowView {
 public:
  // After a successful gtk_init_check, on the main thread.
  explicit GtkWindowView(MainLoop& loop);
  ~GtkWindowView() override;

  void apply(const WindowState& state) override;
  void refresh() override;
  void show() override;
  void launched(bool) override {}
  void takeDown() override;
  ControlReadings readBack() const override;

 private:
  static gboolean onDelete(GtkWidget* widget, GdkEvent* event, gpointer self);
  static gboolean onKeyPress(GtkWidget* widget, GdkEventKey* event, gpointer self);
  static void onClicked(GtkButton* button, gpointer self);

  void applyStatus(const WindowState& state);
  void applyProgress(const ProgressState& progress);
  void applyButton(const WindowState& state);
  void applySplash(const WindowState& state);
  void updatePulse(const ProgressState& progress);
  bool activatesButton(const GdkEventKey* event) const;
  void describeControls();
  void traceAccessibility() const;

  MainLoop& loop_;
  GtkBuilder* builder_;
  GtkWidget* window_;
  GtkImage* image_;
  GtkProgressBar* progress_;
  GtkLabel* status_;
  GtkButton* button_;
  std::string splashShown_;  // the path last loaded
  MainLoop::TimerId pulse_ = 0;
  MainLoop::TimerId accessibilityTrace_ = 0;
  ControlReadings lastReadings_;  // readBack() once taken down
  bool takenDown_ = false;
};

#endif  // BOOTSTRAP_GTK_WINDOW_GTK_H_
