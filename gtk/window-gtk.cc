#include "gtk/window-gtk.h"

#include <gtk/gtk.h>

#include <cmath>
#include <string>

#include "platform/window_model/window_title.h"

namespace {

constexpr double kPulseSeconds = 0.1;
constexpr char kFailureClass[] = "failure";
constexpr char kStyle[] = "label.failure { color: #d01010; }";
// The splash's box, in window units.
constexpr int kSplashSize = 400;

void setAccessible(GtkWidget* widget, AtkRole role, const char* name) {
  AtkObject* accessible = gtk_widget_get_accessible(widget);
  atk_object_set_role(accessible, role);
  if (name != nullptr) atk_object_set_name(accessible, name);
}

// The control as assistive technology reads it, through ATK.
AccessibleReading readAccessible(const char* control, GtkWidget* widget) {
  AtkObject* accessible = gtk_widget_get_accessible(widget);
  const gchar* name = atk_object_get_name(accessible);
  AccessibleReading reading{control, atk_role_get_name(atk_object_get_role(accessible)),
                            name != nullptr ? name : "", ATK_IS_VALUE(accessible) != FALSE, 0};
  if (reading.hasValue) {
    gchar* text = nullptr;
    atk_value_get_value_and_text(ATK_VALUE(accessible), &reading.value, &text);
    g_free(text);
  }
  return reading;
}

class GtkWindowView : public WindowView {
 public:
  explicit GtkWindowView(MainLoop& loop);
  ~GtkWindowView() override { g_object_unref(builder_); }

  void apply(const WindowState& state) override;
  void show() override;
  void launched(bool) override {}
  void takeDown() override;
  WindowState readBack() const override;

 private:
  template <typename T>
  T* object(const char* name) {
    return reinterpret_cast<T*>(gtk_builder_get_object(builder_, name));
  }
  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<GtkWindowView*>(self)->requestClose();
    return TRUE;  // the close request takes the window down
  }
  static gboolean onKeyPress(GtkWidget* widget, GdkEventKey* event, gpointer self);
  static void onClicked(GtkButton*, gpointer self) {
    static_cast<GtkWindowView*>(self)->requestClose();
  }
  void applySplash(const std::string& path);
  void traceAccessibility() const;

  MainLoop& loop_;
  GtkBuilder* builder_ = gtk_builder_new();
  GtkWidget* window_;
  GtkImage* image_;
  GtkProgressBar* progress_;
  GtkLabel* status_;
  GtkButton* button_;
  // GtkProgressBar knows a fraction only: its value, maximum and mode are
  // kept here for reading back.
  ProgressState shownProgress_;
  std::string splashShown_;  // the path last loaded
  MainLoop::TimerId pulse_ = 0;
  MainLoop::TimerId accessibilityTrace_ = 0;
};

GtkWindowView::GtkWindowView(MainLoop& loop) : loop_(loop) {
  gtk_builder_add_callback_symbol(builder_, "download_window_delete", G_CALLBACK(&onDelete));
  gtk_builder_add_callback_symbol(builder_, "download_window_key_press", G_CALLBACK(&onKeyPress));
  gtk_builder_add_callback_symbol(builder_, "download_window_button_clicked",
                                  G_CALLBACK(&onClicked));
  gtk_builder_add_from_string(builder_, kDownloadWindowUi, -1, nullptr);
  gtk_builder_connect_signals(builder_, this);
  window_ = object<GtkWidget>("window");
  image_ = object<GtkImage>("image");
  progress_ = object<GtkProgressBar>("progress");
  status_ = object<GtkLabel>("status");
  button_ = object<GtkButton>("button");
  gtk_window_set_title(GTK_WINDOW(window_), currentWindowTitle().c_str());

  setAccessible(window_, ATK_ROLE_FRAME, nullptr);  // named by its title
  setAccessible(GTK_WIDGET(image_), ATK_ROLE_IMAGE, "Splash image");
  setAccessible(GTK_WIDGET(progress_), ATK_ROLE_PROGRESS_BAR, "Download progress");
  setAccessible(GTK_WIDGET(status_), ATK_ROLE_STATUSBAR, nullptr);    // named by its text
  setAccessible(GTK_WIDGET(button_), ATK_ROLE_PUSH_BUTTON, nullptr);  // named by its title
  // The status line says what the bar's progress is about.
  AtkObject* progress = gtk_widget_get_accessible(GTK_WIDGET(progress_));
  AtkObject* status = gtk_widget_get_accessible(GTK_WIDGET(status_));
  atk_object_add_relationship(progress, ATK_RELATION_DESCRIBED_BY, status);
  atk_object_add_relationship(status, ATK_RELATION_DESCRIPTION_FOR, progress);

  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, kStyle, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

void GtkWindowView::apply(const WindowState& state) {
  if (state.status != gtk_label_get_text(status_))
    gtk_label_set_text(status_, state.status.c_str());
  GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(status_));
  if (state.statusColor == TextColor::kRed) {
    gtk_style_context_add_class(style, kFailureClass);
  } else {
    gtk_style_context_remove_class(style, kFailureClass);
  }

  const ProgressState& progress = state.progress;
  if (!progress.indeterminate) {
    gtk_progress_bar_set_fraction(progress_, progressFraction(progress));
  } else if (!shownProgress_.indeterminate) {
    gtk_progress_bar_pulse(progress_);  // shows the moving block, standing
  }
  shownProgress_ = progress;
  bool moving = progress.indeterminate && progress.animating;
  if (moving && pulse_ == 0) {
    pulse_ = loop_.addTimer(kPulseSeconds, true, [this] { gtk_progress_bar_pulse(progress_); });
  } else if (!moving && pulse_ != 0) {
    loop_.cancelTimer(pulse_);
    pulse_ = 0;
  }

  const gchar* title = gtk_button_get_label(button_);
  if (title == nullptr || state.buttonTitle != title) {
    gtk_button_set_label(button_, state.buttonTitle.c_str());
  }
  gtk_widget_set_sensitive(GTK_WIDGET(button_), state.buttonEnabled);
  applySplash(state.splashPath);
}

void GtkWindowView::show() {
  gtk_widget_show(window_);
  gtk_window_present(GTK_WINDOW(window_));
  // After the initial lines of the controls, which follow show().
  accessibilityTrace_ = loop_.addTimer(0, false, [this] {
    accessibilityTrace_ = 0;
    traceAccessibility();
  });
}

void GtkWindowView::takeDown() {
  traceAccessibility();
  if (pulse_ != 0) loop_.cancelTimer(pulse_);
  if (accessibilityTrace_ != 0) loop_.cancelTimer(accessibilityTrace_);
  gtk_widget_destroy(window_);
  gdk_display_flush(gdk_display_get_default());
}

WindowState GtkWindowView::readBack() const {
  WindowState readings;
  readings.status = gtk_label_get_text(status_);
  GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(status_));
  readings.statusColor =
      gtk_style_context_has_class(style, kFailureClass) ? TextColor::kRed : TextColor::kDefault;
  readings.progress = shownProgress_;
  const gchar* title = gtk_button_get_label(button_);
  readings.buttonTitle = title != nullptr ? title : "";
  readings.buttonEnabled = gtk_widget_get_sensitive(GTK_WIDGET(button_));
  readings.splashWidth = readings.splashHeight = 0;
  if (gtk_image_get_storage_type(image_) == GTK_IMAGE_SURFACE) {
    // The size the image takes on the screen, in the window's units: a
    // surface made at the screen's scale shows its pixels / that scale.
    cairo_surface_t* surface = nullptr;
    g_object_get(image_, "surface", &surface, nullptr);
    double scaleX = 1, scaleY = 1;
    cairo_surface_get_device_scale(surface, &scaleX, &scaleY);
    readings.splashWidth =
        static_cast<int>(std::lround(cairo_image_surface_get_width(surface) / scaleX));
    readings.splashHeight =
        static_cast<int>(std::lround(cairo_image_surface_get_height(surface) / scaleY));
    cairo_surface_destroy(surface);
  }
  return readings;
}

gboolean GtkWindowView::onKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) {
  auto* view = static_cast<GtkWindowView*>(self);
  if (event->keyval == GDK_KEY_Escape) {  // as the close box
    view->requestClose();
    return TRUE;
  }
  if (!gtk_widget_is_sensitive(GTK_WIDGET(view->button_))) return FALSE;
  if (event->keyval != GDK_KEY_Return && event->keyval != GDK_KEY_KP_Enter &&
      event->keyval != GDK_KEY_ISO_Enter)
    return FALSE;
  gtk_button_clicked(view->button_);
  return TRUE;
}

void GtkWindowView::applySplash(const std::string& path) {
  if (path == splashShown_) return;
  splashShown_ = path;
  if (path.empty()) return gtk_image_clear(image_);
  // Loaded at the screen's scale (2 under GDK_SCALE=2), so that the splash
  // stays sharp where a window unit is more than one pixel.
  int scale = gtk_widget_get_scale_factor(GTK_WIDGET(image_));
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_scale(path.c_str(), kSplashSize * scale,
                                                        kSplashSize * scale, TRUE, nullptr);
  if (pixbuf == nullptr) return;  // not an image: the view keeps what it showed
  cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(pixbuf, scale, nullptr);
  gtk_image_set_from_surface(image_, surface);
  cairo_surface_destroy(surface);
  g_object_unref(pixbuf);
}

void GtkWindowView::traceAccessibility() const {
  if (trace == nullptr) return;
  trace->recordAccessible({readAccessible("window", window_),
                           readAccessible("image", GTK_WIDGET(image_)),
                           readAccessible("progress", GTK_WIDGET(progress_)),
                           readAccessible("status", GTK_WIDGET(status_)),
                           readAccessible("button", GTK_WIDGET(button_))});
}

}  // namespace

std::unique_ptr<WindowView> makeGtkWindowView(MainLoop& loop) {
  return std::make_unique<GtkWindowView>(loop);
}
