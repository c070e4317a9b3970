// The GTK module, bootstrapper-gtk.so: GLib's main loop and the download
// window in GTK 3, reached through the entry points toolkit.h names; all else
// in it stays hidden. The button, Return while it is enabled, Escape and the
// close box ask for the window's closing; a failure's text is red (the label's
// style class "failure"). The UI trace records each control's accessible role
// and name once the window is shown and again when it is taken down.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/window/toolkit.h"

namespace {

// The download window: the splash image, the progress bar, the one-line status
// text and the one button, top to bottom.
constexpr char kDownloadWindowUi[] = R"UI(<interface>
  <requires lib="gtk+" version="3.20"/>
  <object class="GtkWindow" id="window">
    <property name="resizable">False</property>
    <property name="window-position">center-always</property>
    <property name="border-width">16</property>
    <child><object class="GtkBox">
      <property name="orientation">vertical</property>
      <property name="spacing">12</property>
      <child><object class="GtkImage" id="image">
        <property name="halign">center</property>
      </object></child>
      <child><object class="GtkProgressBar" id="progress">
        <property name="width-request">400</property>
        <property name="pulse-step">0.05</property>
      </object></child>
      <child><object class="GtkLabel" id="status">
        <property name="xalign">0</property>
        <property name="ellipsize">end</property>
        <property name="max-width-chars">60</property>
      </object></child>
      <child><object class="GtkButton" id="button">
        <property name="halign">end</property>
      </object></child>
    </object></child>
  </object>
</interface>)UI";

class GlibMainLoop : public MainLoop {
 public:
  ~GlibMainLoop() override {
    for (const auto& source : sources_) g_source_remove(source.second);
  }
  void iterate() override { g_main_context_iteration(nullptr, TRUE); }
  void watch(int fd, std::function<void()> onReady) override {
    unwatch(fd);
    auto condition = static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR);
    add(-1 - fd, g_unix_fd_source_new(fd, condition), G_SOURCE_FUNC(&onFd), true,
        std::move(onReady));
  }
  void unwatch(int fd) override { cancelTimer(-1 - fd); }
  TimerId addTimer(double seconds, bool repeat, std::function<void()> work) override {
    guint milliseconds = seconds > 0 ? static_cast<guint>(seconds * 1000 + 0.5) : 0;
    add(nextId_, g_timeout_source_new(milliseconds), &dispatch, repeat, std::move(work));
    return nextId_++;
  }
  void cancelTimer(TimerId id) override {
    auto source = sources_.find(id);
    if (source == sources_.end()) return;
    g_source_remove(source->second);
    sources_.erase(source);
  }

 private:
  struct Callback {
    GlibMainLoop* loop;
    TimerId id;
    bool repeat;
    std::function<void()> work;
  };

  static gboolean dispatch(gpointer closure) {
    auto* callback = static_cast<Callback*>(closure);
    // A source being dispatched keeps its closure until the dispatch ends, even
    // when the work removes it.
    if (!callback->repeat) callback->loop->sources_.erase(callback->id);
    callback->work();
    return callback->repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }
  static gboolean onFd(gint, GIOCondition, gpointer closure) { return dispatch(closure); }

  // Attaches `source`, whose `call` calls `work` (once unless `repeat`), to
  // the default context as the entry `id` of sources_.
  void add(TimerId id, GSource* source, GSourceFunc call, bool repeat, std::function<void()> work) {
    g_source_set_callback(source, call, new Callback{this, id, repeat, std::move(work)},
                          [](gpointer closure) { delete static_cast<Callback*>(closure); });
    sources_[id] = g_source_attach(source, nullptr);
    g_source_unref(source);
  }

  std::map<TimerId, guint> sources_;  // timers' from 1 up, the watch of fd's at -1 - fd
  TimerId nextId_ = 1;
};

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
  explicit GtkWindowView(MainLoop& loop) : loop_(loop) {
    gtk_builder_add_from_string(builder_, kDownloadWindowUi, -1, nullptr);
    window_ = GTK_WIDGET(gtk_builder_get_object(builder_, "window"));
    image_ = GTK_IMAGE(gtk_builder_get_object(builder_, "image"));
    progress_ = GTK_PROGRESS_BAR(gtk_builder_get_object(builder_, "progress"));
    status_ = GTK_LABEL(gtk_builder_get_object(builder_, "status"));
    button_ = GTK_BUTTON(gtk_builder_get_object(builder_, "button"));
    gtk_window_set_title(GTK_WINDOW(window_), currentWindowTitle().c_str());
    g_signal_connect_swapped(button_, "clicked", G_CALLBACK(&onClose), this);
    g_signal_connect_swapped(window_, "delete-event", G_CALLBACK(&onClose), this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(&onKeyPress), this);

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
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(),
                                              GTK_STYLE_PROVIDER(provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
  }
  ~GtkWindowView() override { g_object_unref(builder_); }

  void apply(const WindowState& state) override {
    if (state.status != gtk_label_get_text(status_))
      gtk_label_set_text(status_, state.status.c_str());
    (state.statusColor == TextColor::kRed ? gtk_style_context_add_class
                                          : gtk_style_context_remove_class)(
        gtk_widget_get_style_context(GTK_WIDGET(status_)), kFailureClass);

    const ProgressState& progress = state.progress;
    if (!progress.indeterminate) {
      gtk_progress_bar_set_fraction(progress_, progressFraction(progress));
    } else if (!shownProgress_.indeterminate) {
      gtk_progress_bar_pulse(progress_);  // shows the moving block, standing
    }
    shownProgress_ = progress;

    const gchar* title = gtk_button_get_label(button_);
    if (title == nullptr || state.buttonTitle != title)
      gtk_button_set_label(button_, state.buttonTitle.c_str());
    gtk_widget_set_sensitive(GTK_WIDGET(button_), state.buttonEnabled);
    if (state.splashPath != splashShown_) showSplash(state.splashPath);
  }

  void show() override {
    gtk_widget_show_all(window_);
    gtk_window_present(GTK_WINDOW(window_));
    // After the initial lines of the controls, which follow show().
    accessibilityTrace_ = loop_.addTimer(0, false, [this] {
      accessibilityTrace_ = 0;
      traceAccessibility();
    });
  }

  void launched(bool) override {}
  void animate() override { gtk_progress_bar_pulse(progress_); }

  void takeDown() override {
    traceAccessibility();
    if (accessibilityTrace_ != 0) loop_.cancelTimer(accessibilityTrace_);
    gtk_widget_destroy(window_);
    gdk_display_flush(gdk_display_get_default());
  }

  WindowState readBack() const override {
    WindowState readings;
    readings.status = gtk_label_get_text(status_);
    GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(status_));
    readings.statusColor =
        gtk_style_context_has_class(style, kFailureClass) ? TextColor::kRed : TextColor::kDefault;
    readings.progress = shownProgress_;
    const gchar* title = gtk_button_get_label(button_);
    readings.buttonTitle = title != nullptr ? title : "";
    readings.buttonEnabled = gtk_widget_get_sensitive(GTK_WIDGET(button_));
    readings.splashWidth = splashWidth_;
    readings.splashHeight = splashHeight_;
    return readings;
  }

 private:
  // The button's "clicked", the close box's "delete-event": the close request
  // takes the window down.
  static gboolean onClose(GtkWindowView* self) {
    self->requestClose();
    return TRUE;
  }

  static gboolean onKeyPress(GtkWidget*, GdkEventKey* event, GtkWindowView* self) {
    if (event->keyval == GDK_KEY_Escape) return onClose(self);  // as the close box
    if (!gtk_widget_is_sensitive(GTK_WIDGET(self->button_))) return FALSE;
    if (event->keyval != GDK_KEY_Return && event->keyval != GDK_KEY_KP_Enter &&
        event->keyval != GDK_KEY_ISO_Enter)
      return FALSE;
    gtk_button_clicked(self->button_);
    return TRUE;
  }

  void showSplash(const std::string& path) {
    splashShown_ = path;
    if (path.empty()) {
      splashWidth_ = splashHeight_ = 0;
      return gtk_image_clear(image_);
    }
    // Loaded at the screen's scale (2 under GDK_SCALE=2), so that the splash
    // stays sharp where a window unit is more than one pixel.
    int scale = gtk_widget_get_scale_factor(GTK_WIDGET(image_));
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_scale(path.c_str(), kSplashSize * scale,
                                                          kSplashSize * scale, TRUE, nullptr);
    if (pixbuf == nullptr) return;  // not an image: the view keeps what it showed
    cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(pixbuf, scale, nullptr);
    gtk_image_set_from_surface(image_, surface);
    // In the window's units, which the surface made at the screen's scale
    // shows its pixels in.
    splashWidth_ = static_cast<int>(std::lround(gdk_pixbuf_get_width(pixbuf) / double(scale)));
    splashHeight_ = static_cast<int>(std::lround(gdk_pixbuf_get_height(pixbuf) / double(scale)));
    cairo_surface_destroy(surface);
    g_object_unref(pixbuf);
  }

  void traceAccessibility() const {
    if (trace == nullptr) return;
    trace->recordAccessible({readAccessible("window", window_),
                             readAccessible("image", GTK_WIDGET(image_)),
                             readAccessible("progress", GTK_WIDGET(progress_)),
                             readAccessible("status", GTK_WIDGET(status_)),
                             readAccessible("button", GTK_WIDGET(button_))});
  }

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
  int splashWidth_ = 0;      // the image's size on the screen
  int splashHeight_ = 0;
  MainLoop::TimerId accessibilityTrace_ = 0;
};

}  // namespace

#define BOOTSTRAP_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

BOOTSTRAP_MODULE_EXPORT const int bootstrapGtkModuleInterface = kGtkModuleInterfaceVersion;

BOOTSTRAP_MODULE_EXPORT Toolkit* bootstrapOpenGtkToolkit(int interfaceVersion) {
  if (interfaceVersion != kGtkModuleInterfaceVersion) return nullptr;
  gtk_disable_setlocale();  // the process keeps its locale: numbers stay "0.5"
  // Without OpenGL: on X11 GTK otherwise loads the GL driver (with Mesa's
  // software renderer, LLVM) to choose visuals, about 90 ms of a window that
  // never draws with GL. GDK reads GDK_GL only here; a value the user set
  // stands, and ours is taken back so that the install agent does not inherit it.
  bool ours = std::getenv("GDK_GL") == nullptr && setenv("GDK_GL", "disable", 0) == 0;
  bool initialized = gtk_init_check(nullptr, nullptr);
  if (ours) unsetenv("GDK_GL");
  if (!initialized) return nullptr;
  auto toolkit = std::make_unique<Toolkit>();
  toolkit->loop = std::make_unique<GlibMainLoop>();
  toolkit->view = std::make_unique<GtkWindowView>(*toolkit->loop);
  return toolkit.release();
}
