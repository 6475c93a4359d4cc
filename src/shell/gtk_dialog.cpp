#include "shell/gtk_dialog.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialog_ui.h"
#include "platform/resource_ids.h"
#include "shell/ansi_text.h"
#include "shell/gui_hand_off.h"
#include "update/update_run.h"

// Makes the application icon, drawn by res/make_icon.py at build time and
// compiled into the program by glib-compile-resources, a GResource.
extern "C" void brightwick_updater_register_resource(void);

namespace {

constexpr char kCaption[] = "Brightwick Updater";
constexpr char kIconResource[] = "/net/brightwick/updater/app.ico";
// Names a file that receives what the window shows, read back from its
// widgets, one line per change. Only tests set it.
constexpr char kTraceVariable[] = "BRIGHTWICK_DIALOG_TRACE";

// The Windows dialog template measures 164 x 46 dialog units in MS Shell Dlg
// 8 pt, where a unit is 1.75 px across and 1.625 px down at 96 dpi. These are
// its client area and its two controls in pixels, so the window has the same
// size and layout on both systems.
struct PixelBox {
  int x, y, width, height;
};
constexpr int kClientWidth = 287;
constexpr int kClientHeight = 75;
constexpr PixelBox kBarBox{12, 11, 270, 23};
constexpr PixelBox kStatusBox{16, 46, 259, 18};
// Desktop themes draw a thin bar; the updater's fills its box, as on Windows.
constexpr char kBarStyle[] =
    "progressbar.horizontal trough, progressbar.horizontal progress { min-height: 21px; }";
// Destroying the window leaves a few events to process; more than this and
// something keeps the loop busy that is not the window's.
constexpr int kMaxFinalIterations = 1000;

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using ObjectPtr = std::unique_ptr<T, ObjectUnref>;
struct MainLoopUnref {
  void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};

// GUI thread only.
void trace(const std::string& line) {
  static std::ofstream file = [] {
    const char* path = std::getenv(kTraceVariable);
    return path && *path ? std::ofstream(path, std::ios::app) : std::ofstream();
  }();
  if (!file.is_open()) return;
  file << line << std::endl;
}

void place(GtkWidget* area, GtkWidget* widget, const PixelBox& box) {
  gtk_widget_set_size_request(widget, box.width, box.height);
  gtk_fixed_put(GTK_FIXED(area), widget, box.x, box.y);
}

void setIcon(GtkWindow* window) {
  static const bool registered = [] {
    brightwick_updater_register_resource();
    return true;
  }();
  (void)registered;
  GError* error = nullptr;
  ObjectPtr<GdkPixbuf> icon(gdk_pixbuf_new_from_resource(kIconResource, &error));
  // Without an image loader for .ico the window simply has no icon.
  if (!icon) {
    g_clear_error(&error);
    return;
  }
  gtk_window_set_icon(window, icon.get());
}

// The progress dialog as a GTK window. The worker threads reach it through
// the DialogUi operations, which hand each change to the GUI thread and wait
// until the window has taken it, as SendMessage does on Windows.
class GtkProgressDialog final : public DialogUi {
 public:
  GtkProgressDialog() : handOff_([this] { g_idle_add(serveHandOff, this); }) {}

  // GUI thread: shows the window, starts the update worker and returns once
  // the dialog has ended and the window is gone.
  void run(UpdateRun& run);

  void setText(int id, const std::string& text) override {
    if (id != IDC_STATUS) return;
    {
      // libcurl reports progress for every chunk, but the text changes only
      // with the percentage: a repeat needs no trip to the GUI thread.
      std::lock_guard<std::mutex> lock(shownMutex_);
      if (text == shownText_) return;
    }
    handOff_.call([&] { showText(text); });
  }

  void setRange(int id, int low, int high) override {
    if (id != IDC_PROGRESS) return;
    {
      std::lock_guard<std::mutex> lock(shownMutex_);
      if (low == shownBar_.low && high == shownBar_.high) return;
    }
    handOff_.call([&] {
      {
        std::lock_guard<std::mutex> lock(shownMutex_);
        shownBar_.low = low;
        shownBar_.high = high;
      }
      drawBar();
    });
  }

  void setPos(int id, int pos) override {
    if (id != IDC_PROGRESS) return;
    {
      std::lock_guard<std::mutex> lock(shownMutex_);
      if (pos == shownBar_.pos) return;
    }
    handOff_.call([&] {
      {
        std::lock_guard<std::mutex> lock(shownMutex_);
        shownBar_.pos = pos;
      }
      drawBar();
    });
  }

  void messageBox(const std::string& text, const std::string& caption) override {
    // While the window is there the user confirms the message and the worker
    // waits for that, as on Windows. Once it has gone nobody may be there to
    // confirm it, so the message goes to stderr and the worker goes on.
    if (!handOff_.call([&] { showMessage(text, caption); })) {
      std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
  }

  void end(int) override {
    if (!handOff_.close()) return;
    // The window belongs to the GUI thread, which takes it down.
    g_idle_add_full(G_PRIORITY_HIGH, finishOnGui, this, nullptr);
  }

 private:
  struct Bar {
    int low = 0;
    int high = 100;
    int pos = 0;
  };

  static gboolean serveHandOff(gpointer self) {
    static_cast<GtkProgressDialog*>(self)->handOff_.runQueued();
    return G_SOURCE_REMOVE;
  }

  static gboolean finishOnGui(gpointer self) {
    auto* dialog = static_cast<GtkProgressDialog*>(self);
    // A message box still open runs a nested loop that must return first; its
    // worker then goes on as if the user had confirmed it.
    for (GtkWidget* box : dialog->openMessages_) {
      gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_NONE);
    }
    g_main_loop_quit(dialog->loop_.get());
    return G_SOURCE_REMOVE;
  }

  static gboolean onKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) {
    switch (event->keyval) {
      // Esc is the dialog's Cancel and Enter its OK; both end it with 0.
      case GDK_KEY_Escape:
      case GDK_KEY_Return:
      case GDK_KEY_KP_Enter:
      case GDK_KEY_ISO_Enter:
        static_cast<GtkProgressDialog*>(self)->end(0);
        return TRUE;
      default:
        return FALSE;
    }
  }

  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<GtkProgressDialog*>(self)->end(0);
    // The window stays until the dialog's end takes it down.
    return TRUE;
  }

  static gboolean onCloseSignal(gpointer self) {
    static_cast<GtkProgressDialog*>(self)->end(0);
    return G_SOURCE_CONTINUE;
  }

  void build();

  // The methods below run on the GUI thread.
  void showText(const std::string& text) {
    gtk_label_set_text(GTK_LABEL(status_), ansiToUtf8(text).c_str());
    {
      std::lock_guard<std::mutex> lock(shownMutex_);
      shownText_ = text;
    }
    trace(std::string("status ") + gtk_label_get_text(GTK_LABEL(status_)));
  }

  void drawBar() {
    Bar bar;
    {
      std::lock_guard<std::mutex> lock(shownMutex_);
      bar = shownBar_;
    }
    // As the Windows control, the position is held within the range.
    double fraction = 0;
    if (bar.high > bar.low) {
      fraction = static_cast<double>(std::clamp(bar.pos, bar.low, bar.high) - bar.low) /
                 (bar.high - bar.low);
    }
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), fraction);
    trace("progress " +
          std::to_string(std::lround(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar_)) * 100)));
  }

  void showMessage(const std::string& text, const std::string& caption) {
    std::string body = ansiToUtf8(text);
    GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL,
                                            GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "%s", body.c_str());
    gtk_window_set_title(GTK_WINDOW(box), ansiToUtf8(caption).c_str());
    openMessages_.push_back(box);
    trace("message " + std::string(gtk_window_get_title(GTK_WINDOW(box))) + "|" + body);
    gtk_dialog_run(GTK_DIALOG(box));
    openMessages_.erase(std::find(openMessages_.begin(), openMessages_.end(), box));
    gtk_widget_destroy(box);
    trace("message closed");
  }

  GuiHandOff handOff_;
  // What the widgets show: written on the GUI thread, compared by workers.
  std::mutex shownMutex_;
  std::string shownText_;
  Bar shownBar_;
  // GUI thread only.
  GtkWidget* window_ = nullptr;
  GtkWidget* bar_ = nullptr;
  GtkWidget* status_ = nullptr;
  std::unique_ptr<GMainLoop, MainLoopUnref> loop_;
  std::vector<GtkWidget*> openMessages_;
};

void GtkProgressDialog::build() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWindow* window = GTK_WINDOW(window_);
  gtk_window_set_title(window, kCaption);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
  setIcon(window);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(onKeyPress), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);

  GtkWidget* area = gtk_fixed_new();
  gtk_widget_set_size_request(area, kClientWidth, kClientHeight);
  gtk_container_add(GTK_CONTAINER(window_), area);

  bar_ = gtk_progress_bar_new();
  ObjectPtr<GtkCssProvider> style(gtk_css_provider_new());
  gtk_css_provider_load_from_data(style.get(), kBarStyle, -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(bar_),
                                 GTK_STYLE_PROVIDER(style.get()),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  place(area, bar_, kBarBox);

  // A layout clips what it holds to its own box: a long status is cut at the
  // control's edge, as on Windows, and never widens the window.
  GtkWidget* clip = gtk_layout_new(nullptr, nullptr);
  place(area, clip, kStatusBox);
  status_ = gtk_label_new("");
  gtk_label_set_xalign(GTK_LABEL(status_), 0);
  gtk_label_set_single_line_mode(GTK_LABEL(status_), TRUE);
  gtk_layout_put(GTK_LAYOUT(clip), status_, 0, 0);
}

void GtkProgressDialog::run(UpdateRun& run) {
  build();
  loop_.reset(g_main_loop_new(nullptr, FALSE));
  // Ctrl-C and a closed terminal play the close box, as for the terminal
  // dialog, so the game still starts.
  guint interrupt = g_unix_signal_add(SIGINT, onCloseSignal, this);
  guint hangUp = g_unix_signal_add(SIGHUP, onCloseSignal, this);
  gtk_widget_show_all(window_);
  trace(std::string("shown ") + gtk_window_get_title(GTK_WINDOW(window_)));

  // The run starts once the window is there, as it does on WM_INITDIALOG.
  if (!startUpdateWorker(&run, this)) end(0);
  g_main_loop_run(loop_.get());

  // Removing the last source of a signal restores its default action.
  g_source_remove(interrupt);
  g_source_remove(hangUp);
  gtk_widget_destroy(window_);
  window_ = bar_ = status_ = nullptr;
  // The window leaves the screen now, before the game starts, not when the
  // process exits.
  for (int i = 0; i < kMaxFinalIterations && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
  gdk_display_sync(gdk_display_get_default());
  trace("ended");
}

}  // namespace

bool openGtkDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) return false;
  g_set_prgname("brightwick-updater");
  g_set_application_name(kCaption);
  // GTK would set the whole process locale from LANG and LC_*; the core's
  // texts, numbers and file names must not change with the player's language.
  gtk_disable_setlocale();
  return gtk_init_check(nullptr, nullptr);
}

int runGtkDialog(UpdateRun& run) {
  // Workers may call the dialog until the process exits, so it is never
  // destroyed.
  auto* dialog = new GtkProgressDialog;
  dialog->run(run);
  return 0;
}
