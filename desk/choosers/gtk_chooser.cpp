#include "desk/choosers/gtk_chooser.h"

#include <mutex>
#include <thread>

#include <gtk/gtk.h>

namespace desk::choosers {

namespace {

std::mutex initMutex;
bool initTried = false;
bool initOk = false;
std::thread::id gtkThread;

struct Modal {
  bool answered = false;
  int response = GTK_RESPONSE_NONE;
};

void onResponse(GtkDialog*, gint response, gpointer data) {
  auto* modal = static_cast<Modal*>(data);
  modal->answered = true;
  modal->response = response;
}

// Closed by the window manager or with Escape: an answer, and the dialog stays ours to destroy.
gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
  auto* modal = static_cast<Modal*>(data);
  if (!modal->answered) {
    modal->answered = true;
    modal->response = GTK_RESPONSE_DELETE_EVENT;
  }
  return TRUE;
}

gboolean keepAwake(gpointer) { return G_SOURCE_CONTINUE; }

// Shows the dialog modally and runs GTK's events and `pump` until the dialog answers or `pump`
// says to stop (GTK_RESPONSE_CANCEL then). The dialog is destroyed on return.
int runDialog(GtkWidget* dialog, const std::function<bool()>& pump) {
  Modal modal;
  g_object_ref_sink(dialog);
  const gulong handler = g_signal_connect(dialog, "response", G_CALLBACK(onResponse), &modal);
  const gulong deleted = g_signal_connect(dialog, "delete-event", G_CALLBACK(onDelete), &modal);
  // Wakes GTK's wait now and then, so the thread's own queue is served while nothing happens on
  // the display.
  const guint tick = g_timeout_add(10, keepAwake, nullptr);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_window_present(GTK_WINDOW(dialog));
  while (!modal.answered) {
    g_main_context_iteration(nullptr, TRUE);
    if (modal.answered) break;
    if (pump && !pump()) {
      modal.response = GTK_RESPONSE_CANCEL;
      break;
    }
  }
  g_source_remove(tick);
  g_signal_handler_disconnect(dialog, handler);
  g_signal_handler_disconnect(dialog, deleted);
  gtk_widget_destroy(dialog);
  g_object_unref(dialog);
  // Let the window go from the screen before the caller goes on.
  for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
  gdk_display_flush(gdk_display_get_default());
  return modal.response;
}

GtkFileChooserAction actionOf(const FileRequest& request) {
  if (request.save) return GTK_FILE_CHOOSER_ACTION_SAVE;
  if (request.directory) return GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
  return GTK_FILE_CHOOSER_ACTION_OPEN;
}

const char* defaultAccept(const FileRequest& request) {
  if (request.save) return "_Save";
  if (request.directory) return "_Select";
  return "_Open";
}

}  // namespace

bool gtkAvailable() {
  std::lock_guard<std::mutex> lock(initMutex);
  if (!initTried) {
    initTried = true;
    gtkThread = std::this_thread::get_id();
    initOk = gtk_init_check(nullptr, nullptr) != FALSE;
  }
  return initOk && gtkThread == std::this_thread::get_id();
}

FileAnswer runGtkFileChooser(const FileRequest& request, const std::function<bool()>& pump) {
  FileAnswer answer;
  if (!gtkAvailable()) {
    answer.outcome = Outcome::Failed;
    answer.error = "GTK cannot show a chooser here";
    return answer;
  }
  const std::string accept = request.acceptLabel.empty() ? defaultAccept(request) : request.acceptLabel;
  GtkWidget* dialog = gtk_file_chooser_dialog_new(request.title.c_str(), nullptr, actionOf(request),
                                                  "_Cancel", GTK_RESPONSE_CANCEL, accept.c_str(),
                                                  GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_local_only(chooser, FALSE);
  if (!request.save) gtk_file_chooser_set_select_multiple(chooser, request.multiple);
  if (request.save) gtk_file_chooser_set_do_overwrite_confirmation(chooser, request.confirmOverwrite);
  if (!request.currentFolder.empty()) {
    gtk_file_chooser_set_current_folder(chooser, request.currentFolder.c_str());
  }
  if (request.save && !request.currentName.empty()) {
    gtk_file_chooser_set_current_name(chooser, request.currentName.c_str());
  }
  for (size_t i = 0; i < request.filters.size(); ++i) {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, request.filters[i].name.c_str());
    for (const std::string& p : request.filters[i].patterns) gtk_file_filter_add_pattern(filter, p.c_str());
    // The chooser takes the floating reference.
    gtk_file_chooser_add_filter(chooser, filter);
    if (request.currentFilter && *request.currentFilter == i) gtk_file_chooser_set_filter(chooser, filter);
  }
  for (const CheckChoice& c : request.choices) {
    gtk_file_chooser_add_choice(chooser, c.id.c_str(), c.label.c_str(), nullptr, nullptr);
    gtk_file_chooser_set_choice(chooser, c.id.c_str(), c.checked ? "true" : "false");
  }

  // The answer is read before runDialog destroys the dialog: from the response itself.
  struct Reader {
    const FileRequest* request;
    FileAnswer* answer;
    static void onResponse(GtkDialog* d, gint response, gpointer data) {
      auto* self = static_cast<Reader*>(data);
      if (response != GTK_RESPONSE_ACCEPT) return;
      GtkFileChooser* c = GTK_FILE_CHOOSER(d);
      self->answer->outcome = Outcome::Chosen;
      GSList* files = gtk_file_chooser_get_files(c);
      for (GSList* f = files; f != nullptr; f = f->next) {
        GFile* file = G_FILE(f->data);
        gchar* path = g_file_get_path(file);
        if (path != nullptr) {
          self->answer->paths.emplace_back(path);
        } else {
          gchar* uri = g_file_get_uri(file);
          self->answer->notLocal.insert(self->answer->paths.size());
          self->answer->paths.emplace_back(uri != nullptr ? uri : "");
          g_free(uri);
        }
        g_free(path);
      }
      g_slist_free_full(files, g_object_unref);
      for (const CheckChoice& choice : self->request->choices) {
        const char* value = gtk_file_chooser_get_choice(c, choice.id.c_str());
        self->answer->choices[choice.id] = g_strcmp0(value, "true") == 0;
      }
    }
  } reader{&request, &answer};
  g_signal_connect(dialog, "response", G_CALLBACK(&Reader::onResponse), &reader);
  const int response = runDialog(dialog, pump);
  if (response != GTK_RESPONSE_ACCEPT) return FileAnswer{};
  return answer;
}

FontAnswer runGtkFontChooser(const std::string& title, const FontRequest& request,
                             const std::function<bool()>& pump) {
  FontAnswer answer;
  if (!gtkAvailable()) {
    answer.outcome = Outcome::Failed;
    return answer;
  }
  GtkWidget* dialog = gtk_font_chooser_dialog_new(title.c_str(), nullptr);
  PangoFontDescription* initial = pango_font_description_new();
  if (!request.face.empty()) pango_font_description_set_family(initial, request.face.c_str());
  pango_font_description_set_size(initial, request.points * PANGO_SCALE);
  pango_font_description_set_weight(initial, static_cast<PangoWeight>(request.weight));
  pango_font_description_set_style(initial, request.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  gtk_font_chooser_set_font_desc(GTK_FONT_CHOOSER(dialog), initial);
  pango_font_description_free(initial);

  struct Reader {
    FontAnswer* answer;
    static void onResponse(GtkDialog* d, gint response, gpointer data) {
      auto* self = static_cast<Reader*>(data);
      if (response != GTK_RESPONSE_OK) return;
      PangoFontDescription* chosen = gtk_font_chooser_get_font_desc(GTK_FONT_CHOOSER(d));
      if (chosen == nullptr) return;
      FontAnswer& a = *self->answer;
      a.outcome = Outcome::Chosen;
      const char* family = pango_font_description_get_family(chosen);
      a.face = family != nullptr ? family : "";
      const int size = pango_font_description_get_size(chosen);
      // A size in device units (absolute) counts as points at 72 per inch, as Pango reads it.
      a.points = (size + PANGO_SCALE / 2) / PANGO_SCALE;
      a.weight = static_cast<int>(pango_font_description_get_weight(chosen));
      a.italic = pango_font_description_get_style(chosen) != PANGO_STYLE_NORMAL;
      pango_font_description_free(chosen);
    }
  } reader{&answer};
  g_signal_connect(dialog, "response", G_CALLBACK(&Reader::onResponse), &reader);
  const int response = runDialog(dialog, pump);
  if (response != GTK_RESPONSE_OK || answer.outcome != Outcome::Chosen) return FontAnswer{};
  return answer;
}

}  // namespace desk::choosers
